#include "flatbuffer/read.hpp"

#include "plan/scalar_bytes.hpp"
#include "py/text.hpp"

namespace quorvel::flatbuffer {

uint64_t ByteRange::offset_target(uint64_t position, std::string_view label) const {
  const uint32_t u = read_u32(position);
  if (u == 0) errors_.invalid_error(std::format("{} contains a null offset", label));
  uint64_t target;
  if (__builtin_add_overflow(position, uint64_t{u}, &target)) {
    errors_.bounds_error(std::format("{} target offset overflows", label));
  }
  require_span(label, target, 1);
  return target;
}

std::optional<uint64_t> ByteRange::field_position(const TableRecord& table, uint64_t slot, uint64_t size) const {
  if (slot < 4 || slot % 2 != 0) fail(PyExc_ValueError, "vtable field offsets must be even and at least 4");
  if (slot >= table.vtable_size) return std::nullopt;
  require_span("uint16", table.vtable + slot, 2);
  const uint16_t v = load<uint16_t>(table.vtable + slot);
  if (v == 0) return std::nullopt;
  if (v >= 4 && table.table_size >= size && table.table_size - size >= v) return table.position + v;
  errors_.invalid_error("field lies outside its FlatBuffers table");
}

std::optional<std::pair<uint64_t, uint32_t>> ByteRange::vector_info(const TableRecord& table, uint64_t slot,
                                                                   uint64_t element_size) const {
  auto field = field_position(table, slot, 4);
  if (!field) return std::nullopt;
  const uint64_t t = offset_target(*field, "vector offset");
  const uint32_t count = read_u32(t);
  uint64_t bytes;
  if (__builtin_mul_overflow(uint64_t{count}, element_size, &bytes)) errors_.bounds_error("vector byte length overflows");
  require_span("vector data", t + 4, bytes);
  return std::pair{t + 4, count};
}

py::Ref ByteRange::decode_string_at(uint64_t position, uint64_t* length_out) const {
  const uint64_t t = offset_target(position, "string offset");
  const uint32_t length = read_u32(t);
  if (length_out != nullptr) *length_out = length;
  require_span("string data", t + 4, uint64_t{length} + 1);
  if (data_[t + 4 + length] != 0) errors_.invalid_error("FlatBuffers string is not null-terminated");
  const char* text = reinterpret_cast<const char*>(data_ + t + 4);
  PyObject* str = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "strict");
  if (str != nullptr) return py::Ref::steal(str);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error_set();  // e.g. MemoryError
  // Report the fault the way this module describes invalid UTF-8 everywhere.
  PyErr_Clear();
  const std::string_view bytes(text, length);
  const std::string reason = text::utf8_fault(bytes);
  size_t start = 0, end = 0;
  text::utf8_fault_span(bytes, start, end);
  PyObject* error = PyUnicodeDecodeError_Create("utf-8", text, static_cast<Py_ssize_t>(length),
                                                static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end),
                                                reason.c_str());
  if (error != nullptr) {
    PyErr_SetObject(PyExc_UnicodeDecodeError, error);
    Py_DECREF(error);
  }
  throw_error_set();
}

ScalarValue ByteRange::read_scalar_value(uint64_t position, ScalarKind kind) const {
  require_span("scalar data", position, scalar_width(kind));
  return load_scalar(data_ + position, kind);
}

}  // namespace quorvel::flatbuffer
