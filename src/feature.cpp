// Placeholder: registration data only, until the class is implemented.
#include "classes.hpp"

namespace tamrel::py {

const ClassSpec PyClass<FeatureObject>::spec = {"PyFeature", "vornik_tamrel.PyFeature", sizeof(Instance<FeatureObject>),
                                       [] { return base_slots(dealloc<FeatureObject>, ""); }};

}  // namespace tamrel::py
