// The fragment dictionary, shared by PyFragments.to_dict and PyFeature.to_dict.
#pragma once

#include "classes.hpp"

namespace tamrel::py {

// A new dict of the six annotation arrays as lists, keyed in the order
// charges, kinds, fragment_ordinals, intensities, mz_calculated,
// mz_experimental. Throws with the Python error set when an insertion fails.
Ref fragments_dict(const Fragments& fragments);

}  // namespace tamrel::py
