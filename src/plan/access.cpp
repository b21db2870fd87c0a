#include "plan/access.hpp"

#include "plan/native_plan.hpp"

#include <algorithm>

namespace quorvel {

namespace {

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
  const unsigned int version = cpython::type_version(type);
  if (version == 0) return nullptr;
  for (const auto& slot : published) {
    const Entry* entry = slot.load(std::memory_order_acquire);
    if (entry != nullptr && entry->type == type && entry->version == version) return entry;
  }
  return nullptr;
}

// A new entry for a class, stamped with its version tag (assigned now if it has none); null when
// CPython has none to give.
template <class Entry>
std::unique_ptr<Entry> new_entry(PyTypeObject* type) {
  const unsigned int version = cpython::assign_type_version(type);
  if (version == 0) return nullptr;
  auto entry = std::make_unique<Entry>();
  entry->type = type;
  entry->version = version;
  entry->owner = py::Ref::borrow(reinterpret_cast<PyObject*>(type));
  return entry;
}

}  // namespace

ModelAccess::ModelAccess(size_t object_count)
    : readers_(new Slots<ClassReader>[object_count]),
      constructors_(new Slots<ClassConstructor>[object_count]),
      object_count_(object_count),
      init_name_(interned("__init__")) {}

// The entries hold class references; the plan is released with the interpreter attached.
ModelAccess::~ModelAccess() = default;

const ClassReader* ModelAccess::find_reader(uint32_t object, PyTypeObject* type) const noexcept {
  return object < object_count_ ? find_in(readers_[object].published, type) : nullptr;
}

const ClassConstructor* ModelAccess::find_constructor(uint32_t object, PyTypeObject* type) const noexcept {
  return object < object_count_ ? find_in(constructors_[object].published, type) : nullptr;
}

template <class Entry>
const Entry* ModelAccess::publish(Slots<Entry>& slots, std::unique_ptr<Entry> entry) {
  // Looked at while another thread changed the class: what was found may be stale.
  if (cpython::type_version(entry->type) != entry->version) return nullptr;
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
  auto entry = new_entry<ClassReader>(type);
  if (!entry) return nullptr;
  entry->members.assign(object.fields.size(), nullptr);
  // With its own attribute hooks a class decides every read itself.
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    for (size_t i = 0; i < object.fields.size(); ++i) {
      py::Ref descriptor = cpython::lookup_in_type(type, object.fields[i].attr_name.get());
      entry->members[i] = cpython::object_slot(type, descriptor.get());
      if (entry->members[i] != nullptr) entry->descriptors.push_back(std::move(descriptor));
    }
  }
  return publish(readers_[object.index], std::move(entry));
}

const ClassConstructor* ModelAccess::add_constructor(const ObjectWire& object, PyTypeObject* type) {
  if (object.index >= object_count_) return nullptr;
  auto entry = new_entry<ClassConstructor>(type);
  if (!entry) return nullptr;
  entry->init = cpython::python_init(type, init_name_.get());
  return publish(constructors_[object.index], std::move(entry));
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
  const ClassConstructor* builder = nullptr;
  if (PyType_Check(cls)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (object.index < last_constructor_.size()) {
      const ClassConstructor* last = last_constructor_[object.index];
      if (last != nullptr && last->type == type && last->version == cpython::type_version(type)) builder = last;
    }
    if (builder == nullptr) {
      builder = access_.find_constructor(object.index, type);
      if (builder == nullptr) builder = access_.add_constructor(object, type);
      if (builder != nullptr) {
        if (last_constructor_.empty()) last_constructor_.resize(plan_.objects.size());
        last_constructor_[object.index] = builder;
      }
    }
  }
  if (builder == nullptr || !builder->init || !cpython::calls_type_call(cls)) {
    return check_new(PyObject_Vectorcall(cls, values.data(), 0, kwnames));
  }
  return cpython::new_and_init(reinterpret_cast<PyTypeObject*>(cls), builder->init.get(), values, kwnames);
}

}  // namespace quorvel
