// Placeholder: registration data only, until the class is implemented.
#include "classes.hpp"

namespace tamrel::py {

const ClassSpec PyClass<Fragments>::spec = {"PyFragments", "vornik_tamrel.PyFragments", sizeof(Instance<Fragments>),
                                       [] { return base_slots(dealloc<Fragments>, ""); }};

}  // namespace tamrel::py
