// Placeholder until the columnar feature arrays are implemented.
#pragma once

#include "classes.hpp"

namespace tamrel::py {

struct FeatureColumns {};

}  // namespace tamrel::py
