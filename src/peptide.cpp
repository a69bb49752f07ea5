// Placeholder: registration data only, until the class is implemented.
#include "classes.hpp"

namespace tamrel::py {

const ClassSpec PyClass<Peptide>::spec = {"PyPeptide", "vornik_tamrel.PyPeptide", sizeof(Instance<Peptide>),
                                       [] { return base_slots(dealloc<Peptide>, ""); }};

}  // namespace tamrel::py
