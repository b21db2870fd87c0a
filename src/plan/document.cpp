// The plan document reader: a strict, schema-driven MessagePack decoder of the plan records.
//
// Each position is read with the rules of its type and the first mismatch ends the whole read
// with one message. Records come as arrays (fields in wire order) or maps (keys by name, by bytes
// or by index); a bin stands for a sequence of small unsigned integers wherever a record or a
// list is expected.
#include "msgpack/reader.hpp"
#include "py/found.hpp"
#include "py/text.hpp"
#include "plan/wire.hpp"

#include <bitset>
#include <format>

namespace quorvel {

namespace {

using msgpack::Family;
using msgpack::Marker;

// One element of a record or a list: the next value of the stream, or one byte of a bin that is
// being read as a sequence.
struct Elem {
  bool from_byte = false;
  uint8_t byte = 0;
};
constexpr Elem from_stream{};

enum class ArrayNeed : uint8_t { required, defaulted };
enum class MapNeed : uint8_t { required, optional };

struct FieldShape {
  std::string_view key;
  ArrayNeed array;
  MapNeed map;
};

struct RecordShape {
  std::string_view expecting;    // "struct FieldWire"
  std::string_view length_text;  // "struct FieldWire with 23 elements"
  std::span<const FieldShape> fields;
};

constexpr auto R = ArrayNeed::required;
constexpr auto D = ArrayNeed::defaulted;
constexpr auto MR = MapNeed::required;
constexpr auto MO = MapNeed::optional;

constexpr FieldShape module_fields[] = {{"version", R, MR}, {"objects", R, MR}};
constexpr FieldShape object_fields[] = {
    {"name", R, MR},   {"is_struct", R, MR},   {"byte_size", R, MR},       {"min_alignment", R, MR},
    {"fields", R, MR}, {"serde_fields", R, MR}, {"serde_tag_field", R, MO}, {"serde_tag", R, MO},
};
constexpr FieldShape field_fields[] = {
    {"name", R, MR},
    {"slot", R, MR},
    {"offset", R, MR},
    {"kind", R, MR},
    {"scalar", D, MO},
    {"default", R, MR},
    {"optional", R, MR},
    {"required", R, MR},
    {"serde_nullable", D, MO},
    {"serde_element_nullable", D, MO},
    {"serde_python_int", D, MO},
    {"serde_omit_default", D, MO},
    {"key", D, MO},
    {"target", D, MO},
    {"type_slot", D, MO},
    {"type_scalar", D, MO},
    {"allowed_prefix", D, MO},
    {"enum_type", D, MO},
    {"dynamic_type", D, MO},
    {"arms", D, MO},
    {"fixed_length", D, MO},
    {"element_size", D, MO},
    {"fallback_id", D, MO},
};
constexpr FieldShape arm_fields[] = {{"tag", R, MR}, {"target", R, MR}};
constexpr FieldShape serde_field_fields[] = {{"attr_name", R, MR}, {"encode_name", R, MR}};

constexpr RecordShape module_shape{"struct ModuleWire", "struct ModuleWire with 2 elements", module_fields};
constexpr RecordShape object_shape{"struct ObjectWire", "struct ObjectWire with 8 elements", object_fields};
constexpr RecordShape field_shape{"struct FieldWire", "struct FieldWire with 23 elements", field_fields};
constexpr RecordShape arm_shape{"struct ArmWire", "struct ArmWire with 2 elements", arm_fields};
constexpr RecordShape serde_field_shape{"struct SerdeFieldWire", "struct SerdeFieldWire with 2 elements",
                                      serde_field_fields};

constexpr uint64_t u8_max = 0xff, u16_max = 0xffff, u64_max = ~uint64_t{0};

std::string_view as_chars(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A str payload read as text where the document wants text: invalid UTF-8 is the reader's error.
std::string_view utf8_text(std::span<const uint8_t> payload) {
  const std::string_view s = as_chars(payload);
  if (auto fault = text::utf8_fault(s); !fault.empty()) reader_fail("string found to be invalid utf8: {}", fault);
  return s;
}

std::string integer_found(const msgpack::Integer& n) { return found::integer(n.render()); }
std::string byte_found(uint8_t b) { return found::integer(b); }

class DocumentReader {
 public:
  DocumentReader(std::span<const uint8_t> bytes, uint16_t depth_limit)
      : r_(bytes, depth_limit) {}

  ModuleWire read_module() {
    ModuleWire module;
    read_record(from_stream, module_shape, [&](size_t i, Elem e) {
      switch (i) {
        case 0: module.version = static_cast<uint8_t>(read_unsigned(e, u8_max, "u8")); break;
        case 1: read_list(e, [&](Elem x) { module.objects.push_back(read_object(x)); }); break;
      }
    });
    return module;
  }

 private:
  Marker take_marker() {
    if (cached_) {
      Marker m = *cached_;
      cached_.reset();
      return m;
    }
    return r_.read_marker();
  }

  // A value of the wrong family: reads what the value's description needs and fails.
  [[noreturn]] void fail_invalid_type(Marker m, std::string_view expecting) {
    if (m.is_integer()) invalid_type(integer_found(r_.read_integer(m)), expecting);
    if (m.family == Family::Null) invalid_type(found::unit, expecting);
    if (m.is_bool()) invalid_type(found::boolean(m.family == Family::True), expecting);
    if (m.is_float()) invalid_type(found::floating(r_.read_float(m)), expecting);
    if (m.is_str()) {
      auto s = utf8_text(r_.read_payload(r_.read_length(m)));
      invalid_type(found::string(s), expecting);
    }
    if (m.is_bin()) {
      r_.read_payload(r_.read_length(m));
      invalid_type(found::bytes, expecting);
    }
    if (m.is_array() || m.is_map() || m.is_ext()) {
      r_.read_length(m);
      msgpack::Reader::Nesting nesting(r_);
      invalid_type(m.is_array() ? found::sequence : m.is_map() ? found::map : found::ext, expecting);
    }
    msgpack::wrong_marker(m);
  }

  uint64_t read_unsigned(Elem e, uint64_t max, std::string_view expecting) {
    if (e.from_byte) return e.byte;  // every integer type holds 0..255
    Marker m = take_marker();
    if (m.is_integer()) {
      auto n = r_.read_integer(m);
      if (n.negative || n.u > max) invalid_value(integer_found(n), expecting);
      return n.u;
    }
    if (m.family == Family::Null || m.is_bool() || m.is_float()) fail_invalid_type(m, expecting);
    msgpack::wrong_marker(m);
  }

  bool read_bool(Elem e) {
    if (e.from_byte) invalid_type(byte_found(e.byte), "a boolean");
    Marker m = take_marker();
    if (m.is_bool()) return m.family == Family::True;
    if (m.is_integer() || m.family == Family::Null || m.is_float()) fail_invalid_type(m, "a boolean");
    msgpack::wrong_marker(m);
  }

  std::string read_string(Elem e) {
    if (e.from_byte) invalid_type(byte_found(e.byte), "a string");
    Marker m = take_marker();
    if (m.is_str()) {
      auto s = utf8_text(r_.read_payload(r_.read_length(m)));
      return std::string(s);
    }
    if (m.is_bin()) {
      auto s = as_chars(r_.read_payload(r_.read_length(m)));
      if (!text::is_utf8(s)) invalid_value(found::bytes, "a string");
      return std::string(s);
    }
    fail_invalid_type(m, "a string");
  }

  template <class Read>
  auto read_optional(Elem e, Read&& read) -> std::optional<decltype(read(e))> {
    if (e.from_byte) invalid_type(byte_found(e.byte), "option");
    Marker m = take_marker();
    if (m.family == Family::Null) return std::nullopt;
    cached_ = m;
    return read(from_stream);
  }

  template <class ReadElem>
  void read_list(Elem e, ReadElem&& read_elem) {
    if (e.from_byte) invalid_type(byte_found(e.byte), "a sequence");
    Marker m = take_marker();
    if (m.is_array()) {
      uint32_t n = r_.read_length(m);
      msgpack::Reader::Nesting nesting(r_);
      for (uint32_t k = 0; k < n; ++k) read_elem(from_stream);
      return;
    }
    if (m.is_bin()) {
      for (uint8_t b : r_.read_payload(r_.read_length(m))) read_elem(Elem{true, b});
      return;
    }
    fail_invalid_type(m, "a sequence");
  }

  template <size_t N>
  uint8_t read_enum(Elem e, const std::array<std::string_view, N>& names, std::string_view byte_expecting) {
    if (e.from_byte) invalid_type(byte_found(e.byte), byte_expecting);
    Marker m = take_marker();
    if (m.is_map()) {
      uint32_t n = r_.read_length(m);
      if (n != 1) reader_fail("array had incorrect length, expected {}", n);
      uint8_t variant = variant_identifier(take_marker(), names);
      Marker value = take_marker();
      if (value.family != Family::Null) msgpack::wrong_marker(value);
      return variant;
    }
    return variant_identifier(m, names);
  }

  template <size_t N>
  uint8_t variant_identifier(Marker m, const std::array<std::string_view, N>& names) {
    auto by_name = [&](std::string_view s) -> uint8_t {
      for (size_t k = 0; k < N; ++k) {
        if (names[k] == s) return static_cast<uint8_t>(k);
      }
      std::string expected = "one of ";
      for (size_t k = 0; k < N; ++k) expected += std::format("{}`{}`", k ? ", " : "", names[k]);
      reader_fail("unknown variant `{}`, expected {}", text::utf8_lossy(s), expected);
    };
    if (m.is_unsigned()) {
      auto n = r_.read_integer(m);
      if (n.u >= N) invalid_value(integer_found(n), std::format("variant index 0 <= i < {}", N));
      return static_cast<uint8_t>(n.u);
    }
    if (m.is_str()) {
      auto s = utf8_text(r_.read_payload(r_.read_length(m)));
      return by_name(s);
    }
    if (m.is_bin()) return by_name(as_chars(r_.read_payload(r_.read_length(m))));
    fail_invalid_type(m, "variant identifier");
  }

  MessagePackValue read_value(Elem e) {
    if (e.from_byte) {
      MessagePackValue v;
      v.kind = MessagePackValue::Kind::Integer;
      v.u = e.byte;
      return v;
    }
    return r_.read_value(take_marker());
  }

  // A map key naming a field: its index, or nothing when it names no field.
  std::optional<size_t> field_identifier(const RecordShape& shape) {
    Marker m = take_marker();
    auto by_bytes = [&](std::string_view s) -> std::optional<size_t> {
      for (size_t k = 0; k < shape.fields.size(); ++k) {
        if (shape.fields[k].key == s) return k;
      }
      return std::nullopt;
    };
    if (m.is_unsigned()) {
      auto n = r_.read_integer(m);
      if (n.u < shape.fields.size()) return static_cast<size_t>(n.u);
      return std::nullopt;
    }
    if (m.is_str() || m.is_bin()) return by_bytes(as_chars(r_.read_payload(r_.read_length(m))));
    fail_invalid_type(m, "field identifier");
  }

  template <class ReadField>
  void read_record(Elem e, const RecordShape& shape, ReadField&& read_field) {
    if (e.from_byte) invalid_type(byte_found(e.byte), shape.expecting);
    Marker m = take_marker();
    if (m.is_array()) {
      uint32_t n = r_.read_length(m);
      msgpack::Reader::Nesting nesting(r_);
      array_form(shape, n, [&](size_t i, size_t) { read_field(i, from_stream); });
      if (n > shape.fields.size()) reader_fail("array had incorrect length, expected {}", shape.fields.size());
      return;
    }
    if (m.is_map()) {
      uint32_t n = r_.read_length(m);
      msgpack::Reader::Nesting nesting(r_);
      std::bitset<32> seen;
      for (uint32_t k = 0; k < n; ++k) {
        auto index = field_identifier(shape);
        if (!index) {
          r_.skip_value(take_marker());
          continue;
        }
        if (seen[*index]) reader_fail("duplicate field `{}`", shape.fields[*index].key);
        seen.set(*index);
        read_field(*index, from_stream);
      }
      for (size_t i = 0; i < shape.fields.size(); ++i) {
        if (!seen[i] && shape.fields[i].map == MapNeed::required) reader_fail("missing field `{}`", shape.fields[i].key);
      }
      return;
    }
    if (m.is_bin()) {
      auto bytes = r_.read_payload(r_.read_length(m));
      array_form(shape, bytes.size(), [&](size_t i, size_t k) { read_field(i, Elem{true, bytes[k]}); });
      return;
    }
    fail_invalid_type(m, shape.expecting);
  }

  // Reads the fields of an array-form record of n elements; `read(i, k)` reads field i from
  // element k. Missing trailing elements leave defaulted fields at their defaults.
  template <class Read>
  void array_form(const RecordShape& shape, size_t n, Read&& read) {
    size_t consumed = 0;
    for (size_t i = 0; i < shape.fields.size(); ++i) {
      if (consumed < n) {
        read(i, consumed++);
      } else if (shape.fields[i].array == ArrayNeed::required) {
        reader_fail("invalid length {}, expected {}", i, shape.length_text);
      }
    }
  }

  ObjectWire read_object(Elem e) {
    ObjectWire object;
    read_record(e, object_shape, [&](size_t i, Elem x) {
      switch (i) {
        case 0: object.name = read_string(x); break;
        case 1: object.is_struct = read_bool(x); break;
        case 2: object.byte_size = read_unsigned(x, u64_max, "usize"); break;
        case 3: object.min_alignment = read_unsigned(x, u64_max, "usize"); break;
        case 4: read_list(x, [&](Elem y) { object.fields.push_back(read_field(y)); }); break;
        case 5: read_list(x, [&](Elem y) { object.serde_fields.push_back(read_serde_field(y)); }); break;
        case 6: object.serde_tag_field = read_optional(x, [&](Elem y) { return read_string(y); }); break;
        case 7: object.serde_tag = read_optional(x, [&](Elem y) { return read_string(y); }); break;
      }
    });
    return object;
  }

  FieldWire read_field(Elem e) {
    FieldWire f;
    auto opt_string = [&](Elem x) { return read_optional(x, [&](Elem y) { return read_string(y); }); };
    auto opt_scalar = [&](Elem x) {
      return read_optional(x, [&](Elem y) { return static_cast<ScalarKind>(read_enum(y, scalar_kind_names, "enum ScalarKind")); });
    };
    read_record(e, field_shape, [&](size_t i, Elem x) {
      switch (i) {
        case 0: f.name = read_string(x); break;
        case 1: f.slot = static_cast<uint16_t>(read_unsigned(x, u16_max, "u16")); break;
        case 2: f.offset = read_unsigned(x, u64_max, "usize"); break;
        case 3: f.kind = static_cast<FieldKind>(read_enum(x, field_kind_names, "enum FieldKind")); break;
        case 4: f.scalar = opt_scalar(x); break;
        case 5: f.default_value = read_value(x); break;
        case 6: f.optional = read_bool(x); break;
        case 7: f.required = read_bool(x); break;
        case 8: f.serde_nullable = read_bool(x); break;
        case 9: f.serde_element_nullable = read_bool(x); break;
        case 10: f.serde_python_int = read_bool(x); break;
        case 11: f.serde_omit_default = read_bool(x); break;
        case 12: f.key = read_bool(x); break;
        case 13: f.target = opt_string(x); break;
        case 14:
          f.type_slot = read_optional(x, [&](Elem y) { return static_cast<uint16_t>(read_unsigned(y, u16_max, "u16")); });
          break;
        case 15: f.type_scalar = opt_scalar(x); break;
        case 16: f.allowed_prefix = opt_string(x); break;
        case 17: f.enum_type = opt_string(x); break;
        case 18: f.dynamic_type = opt_string(x); break;
        case 19: read_list(x, [&](Elem y) { f.arms.push_back(read_arm(y)); }); break;
        case 20: f.fixed_length = read_unsigned(x, u64_max, "usize"); break;
        case 21: f.element_size = read_unsigned(x, u64_max, "usize"); break;
        case 22: f.fallback_id = opt_string(x); break;
      }
    });
    return f;
  }

  ArmWire read_arm(Elem e) {
    ArmWire arm;
    read_record(e, arm_shape, [&](size_t i, Elem x) {
      if (i == 0) arm.tag = read_unsigned(x, u64_max, "u64");
      else arm.target = read_string(x);
    });
    return arm;
  }

  SerdeFieldWire read_serde_field(Elem e) {
    SerdeFieldWire sf;
    read_record(e, serde_field_shape, [&](size_t i, Elem x) {
      if (i == 0) sf.attr_name = read_string(x);
      else sf.encode_name = read_string(x);
    });
    return sf;
  }

  msgpack::Reader r_;
  std::optional<Marker> cached_;
};

}  // namespace

ModuleWire read_plan_document(std::span<const uint8_t> bytes, uint16_t depth_limit) {
  return DocumentReader(bytes, depth_limit).read_module();
}

}  // namespace quorvel
