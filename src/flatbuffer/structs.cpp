// The struct writer: model objects of struct plan objects as their exact inline bytes.
#include "flatbuffer/formats.hpp"
#include "flatbuffer/pack.hpp"

#include <cstring>

namespace quorvel::flatbuffer {

namespace {

// a + b, or nothing when it overflows.
std::optional<uint64_t> add(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<uint64_t> mul(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

void require_fixed_array_length(uint64_t expected, uint64_t actual) {
  if (expected != actual) fail(PyExc_ValueError, "fixed array requires {} items, got {}", expected, actual);
}

void write_struct_scalar_array(std::span<uint8_t> region, uint64_t offset, uint64_t fixed_length, ScalarKind kind,
                               PyObject* value) {
  const size_t width = scalar_width(kind);
  std::vector<uint8_t> elements;
  size_t count = 0;
  if (auto buffer = BufferView::try_acquire(value)) {
    const Py_buffer& view = buffer->view();
    if (kind == ScalarKind::bool_) {
      if (view.ndim != 1 || !buffer->has_format() || buffer->format() != "?") {
        fail(PyExc_TypeError, "numeric array field requires one-dimensional native Bool data");
      }
      if (view.itemsize != 1) fail(PyExc_BufferError, "buffer contents are not compatible with _native::plan::BufferBool");
    } else {
      if (view.ndim != 1 || !buffer_matches_native_scalar(*buffer, kind)) {
        fail(PyExc_TypeError, "numeric array field requires one-dimensional native {} data", display_name(kind));
      }
      if (static_cast<size_t>(view.itemsize) != width) {
        fail(PyExc_BufferError, "buffer contents are not compatible with {}", element_type_name(kind));
      }
    }
    elements.resize(static_cast<size_t>(view.len));
    buffer->copy_to(elements.data());
    count = elements.size() / width;
  } else {
    elements = sequence_elements(kind, value, /*reserve_by_length=*/false);
    count = elements.size() / width;
  }
  require_fixed_array_length(fixed_length, count);
  auto size = mul(fixed_length, width);
  auto end = size ? add(offset, *size) : std::nullopt;
  if (!end || *end > region.size()) fail(PyExc_ValueError, "fixed array lies outside its struct");
  if (*size > 0) std::memcpy(region.data() + offset, elements.data(), *size);
}

}  // namespace

void align_writer(TableWriter& writer, uint64_t alignment) {
  if (alignment != 1 && alignment != 2 && alignment != 4 && alignment != 8) {
    fail(PyExc_ValueError, "unsupported native struct alignment {}", alignment);
  }
  writer.builder().Align(static_cast<size_t>(alignment));
}

void encode_struct_into(NativePlan& plan, ModelWalk& walk, const ObjectWire& object, PyObject* value,
                        std::span<uint8_t> region) {
  RecursionGuard guard(" while packing a FlatBuffer struct");
  object.require_struct();
  const ModelView model = walk.view(object, value);
  // A struct of size 0 may come with no storage at all, and memset takes no null pointer.
  if (!region.empty()) std::memset(region.data(), 0, region.size());
  const uint64_t length = region.size();
  for (size_t i = 0; i < object.fields.size(); ++i) {
    const FieldWire& field = object.fields[i];
    py::Ref attr = model.read(i);
    switch (field_form(field.kind)) {
      case FieldForm::scalar: {
        auto end = add(field.offset, scalar_width(field.scalar_kind()));
        if (!end || *end > length) fail(PyExc_ValueError, "struct field {} lies outside its struct", field.name);
        store_scalar(region.data() + field.offset, ScalarValue::extract(field.scalar_kind(), attr.get()));
        break;
      }
      case FieldForm::struct_: {
        const ObjectWire& child = plan.target_of(field);
        auto end = add(field.offset, child.byte_size);
        if (!end || *end > length) fail(PyExc_ValueError, "nested struct lies outside its parent");
        encode_struct_into(plan, walk, child, attr.get(), region.subspan(field.offset, child.byte_size));
        break;
      }
      case FieldForm::scalar_array:
        write_struct_scalar_array(region, field.offset, field.fixed_length, field.scalar_kind(), attr.get());
        break;
      case FieldForm::struct_array: {
        const ObjectWire& child = plan.target_of(field);
        const size_t n = sequence_length(attr.get());
        require_fixed_array_length(field.fixed_length, n);
        for (size_t i = 0; i < n; ++i) {
          auto step = mul(field.element_size, i);
          auto start = step ? add(field.offset, *step) : std::nullopt;
          auto end = start ? add(*start, child.byte_size) : std::nullopt;
          if (!end || *end > length) fail(PyExc_ValueError, "struct array lies outside its parent");
          py::Ref index = check_new(PyLong_FromSize_t(i));
          py::Ref item = check_new(PyObject_GetItem(attr.get(), index.get()));
          encode_struct_into(plan, walk, child, item.get(), region.subspan(*start, child.byte_size));
        }
        break;
      }
      case FieldForm::offset:
      case FieldForm::serde_only: refuse_in_struct();
    }
  }
}

}  // namespace quorvel::flatbuffer
