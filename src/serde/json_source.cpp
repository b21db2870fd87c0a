#include "serde/json_source.hpp"

#include "py/recursion.hpp"
#include "py/text.hpp"

#include <format>
#include <optional>
#include <vector>

namespace quorvel::serde {

namespace {

// A parser and a padded input buffer, kept per thread for the next document. A decode may run
// Python code that decodes another document on the same thread, so each read takes its own
// engine from the idle list (or a new one) and gives it back when done; nothing is shared.
struct Engine {
  sj::parser parser;
  std::unique_ptr<char[]> buffer;
  size_t capacity = 0;

  char* padded(size_t size) {
    if (capacity < size) {
      buffer.reset();
      capacity = 0;
      buffer = std::make_unique_for_overwrite<char[]>(size);
      capacity = size;
    }
    return buffer.get();
  }
};

// The bytes an engine holds: its copy buffer and its parser's allocations.
size_t held_bytes(const Engine& e) noexcept { return sizeof(Engine) + e.capacity + engine::held_bytes(e.parser); }

// What a thread keeps between documents, its idle engines together: enough for documents of about
// 600 KiB, while a thread that once read a big one does not hold on to what that needed.
constexpr size_t kept_bytes = size_t{4} << 20;
constexpr size_t kept_engines = 4;

thread_local std::vector<std::unique_ptr<Engine>> idle_engines;
thread_local size_t idle_bytes = 0;

class EngineLease {
 public:
  EngineLease() {
    // Room for the engine's return, taken now: giving it back must not allocate (nor throw).
    idle_engines.reserve(kept_engines);
    if (idle_engines.empty()) {
      engine_ = std::make_unique<Engine>();
    } else {
      engine_ = std::move(idle_engines.back());
      idle_engines.pop_back();
      idle_bytes -= held_bytes(*engine_);
    }
  }
  ~EngineLease() {
    if (idle_engines.size() >= kept_engines) return;
    auto fits = [this] { return idle_bytes + held_bytes(*engine_) <= kept_bytes; };
    if (!fits()) engine_->parser = sj::parser{};
    if (!fits()) {
      engine_->buffer.reset();
      engine_->capacity = 0;
    }
    if (!fits()) return;
    idle_bytes += held_bytes(*engine_);
    idle_engines.push_back(std::move(engine_));
  }
  EngineLease(const EngineLease&) = delete;
  EngineLease& operator=(const EngineLease&) = delete;
  Engine* operator->() const noexcept { return engine_.get(); }

 private:
  std::unique_ptr<Engine> engine_;
};

std::string with_position(std::string_view message, std::string_view text, size_t offset, bool include_byte) {
  return std::string(message) + json::position_suffix(text, offset, include_byte);
}

size_t back_over_space(std::string_view text, size_t offset) {
  while (offset > 0 && json::is_space(text[offset - 1])) --offset;
  return offset;
}

std::string describe_number(std::string_view token) {
  auto number = json::parse_number(token);
  if (!number) return "";
  switch (number->kind) {
    case json::Number::Kind::unsigned_integer: return found::integer(number->u);
    case json::Number::Kind::signed_integer: return found::integer(number->i);
    case json::Number::Kind::floating: return found::floating(number->d);
  }
  return "";
}

// The exact fault of a malformed document; when the scanner accepts what simdjson refused, the
// engine's own text at `fallback_offset`.
std::string diagnose_text(std::string_view text, simdjson::error_code code, size_t fallback_offset) {
  if (auto fault = json::scan_document(text, JsonSource::depth_limit)) {
    return with_position(fault->message, text, fault->offset, fault->offset < text.size());
  }
  if (code == simdjson::CAPACITY) return with_position("JSON document is too large", text, 0, false);
  return with_position(simdjson::error_message(code), text, fallback_offset, false);
}

// A document whose root is not an object: the reader's error for what stands there.
[[noreturn]] void refuse_root(std::string_view text, std::string_view expecting) {
  size_t pos = 0;
  while (pos < text.size() && json::is_space(text[pos])) ++pos;
  if (pos >= text.size()) throw ReaderError{with_position(json::eof_text, text, text.size(), false), true};
  if (text[pos] == '[') {
    throw ReaderError{with_position(found::invalid_type_text(found::sequence, expecting), text, pos, true), true};
  }
  size_t end = pos;
  if (auto fault = json::scan_value(text, end, JsonSource::depth_limit)) {
    throw ReaderError{with_position(fault->message, text, fault->offset, fault->offset < text.size()), true};
  }
  std::string_view token = text.substr(pos, end - pos);
  std::string what;
  switch (token[0]) {
    case '"': what = found::string(json::unescape(token)); break;
    case 't': what = found::boolean(true); break;
    case 'f': what = found::boolean(false); break;
    case 'n': what = found::null; break;
    default:
      what = describe_number(token);
      if (what.empty()) throw ReaderError{with_position("number out of range", text, end, false), true};
  }
  throw ReaderError{with_position(found::invalid_type_text(what, expecting), text, end, false), true};
}

// Notes the objects and arrays inside the captured object or array `v` (see kept_ends.hpp), which
// starts at `start` and whose walk by the engine has just ended; returns the number of notes. Out
// of line: its loop runs over every token of a big value, and measured slower inlined in raw().
[[gnu::noinline]] size_t note_kept(JsonKeptEnds& kept, sj::value& v, engine::Mark start) {
  const engine::Mark end = engine::here(v);
  const engine::Tokens tokens(v);
  JsonKeptEnds::Noting noting(kept, JsonSource::kept_min_tokens);
  size_t open = 0;
  for (engine::Mark p = start; p < end; p = p.next()) {
    const char c = *tokens[p];
    if (c == '{' || c == '[') {
      noting.open(p);
      ++open;
    } else if ((c == '}' || c == ']') && open != 0) {
      noting.close(p.next());
      --open;
    }
  }
  return noting.finish();
}

// Steps over the unread object or array `v`, which lies inside a captured value (so its text is
// valid), as the engine's walk over it would, jumping over the values noted inside it; returns its
// text. Nothing is done, and nullopt returned, when `v` is no unread object or array.
std::optional<std::string_view> jump_over_kept(const JsonKeptEnds& kept, sj::value& v) {
  if (!engine::unread(v)) return std::nullopt;
  const engine::Mark start = engine::start_of(v);
  const engine::Tokens tokens(v);
  const char* first = tokens[start];
  if (*first != '{' && *first != '[') return std::nullopt;
  engine::Mark p = start;
  size_t open = 0, steps = 0, jumps = 0;
  do {
    const char c = *tokens[p];
    if (c == '{' || c == '[') {
      if (const engine::Mark end = kept.end_of(p)) {
        p = end;
        ++jumps;
        continue;
      }
      ++open;
    } else if (c == '}' || c == ']') {
      --open;
    }
    p = p.next();
    ++steps;
  } while (open != 0);
  count_steps(steps);
  count_jumps(jumps);
  const std::string_view text(first, static_cast<size_t>(tokens[p] - first));
  engine::leave_at(v, p);
  return json::trim(text);
}

}  // namespace

Scalar JsonSource::number_of(Value& v, std::string_view expecting) {
  const ValueKind k = kind(v);
  if (k != ValueKind::signed_integer && k != ValueKind::unsigned_integer && k != ValueKind::floating) {
    fail_invalid_type(v, expecting);
  }
  const std::string_view token = json::trim(v.raw_json_token());
  last_token_ = token.data();
  Scalar s;
  if (json::is_negative_zero(token)) {
    s.kind = ValueKind::floating;
    s.d = -0.0;
    return s;
  }
  sj::number n;
  auto error = v.get_number().get(n);
  if (error != simdjson::SUCCESS) {
    // Integers beyond 64 bits read as floats; a number beyond the double range is refused.
    auto parsed = json::parse_number(token);
    if (!parsed) {
      size_t pos = 0;
      if (json::scan_value(token, pos, 1) || pos != token.size()) throw EngineError{error};
      fail_at("number out of range", offset_of(token.data()) + token.size(), false);
    }
    s.kind = ValueKind::floating;
    s.d = parsed->kind == json::Number::Kind::floating ? parsed->d
          : parsed->kind == json::Number::Kind::signed_integer ? static_cast<double>(parsed->i)
                                                                : static_cast<double>(parsed->u);
    return s;
  }
  switch (n.get_number_type()) {
    case sj::number_type::signed_integer: {
      const int64_t i = n.get_int64();
      if (i < 0) {
        s.kind = ValueKind::signed_integer;
        s.i = i;
      } else {
        s.kind = ValueKind::unsigned_integer;
        s.u = static_cast<uint64_t>(i);
      }
      return s;
    }
    case sj::number_type::unsigned_integer:
      s.kind = ValueKind::unsigned_integer;
      s.u = n.get_uint64();
      return s;
    case sj::number_type::floating_point_number:
    case sj::number_type::big_integer:
      s.kind = ValueKind::floating;
      s.d = n.get_double();
      return s;
  }
  return s;
}

Scalar JsonSource::scalar(Value& v) {
  Scalar s;
  s.kind = kind(v);
  switch (s.kind) {
    case ValueKind::null: set_last_token(v), take_null(v); break;
    case ValueKind::boolean: set_last_token(v), check(v.get_bool().get(s.b)); break;
    case ValueKind::unsigned_integer:
    case ValueKind::signed_integer:
    case ValueKind::floating: return number_of(v, "a number");
    case ValueKind::string: set_last_token(v), check(v.get_string().get(s.s)); break;
    case ValueKind::binary:
    case ValueKind::array:
    case ValueKind::map:
    case ValueKind::ext: break;
  }
  return s;
}

msgpack::MessagePackValue JsonSource::generic(Value& v) {
  using K = msgpack::MessagePackValue::Kind;
  msgpack::MessagePackValue out;
  const ValueKind k = kind(v);
  switch (k) {
    case ValueKind::null:
      take_null(v);
      out.kind = K::Nil;
      break;
    case ValueKind::boolean:
      out.kind = K::Boolean;
      check(v.get_bool().get(out.boolean));
      break;
    case ValueKind::unsigned_integer:
    case ValueKind::signed_integer:
    case ValueKind::floating: {
      Scalar s = number_of(v, "a number");
      if (s.kind == ValueKind::floating) {
        out.kind = K::F64;
        out.f64 = s.d;
      } else {
        out.kind = K::Integer;
        out.negative = s.kind == ValueKind::signed_integer;
        out.i = s.i;
        out.u = s.u;
      }
      break;
    }
    case ValueKind::string: {
      std::string_view s;
      check(v.get_string().get(s));
      out.kind = K::String;
      out.bytes.assign(s);
      break;
    }
    case ValueKind::array: {
      RecursionGuard recursion(" while reading a JSON value");
      out.kind = K::Array;
      seq(v, expecting_sequence, [](size_t) {}, [&](sj::value& e) { out.items.push_back(generic(e)); });
      break;
    }
    case ValueKind::map: {
      RecursionGuard recursion(" while reading a JSON value");
      out.kind = K::Map;
      map(v, found::map, [&](std::string_view key, sj::value& value) {
        msgpack::MessagePackValue name;
        name.kind = K::String;
        name.bytes.assign(key);
        out.items.push_back(std::move(name));
        out.items.push_back(generic(value));
      });
      break;
    }
    case ValueKind::binary:
    case ValueKind::ext: throw EngineError{simdjson::TAPE_ERROR};
  }
  return out;
}

std::string_view JsonSource::raw(Value& v, bool keep) {
  // A value read again lies inside a captured value: its text was checked, and what lies inside
  // it noted, when that value was captured.
  if (validated_ && !kept_.empty()) {
    if (const auto text = jump_over_kept(kept_, v)) {
      last_token_ = text->data();
      return *text;
    }
  }
  const engine::Mark start = engine::start_of(v);
  std::string_view r;
  check(v.raw_json().get(r));
  r = json::trim(r);
  // A string is stepped over here: left to the engine's skip, a string followed by a colon would
  // pass for a key, and the skip would run on to the next closing bracket.
  if (r.starts_with('"')) {
    sj::raw_json_string ignored;
    check(v.get_raw_json_string().get(ignored));
  }
  // A fault is named by reading the whole document: the bytes after the value may decide it. A
  // captured value read again was checked whole when it was captured.
  size_t pos = 0;
  if (!validated_ && (json::scan_value(r, pos, budget_.left()) || pos != r.size())) throw EngineError{simdjson::TAPE_ERROR};
  // The engine's walk has stepped over the value's tokens (none for a scalar, read where it stands).
  const size_t tokens = engine::here(v) - start;
  count_steps(tokens);
  // A value of fewer tokens than a note needs holds none.
  if (keep && !validated_ && tokens >= kept_min_tokens && (r.starts_with('{') || r.starts_with('['))) {
    count_notes(note_kept(kept_, v, start));
  }
  // The engine need not step past a scalar read this way; an error raised after it follows its end.
  last_token_ = r.data();
  return r;
}

void JsonSource::fail_invalid_type(Value& v, std::string_view expecting) {
  const ValueKind k = kind(v);
  const std::string_view token = json::trim(v.raw_json_token());
  const size_t start = offset_of(token.data());
  std::string what;
  switch (k) {
    case ValueKind::null:
      take_null(v);
      what = found::null;
      break;
    case ValueKind::boolean: {
      bool b = false;
      check(v.get_bool().get(b));  // "tru" looks like a boolean but is no value at all
      what = found::boolean(b);
      break;
    }
    case ValueKind::unsigned_integer:
    case ValueKind::signed_integer:
    case ValueKind::floating: {
      Scalar s = number_of(v, expecting);
      what = s.kind == ValueKind::floating ? found::floating(s.d)
             : s.kind == ValueKind::signed_integer ? found::integer(s.i)
                                                    : found::integer(s.u);
      break;
    }
    case ValueKind::string: {
      std::string_view s;
      check(v.get_string().get(s));
      what = found::string(s);
      break;
    }
    case ValueKind::array: fail_at(found::invalid_type_text(found::sequence, expecting), start, true);
    case ValueKind::map: fail_at(found::invalid_type_text(found::map, expecting), start, true);
    case ValueKind::binary:
    case ValueKind::ext: throw EngineError{simdjson::TAPE_ERROR};
  }
  fail_at(found::invalid_type_text(what, expecting), start + token.size(), false);
}

void JsonSource::fail_at(std::string message, size_t offset, bool include_byte) {
  throw ReaderError{with_position(message, text_, offset, include_byte), true};
}

void JsonSource::finish() {
  if (doc_.at_end()) return;
  const char* location = nullptr;
  size_t offset = text_.size();
  if (doc_.current_location().get(location) == simdjson::SUCCESS) offset = offset_of(location);
  fail_at(std::string(json::trailing_text), offset, true);
}

std::string JsonSource::current_position() {
  const char* location = nullptr;
  size_t offset = text_.size();
  if (doc_.current_location().get(location) == simdjson::SUCCESS) offset = offset_of(location);
  offset = back_over_space(text_, offset);
  if (last_token_ != nullptr) {
    // The engine may not have stepped past the scalar read last; the error follows its end.
    size_t end = offset_of(last_token_);
    if (!json::scan_value(text_, end, depth_limit) && end > offset) offset = end;
  }
  return json::position_suffix(text_, offset, false);
}

std::string JsonSource::diagnose(simdjson::error_code code) {
  const char* location = nullptr;
  size_t offset = text_.size();
  if (doc_.current_location().get(location) == simdjson::SUCCESS) offset = back_over_space(text_, offset_of(location));
  return diagnose_text(text_, code, offset);
}

namespace {

// Reads through `read(source)` and turns every failure into ValueError "{prefix}{text}".
template <class Read>
py::Ref guarded_read(std::string_view text, std::string_view prefix, std::optional<JsonSource>& source, Read&& read) {
  std::string message;
  try {
    return read();
  } catch (const EngineError& e) {
    message = source ? source->diagnose(e.code) : diagnose_text(text, e.code, 0);
  } catch (...) {
    bool positioned = false;
    message = reader_text_of_current(positioned);
    if (!positioned) message += source ? source->current_position() : json::position_suffix(text, 0, false);
  }
  fail_text(PyExc_ValueError, std::string(prefix) + message);
}

// A malformed document read as far as its first fault goes: the text before the fault (never cut
// inside a string) is read as the one element of an array, ended by a byte that no reader takes
// for a value, so that the read fails where the text is cut; the fault is then reported as the
// strict scanner names it. What the read reaches before the cut (models built, fallback decoders
// looked up, their failures) happens first, as it would in a document read token by token.
// `refused` is what the engine reported of the whole document.
[[noreturn]] void read_up_to_fault(EngineLease& lease, JsonKeptEnds& kept_ends, sj::document& doc, std::optional<JsonSource>& source,
                                   std::string_view text, simdjson::error_code refused,
                                   const std::function<py::Ref(JsonSource&)>& body) {
  const auto fault = json::scan_document(text, JsonSource::depth_limit);
  if (!fault) throw ReaderError{diagnose_text(text, refused, 0), true};  // well-formed, yet refused (too large)
  auto report = [&] { return ReaderError{with_position(fault->message, text, fault->offset, fault->offset < text.size()), true}; };
  const size_t kept = std::min(fault->clean_end(), text.size());
  const size_t length = kept + 3;
  char* data = lease->padded(length + simdjson::SIMDJSON_PADDING);
  data[0] = '[';
  std::memcpy(data + 1, text.data(), kept);
  std::memcpy(data + 1 + kept, "x]", 2);
  std::memset(data + length, ' ', simdjson::SIMDJSON_PADDING);
  if (lease->parser.iterate(simdjson::padded_string_view(data, length, length + simdjson::SIMDJSON_PADDING)).get(doc)) {
    throw report();
  }
  source.emplace(doc, text, data, 1, kept_ends);
  sj::array array;
  JsonSource::check(doc.get_array().get(array));
  sj::value value;
  JsonSource::check((*array.begin()).get(value));
  source->root_ = &value;
  (void)body(*source);
  throw report();
}

// The last byte of a document that is not JSON whitespace ('\0' when there is none).
char last_significant(std::string_view text) noexcept {
  size_t end = text.size();
  while (end > 0 && json::is_space(text[end - 1])) --end;
  return end == 0 ? '\0' : text[end - 1];
}

}  // namespace

py::Ref JsonSource::reread(const Capture& capture, std::string_view prefix,
                           const std::function<py::Ref(JsonSource&, sj::value&)>& body) {
  engine::Revisit revisit(doc_, capture.at);
  std::optional<JsonSource> inner;
  inner.emplace(doc_, capture.raw, capture.raw.data(), 0, kept_);
  inner->validated_ = true;
  return guarded_read(capture.raw, prefix, inner, [&] { return body(*inner, revisit.value()); });
}

py::Ref run_json(std::string_view text, size_t readable_after, std::string_view prefix,
                 const std::function<py::Ref(JsonSource&)>& body) {
  JsonKeptEnds kept;
  EngineLease lease;
  sj::document doc;
  std::optional<JsonSource> source;
  return guarded_read(text, prefix, source, [&] {
    size_t pos = 0;
    while (pos < text.size() && json::is_space(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '{') refuse_root(text, expecting_model);
    // The engine checks a few things of the whole document before it reads the first value (its
    // bytes, its strings, that it ends in a closing brace). A document that fails them is read up
    // to its first fault instead, so that what comes before the fault happens as the document is
    // read in order (models are built, a fallback field finds its decoder missing), and then the
    // fault is reported.
    if (last_significant(text) != '}') read_up_to_fault(lease, kept, doc, source, text, simdjson::TAPE_ERROR, body);
    const char* data = text.data();
    size_t capacity = text.size() + readable_after;
    // The engine reads the first byte after the document where a document that ends too soon
    // would have its next token (and checks the brackets' balance up front when that byte is a
    // closing brace). What follows a view is the owner's and must not change the outcome, so a
    // view followed by anything the engine could take for structure is read from a copy padded
    // with spaces, as every short-slacked input is.
    if (readable_after < simdjson::SIMDJSON_PADDING ||
        std::string_view("{}[],:\"").find(text.data()[text.size()]) != std::string_view::npos) {
      // The input's own slack is too short for the engine's wide reads: read a padded copy. The
      // bytes past the end of a Python object belong to someone else, so they are never read,
      // even where the page would allow it.
      char* copy = lease->padded(text.size() + simdjson::SIMDJSON_PADDING);
      std::memcpy(copy, text.data(), text.size());
      std::memset(copy + text.size(), ' ', simdjson::SIMDJSON_PADDING);
      data = copy;
      capacity = text.size() + simdjson::SIMDJSON_PADDING;
    }
    if (auto error = lease->parser.iterate(simdjson::padded_string_view(data, text.size(), capacity)).get(doc)) {
      read_up_to_fault(lease, kept, doc, source, text, error, body);
    }
    source.emplace(doc, text, data, 0, kept);
    py::Ref result = body(*source);
    source->finish();
    return result;
  });
}

}  // namespace quorvel::serde
