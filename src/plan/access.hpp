// The model-access layer: how every codec reads a model's fields and builds a model.
//
// Reading. `ModelWalk::view(object, model)` checks that `model` is a model of plan object `object`
// (exactly as NativePlan::require_model_type, same errors) and returns a `ModelView`;
// `view.read(i)` then gives what `getattr(model, object.fields[i].name)` gives, value or error.
// A serde codec reads `SerdeObject::fields[k]` as `view.read(fields[k].field_index)`.
//
// Construction. `ModelWalk::construct(object, cls, values, kwnames)` is `cls(**dict(zip(kwnames,
// values)))` for distinct names, its result or its exception: the caller passes a prebuilt names
// tuple (ObjectWire::kwnames, SerdeObject::kwnames) and the values in that order, borrowed.
//
// How it is fast. The lookups are paid once per class, not per field per object:
// - a class that reads attributes through the generic protocol (no __getattr__ or
//   __getattribute__ of its own) and whose field resolves to a slot (member) descriptor has that
//   slot read directly, as the descriptor itself would read it (PyMember_GetOne); every other
//   field (properties, plain attributes in an instance dict, custom attribute hooks) goes through
//   PyObject_GetAttr;
// - a class created by type.__call__ with object.__new__ and a Python __init__ is constructed by
//   allocating through object.__new__ and calling that __init__ with the keyword names, which is
//   what calling the class does, without the keyword dict the call would build per object.
// What was learned about a class is kept in an entry keyed by the class and its type version
// tag, which CPython changes whenever the class or a base is modified; an entry whose tag no
// longer matches is never used, and each read re-checks the model's class and the tag. What of
// this goes past CPython's public API is done in py/cpython_door.hpp.
//
// Threads. Entries are built outside any lock, published whole with a release store and never
// freed before the plan, so readers on any thread take no lock. A ModelWalk belongs to one call
// on one thread; it remembers the last entry per object index, so a walk over many objects of one
// class looks up nothing.
#pragma once

#include "py/cpython_door.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"
#include "plan/wire.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvel {

class NativePlan;

// How the fields of one class's instances are read, by field index: a slot read directly, or
// (null) getattr.
struct ClassReader {
  PyTypeObject* type;
  unsigned int version;
  std::vector<PyMemberDef*> members;
  py::Ref owner;                     // the class, kept alive while the entry exists
  std::vector<py::Ref> descriptors;  // the member descriptors, and with them their definitions
};

// How one class is constructed: its Python __init__ when it may be called directly, else null.
struct ClassConstructor {
  PyTypeObject* type;
  unsigned int version;
  py::Ref init;
  py::Ref owner;
};

// The shared per-plan cache of class entries, by object index. Owned by NativePlan.
class ModelAccess {
 public:
  explicit ModelAccess(size_t object_count);
  ~ModelAccess();
  ModelAccess(const ModelAccess&) = delete;
  ModelAccess& operator=(const ModelAccess&) = delete;

  // The published entry for (object, type) with the type's current version, or null.
  const ClassReader* find_reader(uint32_t object, PyTypeObject* type) const noexcept;
  const ClassConstructor* find_constructor(uint32_t object, PyTypeObject* type) const noexcept;
  // Builds and publishes the entry; null when the class cannot be cached (no version tag, changed
  // while being looked at, or too many classes seen for this object): callers take the generic path.
  // Only for a type already known to be a model of `object`.
  const ClassReader* add_reader(const ObjectWire& object, PyTypeObject* type);
  const ClassConstructor* add_constructor(const ObjectWire& object, PyTypeObject* type);

 private:
  static constexpr size_t ways = 4;       // entries a reader checks per object index
  static constexpr size_t max_kept = 32;  // entries kept per object index, published or not
  template <class Entry>
  struct Slots {
    std::array<std::atomic<const Entry*>, ways> published{};
    std::vector<std::unique_ptr<Entry>> kept;  // under mutex_
    size_t next = 0;                           // under mutex_
  };
  template <class Entry>
  const Entry* publish(Slots<Entry>& slots, std::unique_ptr<Entry> entry);

  std::unique_ptr<Slots<ClassReader>[]> readers_;
  std::unique_ptr<Slots<ClassConstructor>[]> constructors_;
  size_t object_count_;
  PyMutex mutex_{};
  py::Ref init_name_;
};

class ModelView {
 public:
  ModelView(const ClassReader* reader, PyObject* model, const ObjectWire& object) noexcept
      : reader_(reader), model_(model), object_(&object) {}

  PyObject* model() const noexcept { return model_; }

  // getattr(model, object.fields[field].name)
  py::Ref read(size_t field) const {
    if (reader_ != nullptr) {
      // The class may have changed since the view was made (Python code runs between reads).
      PyMemberDef* member = reader_->members[field];
      if (member != nullptr && Py_TYPE(model_) == reader_->type && cpython::type_version(reader_->type) == reader_->version) {
        if (Slot value = cpython::read_slot(model_, member)) return cpython::owned(std::move(value));
      }
    }
    // Not a slot, or an unset one: getattr reads it, or raises with the context it adds.
    return check_new(PyObject_GetAttr(model_, object_->fields[field].attr_name.get()));
  }

  // A field's value when it is a slot read directly and set; else empty, with nothing raised: the
  // caller then reads it with read(). With the interpreter lock the value is borrowed, valid while
  // no Python code runs.
  using Slot = cpython::SlotValue;
  Slot read_slot(size_t field) const noexcept {
    if (!slots_current()) return Slot();
    return read_current_slot(field);
  }
  // Whether the model's class is still the one its slots were learned from: read_current_slot
  // relies on it, until Python code next runs.
  bool slots_current() const noexcept {
    return reader_ != nullptr && Py_TYPE(model_) == reader_->type && cpython::type_version(reader_->type) == reader_->version;
  }
  Slot read_current_slot(size_t field) const noexcept {
    PyMemberDef* member = reader_->members[field];
    if (member == nullptr) return Slot();
    return cpython::read_slot(model_, member);
  }

 private:
  const ClassReader* reader_;
  PyObject* model_;
  const ObjectWire* object_;
};

class ModelWalk {
 public:
  explicit ModelWalk(const NativePlan& plan);

  ModelView view(const ObjectWire& object, PyObject* model) {
    // The common case inline: the same class as the last model of this object.
    PyTypeObject* type = Py_TYPE(model);
    if (object.index < last_reader_.size()) {
      const ClassReader* last = last_reader_[object.index];
      if (last != nullptr && last->type == type && last->version == cpython::type_version(type)) return ModelView(last, model, object);
    }
    return view_slow(object, model);
  }
  py::Ref construct(const ObjectWire& object, PyObject* cls, std::span<PyObject* const> values, PyObject* kwnames) {
    // The common case inline: a class with a __new__ of its own (a compiled model class) has no
    // __init__ to call directly (see add_constructor), so it is called as it is, with nothing to look up.
    if (!PyType_Check(cls) || reinterpret_cast<PyTypeObject*>(cls)->tp_new != PyBaseObject_Type.tp_new) [[likely]] {
      return check_new(PyObject_Vectorcall(cls, values.data(), 0, kwnames));
    }
    return construct_slow(object, cls, values, kwnames);
  }

 private:
  ModelView view_slow(const ObjectWire& object, PyObject* model);
  py::Ref construct_slow(const ObjectWire& object, PyObject* cls, std::span<PyObject* const> values, PyObject* kwnames);

  const NativePlan& plan_;
  ModelAccess& access_;
  std::vector<const ClassReader*> last_reader_;    // by object index, filled on first use
  std::vector<const ClassConstructor*> last_constructor_;  // the same
};

}  // namespace quorvel
