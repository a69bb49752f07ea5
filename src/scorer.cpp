// Placeholder: registration data only, until the class is implemented.
#include "classes.hpp"

namespace tamrel::py {

const ClassSpec PyClass<ScorerSettings>::spec = {"PyScorer", "vornik_tamrel.PyScorer", sizeof(Instance<ScorerSettings>),
                                       [] { return base_slots(dealloc<ScorerSettings>, ""); }};

}  // namespace tamrel::py
