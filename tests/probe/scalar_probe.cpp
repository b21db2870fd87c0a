// Test-only extension: exposes the scalar conversions, which the public API reaches only through
// pack and unpack, so that tests can pin them down one by one. Built by the dev tool, never
// installed.
#include "flatbuffer/table_writer.hpp"
#include "py/entry.hpp"
#include "msgpack/reader.hpp"
#include "plan/scalar.hpp"

namespace {

using namespace quorvel;

ScalarKind kind_arg(int kind) {
  if (kind < 0 || kind > 10) fail(PyExc_ValueError, "scalar kind out of range");
  return static_cast<ScalarKind>(kind);
}

MessagePackValue value_arg(const char* data, Py_ssize_t size) {
  msgpack::Reader reader({reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)}, 1024);
  try {
    return reader.read_value(reader.read_marker());
  } catch (const ReaderError& e) {
    fail(PyExc_ValueError, "{}", e.message);
  }
}

PyObject* extract(PyObject*, PyObject* args) {
  return py::guarded([&]() -> py::Ref {
    int kind;
    PyObject* obj;
    if (!PyArg_ParseTuple(args, "iO", &kind, &obj)) throw_error_set();
    return ScalarValue::extract(kind_arg(kind), obj).into_py();
  });
}

PyObject* from_default(PyObject*, PyObject* args) {
  return py::guarded([&]() -> py::Ref {
    int kind;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "iy#", &kind, &data, &size)) throw_error_set();
    return ScalarValue::from_default(kind_arg(kind), value_arg(data, size)).into_py();
  });
}

PyObject* as_u64(PyObject*, PyObject* args) {
  return py::guarded([&]() -> py::Ref {
    int kind;
    PyObject* obj;
    if (!PyArg_ParseTuple(args, "iO", &kind, &obj)) throw_error_set();
    return check_new(PyLong_FromUnsignedLongLong(ScalarValue::extract(kind_arg(kind), obj).as_u64()));
  });
}

// One table with the value pushed at `slot`, finished as a root: a whole FlatBuffer.
PyObject* push_table(PyObject*, PyObject* args) {
  return py::guarded([&]() -> py::Ref {
    int kind, force, slot;
    PyObject* obj;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "iOy#pi", &kind, &obj, &data, &size, &force, &slot)) throw_error_set();
    ScalarValue value = ScalarValue::extract(kind_arg(kind), obj);
    MessagePackValue def = value_arg(data, size);
    flatbuffers::FlatBufferBuilder builder(64);
    auto start = builder.StartTable();
    std::optional<ScalarValue> converted;
    if (force == 0) converted = ScalarValue::from_default(value.kind, def);
    // As pack writes a scalar that does not fit its queue: added at once, unless it is the default.
    if (!converted || !value.equals(*converted)) {
      const uint16_t field = flatbuffer::slot_voffset(static_cast<uint16_t>(slot));
      flatbuffer::add_bits(builder, field, scalar_width(value.kind), scalar_bits(value));
    }
    auto table = builder.EndTable(start);
    builder.Finish(flatbuffers::Offset<void>(table));
    return check_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(builder.GetBufferPointer()),
                                               static_cast<Py_ssize_t>(builder.GetSize())));
  });
}

PyMethodDef methods[] = {
    {"extract", extract, METH_VARARGS, nullptr},
    {"from_default", from_default, METH_VARARGS, nullptr},
    {"as_u64", as_u64, METH_VARARGS, nullptr},
    {"push_table", push_table, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_probe(PyObject*) { return py::init_panic_type() ? 0 : -1; }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_probe)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_scalar_probe", "", 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__scalar_probe() { return PyModuleDef_Init(&probe_def); }
