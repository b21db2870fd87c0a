#include "plan/access.hpp"

#include "plan/native_plan.hpp"
#include "py/text.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

// A version tag for the type, assigned now if it has none; 0 when CPython has run out of them.
unsigned int assign_version(PyTypeObject* type) {
  if (PyUnstable_Type_AssignVersionTag(type) == 0) return 0;
  return type_version(type);
}

// The slot that getattr would read for `name` on instances of `type`, or null when getattr would
// do anything else. Only object slots, read without an audit event, qualify; the descriptor must
// apply to the type (one copied into another class's namespace raises instead).
PyMemberDef* slot_member(PyTypeObject* type, PyObject* name, py::Ref& descriptor) {
  descriptor = py::Ref::steal(_PyType_LookupRef(type, name));
  PyObject* d = descriptor.get();
  if (d == nullptr || !Py_IS_TYPE(d, &PyMemberDescr_Type)) return nullptr;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
  if (member->type != Py_T_OBJECT_EX && member->type != _Py_T_OBJECT) return nullptr;
  if ((member->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) != 0) return nullptr;
  if (!PyType_IsSubtype(type, PyDescr_TYPE(d))) return nullptr;
  return member;
}

// Holds the mutex; PyMutex_Lock lets go of the interpreter while it waits.
class Locked {
 public:
  explicit Locked(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~Locked() { PyMutex_Unlock(&mutex_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyMutex& mutex_;
};

template <class Entry, size_t N>
const Entry* find_in(const std::array<std::atomic<const Entry*>, N>& published, PyTypeObject* type) noexcept {
  const unsigned int version = type_version(type);
  if (version == 0) return nullptr;
  for (const auto& slot : published) {
    const Entry* entry = slot.load(std::memory_order_acquire);
    if (entry != nullptr && entry->type == type && entry->version == version) return entry;
  }
  return nullptr;
}

}  // namespace

ModelAccess::ModelAccess(size_t object_count)
    : readers_(new Slots<ClassReader>[object_count]),
      builders_(new Slots<ClassBuilder>[object_count]),
      object_count_(object_count),
      init_name_(interned("__init__")),
      empty_args_(check_new(PyTuple_New(0))) {}

// The entries hold class references; the plan is released with the interpreter attached.
ModelAccess::~ModelAccess() = default;

const ClassReader* ModelAccess::find_reader(uint32_t object, PyTypeObject* type) const noexcept {
  return object < object_count_ ? find_in(readers_[object].published, type) : nullptr;
}

const ClassBuilder* ModelAccess::find_builder(uint32_t object, PyTypeObject* type) const noexcept {
  return object < object_count_ ? find_in(builders_[object].published, type) : nullptr;
}

template <class Entry>
const Entry* ModelAccess::publish(Slots<Entry>& slots, std::unique_ptr<Entry> entry) {
  std::unique_ptr<Entry> unused;  // released after unlocking: dropping a class reference may run Python code
  const Entry* result = nullptr;
  {
    Locked lock(mutex_);
    // Another thread may have kept the same class and version already, or it left the ways.
    auto same = std::find_if(slots.kept.begin(), slots.kept.end(), [&](const std::unique_ptr<Entry>& e) {
      return e->type == entry->type && e->version == entry->version;
    });
    if (same != slots.kept.end()) {
      result = same->get();
      unused = std::move(entry);
    } else if (slots.kept.size() < max_kept) {
      result = entry.get();
      slots.kept.push_back(std::move(entry));
    } else {
      unused = std::move(entry);
    }
    if (result != nullptr) {
      bool shown = false;
      for (const auto& slot : slots.published) shown = shown || slot.load(std::memory_order_relaxed) == result;
      if (!shown) slots.published[slots.next++ % ways].store(result, std::memory_order_release);
    }
  }
  return result;
}

const ClassReader* ModelAccess::add_reader(const ObjectWire& object, PyTypeObject* type) {
  if (object.index >= object_count_) return nullptr;
  const unsigned int version = assign_version(type);
  if (version == 0) return nullptr;
  auto entry = std::make_unique<ClassReader>();
  entry->type = type;
  entry->version = version;
  entry->owner = py::Ref::borrow(reinterpret_cast<PyObject*>(type));
  entry->members.assign(object.fields.size(), nullptr);
  // With its own attribute hooks a class decides every read itself.
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    for (size_t i = 0; i < object.fields.size(); ++i) {
      py::Ref descriptor;
      entry->members[i] = slot_member(type, object.fields[i].attr_name.get(), descriptor);
      if (entry->members[i] != nullptr) entry->descriptors.push_back(std::move(descriptor));
    }
  }
  // Looked at while another thread changed it: what was found may be stale.
  if (type_version(type) != version) return nullptr;
  return publish(readers_[object.index], std::move(entry));
}

const ClassBuilder* ModelAccess::add_builder(const ObjectWire& object, PyTypeObject* type) {
  if (object.index >= object_count_) return nullptr;
  const unsigned int version = assign_version(type);
  if (version == 0) return nullptr;
  auto entry = std::make_unique<ClassBuilder>();
  entry->type = type;
  entry->version = version;
  entry->owner = py::Ref::borrow(reinterpret_cast<PyObject*>(type));
  // object.__new__ ignores the arguments when __init__ is overridden, and a Python __init__ is
  // what type.__call__ then runs (through the slot that looks it up on the class).
  if (type->tp_new == PyBaseObject_Type.tp_new) {
    py::Ref init = py::Ref::steal(_PyType_LookupRef(type, init_name_.get()));
    if (init && PyFunction_Check(init.get())) entry->init = std::move(init);
  }
  if (type_version(type) != version) return nullptr;
  return publish(builders_[object.index], std::move(entry));
}

// ---------------------------------------------------------------------------------------------
// ModelWalk

ModelWalk::ModelWalk(const NativePlan& plan) : plan_(plan), access_(plan.access()) {}

ModelView ModelWalk::view_slow(const ObjectWire& object, PyObject* model) {
  PyTypeObject* type = Py_TYPE(model);
  const ClassReader* reader = access_.find_reader(object.index, type);
  if (reader == nullptr) {
    plan_.require_model_type(object, model);
    reader = access_.add_reader(object, type);
  }
  if (reader != nullptr) {
    if (last_reader_.empty()) last_reader_.resize(plan_.objects.size());
    last_reader_[object.index] = reader;
  }
  return ModelView(reader, model, object);
}

py::Ref ModelWalk::construct_slow(const ObjectWire& object, PyObject* cls, std::span<PyObject* const> values,
                                  PyObject* kwnames) {
  const ClassBuilder* builder = nullptr;
  if (PyType_Check(cls)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (object.index < last_builder_.size()) {
      const ClassBuilder* last = last_builder_[object.index];
      if (last != nullptr && last->type == type && last->version == type_version(type)) builder = last;
    }
    if (builder == nullptr) {
      builder = access_.find_builder(object.index, type);
      if (builder == nullptr) builder = access_.add_builder(object, type);
      if (builder != nullptr) {
        if (last_builder_.empty()) last_builder_.resize(plan_.objects.size());
        last_builder_[object.index] = builder;
      }
    }
  }
  // A metaclass with its own __call__ decides what calling the class means.
  if (builder == nullptr || !builder->init || Py_TYPE(cls)->tp_call != PyType_Type.tp_call) {
    return check_new(PyObject_Vectorcall(cls, values.data(), 0, kwnames));
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  py::Ref self = check_new(type->tp_new(type, access_.empty_args(), nullptr));
  // [self, values...] for the call; a table has few fields, so this rarely leaves the stack.
  constexpr size_t inline_args = 32;
  std::array<PyObject*, inline_args + 1> small;
  std::vector<PyObject*> large;
  PyObject** args = small.data();
  if (values.size() > inline_args) {
    large.resize(values.size() + 1);
    args = large.data();
  }
  args[0] = self.get();
  if (!values.empty()) std::memcpy(args + 1, values.data(), values.size() * sizeof(PyObject*));
  py::Ref result = check_new(PyObject_Vectorcall(builder->init.get(), args, 1, kwnames));
  if (result.get() != Py_None) {
    fail(PyExc_TypeError, "__init__() should return None, not '{}'",
         std::string_view(Py_TYPE(result.get())->tp_name).substr(0, 200));
  }
  return self;
}

}  // namespace quorvel
