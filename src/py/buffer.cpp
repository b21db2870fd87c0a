#include "py/buffer.hpp"

#include "py/native_buffer.hpp"

#include <cstring>

namespace quorvel::inline py {

std::optional<BufferView> BufferView::try_acquire(PyObject* obj) {
  BufferView b;
  if (PyObject_GetBuffer(obj, &b.view_, PyBUF_FULL_RO) < 0) {
    // A refusal means "not a buffer"; an interrupt or an allocation failure is not one.
    clear_ordinary_error();
    return std::nullopt;
  }
  b.held_ = true;
  return b;
}

BufferView BufferView::acquire(PyObject* obj) {
  BufferView b;
  if (PyObject_GetBuffer(obj, &b.view_, PyBUF_FULL_RO) < 0) throw_error_set();
  b.held_ = true;
  return b;
}

void BufferView::release() noexcept {
  if (held_) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
}

void BufferView::copy_to(uint8_t* out) const {
  if (view_.len == 0) return;
  if (c_contiguous()) {
    std::memcpy(out, view_.buf, static_cast<size_t>(view_.len));
    return;
  }
  check_status(PyBuffer_ToContiguous(out, &view_, view_.len, 'C'));
}

BufferView acquire_byte_buffer(PyObject* obj) {
  BufferView buffer = BufferView::acquire(obj);
  std::string_view format = buffer.format();
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == '>')) format.remove_prefix(1);
  if (buffer.view().itemsize != 1 || format.size() != 1 || (format[0] != 'B' && format[0] != 'c')) {
    fail(PyExc_BufferError, "buffer contents are not compatible with u8");
  }
  return buffer;
}

BufferView checked_byte_buffer(PyObject* obj) {
  BufferView buffer = acquire_byte_buffer(obj);
  if (buffer.view().ndim != 1 || !buffer.c_contiguous()) {
    fail(PyExc_TypeError, "byte vector fields must be one-dimensional and C-contiguous");
  }
  return buffer;
}

std::span<const uint8_t> immutable_buffer_subslice(const BufferView& buffer, const uint8_t* owner_start,
                                                   size_t owner_length) {
  const auto s = reinterpret_cast<uintptr_t>(buffer.view().buf);
  const auto o = reinterpret_cast<uintptr_t>(owner_start);
  const auto n = static_cast<size_t>(buffer.view().len);
  if (s < o || s - o > owner_length || n > owner_length - (s - o)) {
    fail(PyExc_BufferError, "buffer lies outside its immutable owner");
  }
  return buffer.bytes();
}

py::Ref to_bytes(PyObject* obj) {
  if (PyBytes_Check(obj)) return py::Ref::borrow(obj);
  py::Ref builtins = check_new(PyImport_ImportModule("builtins"));
  py::Ref bytes_type = check_new(PyObject_GetAttrString(builtins.get(), "bytes"));
  py::Ref result = check_new(PyObject_CallOneArg(bytes_type.get(), obj));
  if (!PyBytes_Check(result.get())) fail_wrong_type(result.get(), "bytes");
  return result;
}

ByteInput::ByteInput(PyObject* obj, size_t copy_padding) {
  // Bytes past the view's end that still lie inside the owner's allocation.
  auto slack = [&](const uint8_t* owner_end) {
    return static_cast<size_t>(owner_end - (bytes_.data() + bytes_.size()));
  };
  if (PyBytes_Check(obj)) {
    bytes_ = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)), static_cast<size_t>(PyBytes_GET_SIZE(obj))};
    readable_after_ = 1;  // the terminating zero every bytes object has
    return;
  }
  if (Py_IS_TYPE(obj, &PyMemoryView_Type)) {
    py::Ref owner = check_new(PyObject_GetAttrString(obj, "obj"));
    if (PyBytes_Check(owner.get())) {
      view_ = checked_byte_buffer(obj);
      const auto* start = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(owner.get()));
      const auto length = static_cast<size_t>(PyBytes_GET_SIZE(owner.get()));
      bytes_ = immutable_buffer_subslice(view_, start, length);
      readable_after_ = slack(start + length + 1);
      return;
    }
    if (const NativeBufferData* data = native_buffer_data(owner.get())) {
      view_ = checked_byte_buffer(obj);
      bytes_ = immutable_buffer_subslice(view_, data->begin(), data->length());
      readable_after_ = slack(data->begin() + data->length());
      return;
    }
  }
  copy_ = to_bytes(obj);
  bytes_ = bytes_of(copy_.get());
  readable_after_ = 1;  // the terminating zero every bytes object has
  if (copy_padding > readable_after_) {
    // The reader needs more room after the end than the bytes object has: one padded copy instead.
    padded_.assign(bytes_.begin(), bytes_.end());
    padded_.resize(bytes_.size() + copy_padding);
    bytes_ = {padded_.data(), bytes_.size()};
    readable_after_ = copy_padding;
    copy_.reset();
  }
}

}  // namespace quorvel::py
