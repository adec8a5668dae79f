#include "module/result_array.hpp"

#include <cstddef>

#include "common/abort.hpp"
#include "numpy_access/api_table.hpp"
#include "python/py_error.hpp"
#include "python/py_once.hpp"

namespace rowmerge::module {
namespace {

using ReleaseFn = void (*)(double* data, std::size_t length, std::size_t capacity) noexcept;

struct SliceContainer {
  PyObject_HEAD
  ReleaseFn release;
  double* data;
  std::size_t length;
  std::size_t capacity;
};

void release_matrix_buffer(double* data, std::size_t /*length*/, std::size_t capacity) noexcept {
  Matrix::free_buffer(data, capacity);
}

void container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  container->release(container->data, container->length, container->capacity);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold their type
}

PyType_Slot CONTAINER_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&container_dealloc)},
    {0, nullptr},
};

PyType_Spec CONTAINER_SPEC = {
    "builtins.PySliceContainer",  // no module of its own; the dotted name avoids a warning
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    CONTAINER_SLOTS,
};

py::OnceCell<PyTypeObject*> CONTAINER_TYPE;

PyTypeObject* container_type() {
  return CONTAINER_TYPE.get_or_init([] {
    PyObject* type = PyType_FromSpec(&CONTAINER_SPEC);
    if (type == nullptr) {
      PyErr_Clear();
      raise_abort("failed to create type object for `PySliceContainer`");
    }
    return reinterpret_cast<PyTypeObject*>(type);
  });
}

// Owns a released buffer until a container takes it over.
class BufferOwner {
 public:
  explicit BufferOwner(MatrixBuffer buffer) noexcept : buffer_(buffer) {}
  BufferOwner(const BufferOwner&) = delete;
  BufferOwner& operator=(const BufferOwner&) = delete;
  ~BufferOwner() { Matrix::free_buffer(buffer_.data, buffer_.capacity); }
  const MatrixBuffer& get() const noexcept { return buffer_; }
  MatrixBuffer release() noexcept {
    MatrixBuffer taken = buffer_;
    buffer_.capacity = 0;
    return taken;
  }

 private:
  MatrixBuffer buffer_;
};

py::PyRef new_container(BufferOwner& owner) {
  PyTypeObject* type = container_type();
  PyObject* object = PyType_GenericAlloc(type, 0);
  if (object == nullptr) raise_abort("Failed to create slice container: " + py::PythonError::fetch().render());
  const MatrixBuffer buffer = owner.release();
  auto* container = reinterpret_cast<SliceContainer*>(object);
  container->release = &release_matrix_buffer;
  container->data = buffer.data;
  container->length = buffer.length;
  container->capacity = buffer.capacity;
  return py::PyRef::steal(object);
}

}  // namespace

py::PyRef matrix_to_array(Matrix&& output) {
  const numpy::npy_intp dims[2] = {static_cast<numpy::npy_intp>(output.rows()),
                                   static_cast<numpy::npy_intp>(output.cols())};
  const bool empty = output.size() == 0;
  const numpy::npy_intp strides[2] = {
      empty ? 0 : static_cast<numpy::npy_intp>(output.row_step() * static_cast<std::ptrdiff_t>(sizeof(double))),
      empty ? 0 : static_cast<numpy::npy_intp>(output.col_step() * static_cast<std::ptrdiff_t>(sizeof(double)))};
  BufferOwner buffer(output.release_buffer());
  double* data = buffer.get().data;

  py::PyRef container = new_container(buffer);
  py::PyRef descr = numpy::descr_float64();
  py::PyRef array = py::expect_object(numpy::new_from_descr(numpy::array_type(), descr.release(), 2, dims, strides,
                                                            data, numpy::kArrayWriteable, nullptr));
  if (numpy::set_base_object(array.get(), container.release()) != 0) py::throw_fetched();
  return array;
}

}  // namespace rowmerge::module
