// decode_serde: the entry, and the failure texts that the readers' errors carry.
#include "py/buffer.hpp"
#include "serde/json_source.hpp"
#include "serde/model_reader.hpp"
#include "serde/msgpack_source.hpp"
#include "serde/serde.hpp"

namespace quorvel::serde {

namespace {

std::string qualified_name(PyObject* type) {
  try {
    return type_qualname(reinterpret_cast<PyTypeObject*>(type));
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    return "?";
  }
}

}  // namespace

std::string reader_text_of_current(bool& positioned) {
  positioned = false;
  try {
    throw;
  } catch (const ReaderError& e) {
    positioned = e.positioned;
    return e.message;
  } catch (const PyFailure& f) {
    if (!is_ordinary_error(f.type)) throw;
    return qualified_name(f.type) + ": " + f.message;
  } catch (const PyErrorSet&) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return "SystemError: error return without exception set";
    if (!is_ordinary_error(exc)) {
      PyErr_SetRaisedException(exc);
      throw;
    }
    py::Ref owned = py::Ref::steal(exc);
    return exception_text(exc);
  }
}

py::Ref decode_serde(const NativePlan& plan, std::string_view root, PyObject* buffer, bool is_json, bool strict,
                     PyObject* fallback_decoders) {
  const uint32_t root_index = plan.object(root).first;
  if (!plan.require_bound().native_serde) fail(PyExc_NotImplementedError, "generated model graph requires the quorvel fallback");
  // A copy, when one is needed, keeps room for the JSON engine's padding.
  const ByteInput input(buffer, is_json ? simdjson::SIMDJSON_PADDING : 0);
  const auto bytes = input.bytes();
  DecodeContext ctx(plan, fallback_decoders, strict);
  const Target target{nullptr, root_index};

  if (is_json) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return run_json(text, input.readable_after(), "cannot decode JSON: ",
                    [&](JsonSource& src) { return ModelReader<JsonSource>(ctx, src).root(target); });
  }
  MsgpackKeptEnds kept;
  MsgpackSource src(bytes, kept);
  py::Ref result = read_msgpack("cannot decode MessagePack: ", [&] { return ModelReader<MsgpackSource>(ctx, src).root(target); });
  if (src.remaining() != 0) fail(PyExc_ValueError, "MessagePack document contains trailing data");
  return result;
}

}  // namespace quorvel::serde
