// Placeholder: registration data only, until the class is implemented.
#include "classes.hpp"

namespace tamrel::py {

const ClassSpec PyClass<SharedDatabase>::spec = {"PyIndexedDatabase", "vornik_tamrel.PyIndexedDatabase", sizeof(Instance<SharedDatabase>),
                                       [] { return base_slots(dealloc<SharedDatabase>, ""); }};

}  // namespace tamrel::py
