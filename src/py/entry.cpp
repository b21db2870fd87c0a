#include "py/entry.hpp"

#include <atomic>
#include <exception>
#include <new>

namespace quorvel::inline py {

namespace {

// Created once per process by the first exec step and never freed (like a static type).
std::atomic<PyObject*> panic_type{nullptr};

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_type.load(std::memory_order_acquire);
  PyErr_SetString(type ? type : PyExc_SystemError, message);
}

}  // namespace

bool init_panic_type() noexcept {
  if (panic_type.load(std::memory_order_acquire) != nullptr) return true;
  PyObject* created = PyErr_NewExceptionWithDoc(
      "quorvel._native.PanicException", "An internal failure of the native module.", PyExc_BaseException, nullptr);
  if (created == nullptr) return false;
  PyObject* expected = nullptr;
  if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) Py_DECREF(created);
  return true;
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const PyFailure& failure) {
    set_error(failure.type, failure.message);
  } catch (const ReaderError& error) {
    raise_panic(error.message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
}

}  // namespace quorvel::py
