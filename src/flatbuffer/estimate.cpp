// The size estimate that sizes the builder of a pack call.
//
// It measures the root's fields exactly, child tables while a small shared work budget lasts, and
// long sequences by a few deterministic samples; every step saturates instead of wrapping. What was
// not measured (extrapolation beyond the samples, the fixed costs of what was not visited) is kept
// apart as a guess: only the measured part can show that a graph will not fit.
#include "flatbuffer/formats.hpp"
#include "flatbuffer/pack.hpp"

#include <algorithm>

namespace quorvel::flatbuffer {

namespace {

constexpr uint64_t max_u64 = UINT64_MAX;
// The builder starts with at most this much, or as much as was measured, for the guessed part: a
// few outlying samples can inflate it far beyond the graph (two long strings sampled among
// thousands of short ones), and the result keeps the whole allocation. Past it the builder grows.
constexpr uint64_t trusted_guess = uint64_t{1} << 20;

uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? max_u64 : r;
}

uint64_t sat_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? max_u64 : r;
}

uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

class Estimator {
 public:
  Estimator(NativePlan& plan, ModelWalk& walk) : plan_(plan), walk_(walk) {}

  uint64_t table_fields(const ObjectWire& object, std::span<FieldState> states);
  // The part of the costs returned so far that was guessed rather than measured.
  uint64_t guessed() const noexcept { return guessed_; }

 private:
  uint64_t table(const ObjectWire& object, PyObject* value);
  uint64_t field_cost(const ObjectWire& object, const FieldWire& field, FieldState& state);
  // Sum over k sampled positions of a vector of n elements, extrapolated to all n.
  template <class Measure>
  uint64_t sampled(const ObjectWire& object, const FieldWire& field, PyObject* value, size_t n, size_t k,
                   Measure&& measure);

  uint64_t guess(uint64_t cost) {
    guessed_ = sat_add(guessed_, cost);
    return cost;
  }

  NativePlan& plan_;
  ModelWalk& walk_;
  uint64_t budget_ = 6;
  uint64_t guessed_ = 0;
};

uint64_t width_of(std::optional<ScalarKind> kind) {
  if (!kind) fail(PyExc_ValueError, "native field has no valid scalar kind");
  return scalar_width(*kind);
}

uint64_t string_cost(PyObject* value) { return str_utf8(value).size() + 8; }

// The byte length of a payload that must export a buffer.
uint64_t buffer_length(PyObject* value) {
  BufferView view = BufferView::acquire(value);
  return static_cast<uint64_t>(view.view().len);
}

uint64_t Estimator::table(const ObjectWire& object, PyObject* value) {
  const uint64_t cost = std::max<uint64_t>(1, object.fields.size());
  if (cost > budget_) {
    budget_ = 0;
    return guess(64);
  }
  budget_ -= cost;
  const ModelView view = walk_.view(object, value);
  FieldStates states(object.fields.size());
  load_fields(plan_, object, view, states);
  return table_fields(object, states);
}

uint64_t Estimator::table_fields(const ObjectWire& object, std::span<FieldState> states) {
  object.require_table();
  uint64_t total = 8;
  bool present = false;
  uint64_t max_slot = 0;
  const size_t count = std::min(object.fields.size(), states.size());
  for (size_t i = 0; i < count; ++i) {
    const FieldWire& field = object.fields[i];
    FieldState& state = states[i];
    if (state.value.get() == Py_None) continue;
    if (field.kind == FieldKind::scalar) {
      state.scalar = ScalarValue::extract(field.scalar_kind(), state.value.get());
      if (!field.optional && state.scalar->equals(field.scalar_default())) continue;
    }
    present = true;
    max_slot = std::max<uint64_t>(max_slot, field.slot);
    if ((field.kind == FieldKind::union_ || field.kind == FieldKind::union_vector ||
         field.kind == FieldKind::dynamic) &&
        field.type_slot) {
      max_slot = std::max<uint64_t>(max_slot, *field.type_slot);
    }
    total = sat_add(total, field_cost(object, field, state));
  }
  if (present) total = sat_add(total, sat_add(2, sat_mul(2, max_slot)));
  return total;
}

template <class Measure>
uint64_t Estimator::sampled(const ObjectWire& object, const FieldWire& field, PyObject* value, size_t n, size_t k,
                            Measure&& measure) {
  auto at = [&](size_t position) {
    py::Ref index = check_new(PyLong_FromSize_t(position));
    py::Ref item = check_new(PyObject_GetItem(value, index.get()));
    return measure(item.get());
  };
  const uint64_t guessed_before = guessed_;
  uint64_t sum = 0;
  if (k == n) {
    for (size_t p = 0; p < n; ++p) sum = sat_add(sum, at(p));
  } else if (k == 1) {
    sum = at(n / 2);
  } else {
    sum = at(0);
    const uint64_t seed = mix((uint64_t{object.index} * 0x9e3779b97f4a7c15ULL) ^ (uint64_t{field.slot} << 32) ^ n);
    const uint64_t inner = n - 2, strata = k - 2;
    for (uint64_t i = 1; i + 1 < k; ++i) {
      const uint64_t lo = (i - 1) * inner / strata;
      const uint64_t hi = i * inner / strata;
      const uint64_t r = mix(seed ^ i);
      sum = sat_add(sum, at(static_cast<size_t>(1 + lo + r % (hi - lo))));
    }
    sum = sat_add(sum, at(n - 1));
  }
  // ceil(sum * n / k), saturating
  const uint64_t scaled = sat_mul(sum, n);
  const uint64_t total = scaled == max_u64 ? max_u64 : scaled / k + (scaled % k != 0);
  // Only what the samples measured themselves is measured; the rest of the total is a guess.
  const uint64_t measured = sum - std::min(guessed_ - guessed_before, sum);
  guessed_ = sat_add(guessed_before, total - std::min(measured, total));
  return total;
}

uint64_t Estimator::field_cost(const ObjectWire& object, const FieldWire& field, FieldState& state) {
  PyObject* value = state.value.get();
  switch (field.kind) {
    case FieldKind::scalar: return 2 * uint64_t{field.width} - 1;
    case FieldKind::string: return sat_add(7, string_cost(value));
    case FieldKind::table: {
      const ObjectWire& target = plan_.target_of(field);
      return sat_add(7, table(target, value));
    }
    case FieldKind::struct_: {
      const ObjectWire& target = plan_.target_of(field);
      return sat_add(target.byte_size, target.min_alignment == 0 ? 0 : target.min_alignment - 1);
    }
    case FieldKind::vector_byte: {
      uint64_t length = 0;
      if (auto view = BufferView::try_acquire(value)) {
        length = static_cast<uint64_t>(view->view().len);
      } else {
        Py_ssize_t n = PyObject_Length(value);
        if (n < 0) clear_ordinary_error();
        length = n < 0 ? 0 : static_cast<uint64_t>(n);
      }
      return sat_add(14, length);
    }
    case FieldKind::vector_scalar: {
      const uint64_t w = width_of(field.scalar);
      const size_t n = sequence_length(value);
      return sat_add(sat_add(7, sat_mul(n, w)), 4 + (std::max<uint64_t>(w, 4) - 1));
    }
    case FieldKind::vector_struct: {
      const ObjectWire& target = plan_.target_of(field);
      const size_t n = sequence_length(value);
      return sat_add(sat_add(7, sat_mul(n, target.byte_size)), 4 + (std::max<uint64_t>(target.min_alignment, 4) - 1));
    }
    case FieldKind::vector_string: {
      const size_t n = sequence_length(value);
      const size_t k = std::min<uint64_t>({n, budget_, 4});
      budget_ -= k;
      const uint64_t s = k == 0 ? guess(sat_mul(32, n)) : sampled(object, field, value, n, k, string_cost);
      return sat_add(sat_add(7, s), sat_add(sat_mul(4, n), 7));
    }
    case FieldKind::vector_table: {
      const ObjectWire& target = plan_.target_of(field);
      const size_t n = sequence_length(value);
      const uint64_t f = std::max<uint64_t>(1, target.fields.size());
      const size_t k = std::min<uint64_t>({n, 4 / f, budget_ / f});
      const uint64_t s = k == 0 ? guess(sat_mul(64, n))
                                : sampled(object, field, value, n, k, [&](PyObject* item) { return table(target, item); });
      return sat_add(sat_add(7, s), sat_add(sat_mul(4, n), 7));
    }
    case FieldKind::nested: {
      if (!plan_.nested_encoder) fail(PyExc_RuntimeError, "native nested encoder is not loaded");
      py::Ref result = check_new(PyObject_CallOneArg(plan_.nested_encoder.get(), value));
      const uint64_t length = buffer_length(result.get());
      state.nested = std::move(result);
      return sat_add(14, length);
    }
    case FieldKind::dynamic: {
      auto encoded = encode_dynamic_value(plan_, field, value);
      const uint64_t length = buffer_length(encoded.second.get());
      uint64_t cost = field.type_slot ? 14 : 7;
      cost = sat_add(cost, encoded.first.size() + 8);
      cost = sat_add(cost, sat_add(length, 7));
      state.dynamic = std::move(encoded);
      return cost;
    }
    case FieldKind::union_: {
      const uint64_t w = width_of(field.type_scalar);
      const ArmWire& arm = union_arm(plan_, field, value);
      return sat_add(7 + (2 * w - 1), table(plan_.objects[arm.target_index], value));
    }
    case FieldKind::union_vector: {
      const uint64_t w = width_of(field.type_scalar);
      const size_t n = sequence_length(value);
      const size_t k = std::min<uint64_t>({n, budget_, 4});
      const uint64_t s = k == 0 ? guess(sat_mul(64, n)) : sampled(object, field, value, n, k, [&](PyObject* item) -> uint64_t {
        if (item == Py_None) return 0;
        const ArmWire& arm = union_arm(plan_, field, item);
        return table(plan_.objects[arm.target_index], item);
      });
      uint64_t cost = field.type_slot ? 14 : 7;
      cost = sat_add(cost, s);
      cost = sat_add(cost, sat_add(sat_mul(4, n), 7));
      return sat_add(cost, sat_add(sat_mul(n, w), 4 + (std::max<uint64_t>(w, 4) - 1)));
    }
    case FieldKind::array_scalar:
    case FieldKind::array_struct:
    case FieldKind::uuid:
    case FieldKind::decimal:
    case FieldKind::fallback: refuse_in_table(field, /*decoding=*/false);
  }
  return 0;
}

}  // namespace

SizeEstimate estimate_initial_capacity(NativePlan& plan, ModelWalk& walk, const ObjectWire& object,
                                       std::span<FieldState> states, bool has_identifier, bool size_prefixed) {
  Estimator estimator(plan, walk);
  uint64_t e = estimator.table_fields(object, states);
  e = sat_add(e, 4 + (has_identifier ? 4 : 0) + (size_prefixed ? 4 : 0));
  auto with_margin = [](uint64_t x) { return sat_add(x, sat_add(x, 99) / 100); };
  const uint64_t measured = with_margin(e - std::min(estimator.guessed(), e));
  const uint64_t capacity = std::min(with_margin(e), sat_add(measured, std::max(measured, trusted_guess)));
  return SizeEstimate{measured, capacity};
}

}  // namespace quorvel::flatbuffer
