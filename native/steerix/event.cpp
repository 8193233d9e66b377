// ComputerUseEvent: one agent event, a type name and a payload dictionary.
//
// The protocol file of the event type: a PyType_FromSpec type with a managed dict and weak
// references, as a plain Python class has them (nanobind's class_ would bring its own
// metaclass and constructor errors). Its method bodies work on nanobind handles.
#include "steerix/event.h"

#include <array>
#include <cstddef>
#include <utility>

namespace talmek::steerix {

namespace {

PyTypeObject* g_event_type = nullptr;

// The event catalogue's names as interned str, indexed as the catalogue is.
struct EventNames {
  nb::handle type;
  std::array<nb::handle, 4> keys;
};
std::array<EventNames, kEventKinds> g_event_names{};
std::array<nb::handle, kEventTexts> g_event_texts{};

void init_event_catalogue() {
  for (std::size_t i = 0; i < kEventKinds; ++i) {
    const EventShape& shape = kEventShapes[i];
    g_event_names[i].type = interned(shape.type);
    for (std::size_t k = 0; k < shape.keys.size(); ++k) {
      if (!shape.keys[k].empty()) g_event_names[i].keys[k] = interned(shape.keys[k]);
    }
  }
  for (std::size_t i = 0; i < kEventTexts; ++i) g_event_texts[i] = interned(kEventTextValues[i]);
}

// `type` and `data` live in the instance dictionary, as they would for a plain Python class
// (vars(event) shows them, and hosts may serialise event.__dict__).
struct EventObject {
  PyObject ob_base;
};

PyObject* event_new(PyTypeObject* tp, PyObject*, PyObject*) { return tp->tp_alloc(tp, 0); }

// Stores `type` and `data` after the exact-type checks; an empty or missing payload becomes a
// dictionary of the event's own, a non-empty one is kept by reference.
void store(nb::handle self, nb::handle type, nb::handle data) {
  if (!is_exact_str(type)) {
    raise(PyExc_TypeError,
          std::string("ComputerUseEvent type must be str, not ") + short_type_name(type));
  }
  if (data && !data.is_none() && !is_exact_dict(data)) {
    raise(PyExc_TypeError,
          std::string("ComputerUseEvent data must be dict or None, not ") + short_type_name(data));
  }
  nb::object own = (!data || data.is_none() || nb::len(data) == 0) ? nb::dict() : nb::borrow(data);
  nb::setattr(self, g_names.type, type);
  nb::setattr(self, g_names.data, own);
}

int event_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"type", "data", nullptr};
  PyObject* type = nullptr;
  PyObject* data = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:ComputerUseEvent", const_cast<char**>(kwlist),
                                   &type, &data)) {
    return -1;
  }
  return status_edge([&] { store(self, type, data); });
}

PyObject* event_to_dict(PyObject* self, PyObject*) {
  return object_edge([&] {
    // Read through the instance, so that subclasses and later assignments are honoured.
    nb::object type = nb::getattr(self, g_names.type);
    nb::object data = nb::getattr(self, g_names.data);
    nb::dict out;
    out[g_names.type] = type;
    // {"type": type, **data}: the unpacking takes anything with keys() and [] and, as the
    // interpreter's own dict display does, words an AttributeError on the way (a list, None, an
    // object without keys()) as "not a mapping".
    try {
      out.update(data);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_AttributeError)) throw;
      raise(PyExc_TypeError,
            std::string("'") + short_type_name(data) + "' object is not a mapping");
    }
    return out;
  });
}

int event_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return PyObject_VisitManagedDict(self, visit, arg);
}

int event_clear(PyObject* self) {
  PyObject_ClearManagedDict(self);
  return 0;
}

void event_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  event_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef event_methods[] = {
    {"to_dict", event_to_dict, METH_NOARGS,
     "to_dict($self, /)\n--\n\nConvert the event to a dictionary: \"type\" first, then the "
     "payload."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef event_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>("ComputerUseEvent(type, data=None)\n--\n\n"
                                  "Event emitted during a computer use task.")},
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_init, reinterpret_cast<void*>(event_init)},
    {Py_tp_methods, event_methods},
    {Py_tp_getset, event_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(event_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(event_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_dealloc)},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "talmek.core.steerix.ComputerUseEvent",
    sizeof(EventObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF,
    event_slots,
};

}  // namespace

nb::object init_event_type() {
  init_event_catalogue();
  g_event_type =
      reinterpret_cast<PyTypeObject*>(nb::detail::raise_if_null(PyType_FromSpec(&event_spec)));
  return nb::borrow(reinterpret_cast<PyObject*>(g_event_type));
}

nb::object make_event(nb::handle type, nb::dict data) {
  nb::object e = nb::steal(nb::detail::raise_if_null(g_event_type->tp_alloc(g_event_type, 0)));
  // The loop's payloads are new, non-empty dictionaries: the event keeps them as they are.
  // The generic setter skips the attribute lookup on the type that setattr() would make.
  if (PyObject_GenericSetAttr(e.ptr(), g_names.type.ptr(), type.ptr()) < 0 ||
      PyObject_GenericSetAttr(e.ptr(), g_names.data.ptr(), data.ptr()) < 0) {
    throw nb::python_error();
  }
  return e;
}

nb::object make_event(EventKind kind, std::initializer_list<nb::handle> values) {
  const EventNames& names = g_event_names[static_cast<std::size_t>(kind)];
  nb::dict data;
  std::size_t i = 0;
  for (nb::handle value : values) {
    if (i == names.keys.size() || !names.keys[i]) break;  // more values than the kind has keys
    if (value) data[names.keys[i]] = value;
    ++i;
  }
  return make_event(names.type, std::move(data));
}

nb::handle event_text(EventText text) { return g_event_texts[static_cast<std::size_t>(text)]; }

}  // namespace talmek::steerix
