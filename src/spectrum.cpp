// Placeholder: registration data only, until the classes are implemented.
#include "classes.hpp"

namespace tamrel::py {

const ClassSpec PyClass<Precursor>::spec = {"PyPrecursor", "vornik_tamrel.PyPrecursor", sizeof(Instance<Precursor>),
                                            [] { return base_slots(dealloc<Precursor>, ""); }};
const ClassSpec PyClass<SharedSpectrum>::spec = {"PyProcessedSpectrum", "vornik_tamrel.PyProcessedSpectrum",
                                                 sizeof(Instance<SharedSpectrum>),
                                                 [] { return base_slots(dealloc<SharedSpectrum>, ""); }};

}  // namespace tamrel::py
