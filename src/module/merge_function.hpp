// merge_points_removing_overlap: the module's one function.
#pragma once

#include <Python.h>

namespace rowmerge::module {

// The static method definition (fast call with keywords).
PyMethodDef& merge_function_definition() noexcept;

}  // namespace rowmerge::module
