#include "py/native_buffer.hpp"

#include "py/error.hpp"
#include "py/lazy_type.hpp"

#include <cstdlib>
#include <new>
#include <sys/mman.h>

namespace quorvel::inline py {

namespace {

constexpr size_t huge_page = size_t{2} << 20;

}  // namespace

uint8_t* allocate_buffer(size_t size) {
  const size_t total = size == 0 ? 1 : size;
  void* base = nullptr;
  if (total >= 2 * huge_page) {
    base = std::aligned_alloc(huge_page, (total + huge_page - 1) / huge_page * huge_page);
    if (base != nullptr) madvise(base, total, MADV_HUGEPAGE);
  } else {
    base = std::malloc(total);
  }
  if (base == nullptr) throw std::bad_alloc();
  return static_cast<uint8_t*>(base);
}

void free_buffer(uint8_t* p, size_t) noexcept { std::free(p); }

namespace {

struct BufferObject {
  PyObject_HEAD
  NativeBufferData* buffer;
};

int getbuffer(PyObject* self, Py_buffer* view, int flags) {
  const NativeBufferData* data = reinterpret_cast<BufferObject*>(self)->buffer;
  if (view == nullptr) {
    PyErr_SetString(PyExc_BufferError, "buffer view is null");
    return -1;
  }
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "native FlatBuffer is read-only");
    return -1;
  }
  view->buf = const_cast<uint8_t*>(data->begin());
  view->len = static_cast<Py_ssize_t>(data->length());
  view->itemsize = 1;
  view->readonly = 1;
  view->ndim = 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &view->len : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  view->obj = Py_NewRef(self);
  return 0;
}

// The bytes never move or change, so there is nothing to undo per export.
void releasebuffer(PyObject*, Py_buffer*) {}

PyObject* allocation_size(PyObject* self, void*) {
  return PyLong_FromSize_t(reinterpret_cast<BufferObject*>(self)->buffer->size);
}

void dealloc(PyObject* self) {
  py::dealloc_owned<BufferObject>(self, [](BufferObject* o) { delete std::exchange(o->buffer, nullptr); });
}

PyGetSetDef getset[] = {
    {"_allocation_size", allocation_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(releasebuffer)},
    {Py_tp_getset, getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvel._native.NativeBuffer", sizeof(BufferObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

py::LazyType buffer_type(&spec);

}  // namespace

PyTypeObject* native_buffer_type() noexcept { return buffer_type.get(); }

const NativeBufferData* native_buffer_data(PyObject* obj) noexcept {
  PyTypeObject* type = buffer_type.existing();
  if (type == nullptr || Py_TYPE(obj) != type) return nullptr;
  return reinterpret_cast<BufferObject*>(obj)->buffer;
}

py::Ref make_buffer_view(std::unique_ptr<NativeBufferData> data) {
  PyTypeObject* type = buffer_type.get();
  if (type == nullptr) throw_error_set();
  py::Ref owner = check_new(type->tp_alloc(type, 0));
  reinterpret_cast<BufferObject*>(owner.get())->buffer = data.release();
  return check_new(PyMemoryView_FromObject(owner.get()));
}

}  // namespace quorvel::py
