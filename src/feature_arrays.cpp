// Placeholder: registration data only, until the class is implemented.
#include "feature_arrays.hpp"

namespace tamrel::py {

const ClassSpec PyClass<FeatureColumns>::spec = {"PyFeatureArrays", "PyFeatureArrays", sizeof(Instance<FeatureColumns>),
                                                 [] { return base_slots(dealloc<FeatureColumns>, ""); }};

}  // namespace tamrel::py
