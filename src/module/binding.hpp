// Binding the arguments of a fast call with keywords to the function's five
// positional-or-keyword parameters, with the interpreter's own messages.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace rowmerge::module {

inline constexpr std::size_t kParameterCount = 5;
inline constexpr std::array<const char*, kParameterCount> kParameterNames = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads"};
inline constexpr const char* kFunctionName = "merge_points_removing_overlap";

// Borrowed references, one per parameter, in parameter order.
using BoundArguments = std::array<PyObject*, kParameterCount>;

// `args` holds `nargs` positional values followed by one value per name of
// `kwnames` (null when there are none).  Throws py::PythonError (TypeError).
BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace rowmerge::module
