// Byte and numeric vector writers.
#include "flatbuffer/formats.hpp"
#include "py/native_buffer.hpp"
#include "flatbuffer/pack.hpp"

#include <cstring>

namespace quorvel::flatbuffer {

namespace {

// A vector of `count` elements of `width` bytes written as raw bytes: the prefix holds the byte
// count until pack rewrites it from the fix-up list. `fill` writes the element bytes in place.
template <class Fill>
uoffset_t build_raw_vector(TableWriter& writer, size_t width, size_t count, CountFixups& fixups, Fill&& fill) {
  if (count > UINT32_MAX) fail(PyExc_ValueError, "numeric vector length exceeds the format limit");
  const size_t bytes = count * width;
  flatbuffers::FlatBufferBuilder& builder = writer.builder();
  builder.Align(width);
  builder.StartVector(bytes, 1, 1);
  if (bytes > 0) fill(writer.reserve_bytes(bytes));
  const uoffset_t offset = builder.EndVector(bytes);
  fixups.emplace_back(offset, static_cast<uint32_t>(count));
  return offset;
}

}  // namespace

uoffset_t build_byte_vector(TableWriter& writer, PyObject* value) {
  if (PyBytes_Check(value)) {
    return writer.create_bytes({reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value)),
                                  static_cast<size_t>(PyBytes_GET_SIZE(value))});
  }
  if (Py_IS_TYPE(value, &PyMemoryView_Type)) {
    py::Ref owner = check_new(PyObject_GetAttrString(value, "obj"));
    if (PyBytes_Check(owner.get())) {
      BufferView view = checked_byte_buffer(value);
      return writer.create_bytes(immutable_buffer_subslice(
                                       view, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(owner.get())),
                                       static_cast<size_t>(PyBytes_GET_SIZE(owner.get()))));
    }
    if (const NativeBufferData* data = native_buffer_data(owner.get())) {
      BufferView view = checked_byte_buffer(value);
      return writer.create_bytes(immutable_buffer_subslice(view, data->begin(), data->length()));
    }
  }
  // Anything that does not export plain bytes is converted with bytes() below instead.
  std::optional<BufferView> view;
  if (attempt([&] { view = acquire_byte_buffer(value); })) {
    if (view->view().ndim != 1 || !view->c_contiguous()) {
      fail(PyExc_TypeError, "byte vector fields must be one-dimensional and C-contiguous");
    }
    // Read in place: no Python code runs while the builder copies the bytes.
    return writer.create_bytes(view->bytes());
  }
  py::Ref bytes = to_bytes(value);
  return writer.create_bytes(bytes_of(bytes.get()));
}

uoffset_t build_scalar_vector(TableWriter& writer, ScalarKind kind, PyObject* value, CountFixups& fixups) {
  const size_t width = scalar_width(kind);
  if (auto buffer = BufferView::try_acquire(value)) {
    const Py_buffer& view = buffer->view();
    if (kind == ScalarKind::bool_) {
      if (view.itemsize != 1 || !buffer->has_format() || buffer->format() != "?") {
        fail(PyExc_TypeError, "numeric vector field requires native Bool data");
      }
      if (view.ndim != 1) fail(PyExc_TypeError, "numeric vector fields must be one-dimensional");
      std::vector<uint8_t> bytes(static_cast<size_t>(view.len));
      buffer->copy_to(bytes.data());
      return writer.create_bytes(bytes);
    }
    if (view.ndim != 1) fail(PyExc_TypeError, "numeric vector fields must be one-dimensional");
    if (!buffer_matches_native_scalar(*buffer, kind)) {
      fail(PyExc_TypeError, "numeric vector field requires native {} data", display_name(kind));
    }
    if (static_cast<size_t>(view.itemsize) != width) {
      fail(PyExc_BufferError, "buffer contents are not compatible with {}", element_type_name(kind));
    }
    const size_t count = static_cast<size_t>(view.len) / width;
    return build_raw_vector(writer, width, count, fixups, [&](uint8_t* out) { buffer->copy_to(out); });
  }
  const std::vector<uint8_t> elements = sequence_elements(kind, value, /*reserve_by_length=*/true);
  if (kind == ScalarKind::bool_) return writer.create_bytes(elements);
  return build_element_vector(writer, width, elements, fixups);
}

std::vector<uint8_t> sequence_elements(ScalarKind kind, PyObject* value, bool reserve_by_length) {
  refuse_str_for_vector(value);
  if (!PySequence_Check(value)) fail_wrong_type(value, "Sequence");
  const size_t width = scalar_width(kind);
  std::vector<uint8_t> elements;
  if (reserve_by_length) elements.reserve(reservation(sequence_length(value)) * width);
  for_each_sequence(value, [&](py::Ref item) {
    elements.resize(elements.size() + width);
    store_scalar(elements.data() + elements.size() - width, ScalarValue::extract(kind, item.get()));
  });
  return elements;
}

uoffset_t build_element_vector(TableWriter& writer, size_t width, std::span<const uint8_t> elements, CountFixups& fixups) {
  return build_raw_vector(writer, width, elements.size() / width, fixups,
                          [&](uint8_t* out) { std::memcpy(out, elements.data(), elements.size()); });
}

}  // namespace quorvel::flatbuffer
