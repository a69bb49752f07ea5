// Placeholder until the scoring entry points are implemented.
#include "classes.hpp"

namespace tamrel::py {

PyMethodDef* PyScorer_methods() {
    static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace tamrel::py
