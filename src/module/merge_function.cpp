#include "module/merge_function.hpp"

#include <cstdint>

#include "driver/driver.hpp"
#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/conversions.hpp"
#include "module/input_table.hpp"
#include "module/result_array.hpp"

namespace rowmerge::module {
namespace {

py::PyRef merge(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const BoundArguments bound = bind_arguments(args, nargs, kwnames);

  // Held until the end of the call; given back last taken, first given.
  const ArrayArgument connected_crop_rows(bound[0], kParameterNames[0]);
  const ArrayArgument points_in_rows(bound[1], kParameterNames[1]);
  const ArrayArgument row_information(bound[2], kParameterNames[2]);
  const double tolerance = convert_tolerance(bound[3], kParameterNames[3]);
  const std::uint32_t num_threads = convert_num_threads(bound[4], kParameterNames[4]);

  py::PyRef result;
  {
    // Read in place; the rare copy of an unaligned array goes as soon as the
    // result array exists.
    const InputTable connected(connected_crop_rows.get());
    const InputTable points(points_in_rows.get());
    const InputTable information(row_information.get());
    result = matrix_to_array(
        multithreaded_merging(connected.view(), points.view(), information.view(), tolerance, num_threads));
  }
  return result;
}

PyObject* merge_points_removing_overlap(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  return at_boundary<PyObject*>(nullptr, [&] { return merge(args, nargs, kwnames).release(); });
}

PyMethodDef MERGE_FUNCTION = {
    kFunctionName,
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&merge_points_removing_overlap)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, tolerance, "
    "num_threads)\n--\n\n",
};

}  // namespace

PyMethodDef& merge_function_definition() noexcept { return MERGE_FUNCTION; }

}  // namespace rowmerge::module
