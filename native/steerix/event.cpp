// ComputerUseEvent: one agent event, a type name and a payload dictionary.
#include "steerix/event.h"

#include "steerix/py.h"

namespace talmek::steerix {

namespace {

PyTypeObject* g_event_type = nullptr;

// `type` and `data` live in the instance dictionary, as they would for a plain Python class
// (vars(event) shows them, and hosts may serialise event.__dict__).
struct EventObject {
  PyObject ob_base;
};

PyObject* g_data_name = nullptr;

PyObject* event_new(PyTypeObject* tp, PyObject*, PyObject*) { return tp->tp_alloc(tp, 0); }

// Stores `type` and `data` after the exact-type checks; an empty or missing payload becomes a
// dictionary of the event's own, a non-empty one is kept by reference.
int store(PyObject* self, PyObject* type, PyObject* data) {
  if (!PyUnicode_CheckExact(type)) {
    PyErr_Format(PyExc_TypeError, "ComputerUseEvent type must be str, not %.200s",
                 Py_TYPE(type)->tp_name);
    return -1;
  }
  if (data && data != Py_None && !PyDict_CheckExact(data)) {
    PyErr_Format(PyExc_TypeError, "ComputerUseEvent data must be dict or None, not %.200s",
                 Py_TYPE(data)->tp_name);
    return -1;
  }
  PyObject* own =
      (!data || data == Py_None || PyDict_GET_SIZE(data) == 0) ? PyDict_New() : Py_NewRef(data);
  if (!own) return -1;
  int rc = PyObject_SetAttr(self, g_names.type, type);
  if (rc == 0) rc = PyObject_SetAttr(self, g_data_name, own);
  Py_DECREF(own);
  return rc;
}

int event_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"type", "data", nullptr};
  PyObject* type = nullptr;
  PyObject* data = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:ComputerUseEvent", const_cast<char**>(kwlist),
                                   &type, &data)) {
    return -1;
  }
  return store(self, type, data);
}

PyObject* event_to_dict(PyObject* self, PyObject*) {
  // Read through the instance, so that subclasses and later assignments are honoured.
  PyObject* type = PyObject_GetAttr(self, g_names.type);
  PyObject* data = nullptr;
  if (!type) return nullptr;
  data = PyObject_GetAttr(self, g_data_name);
  if (!data) {
    Py_DECREF(type);
    return nullptr;
  }
  PyObject* out = PyDict_New();
  if (!out || PyDict_SetItem(out, g_names.type, type) < 0) goto fail;
  // {"type": type, **data}: the unpacking takes anything with keys() and [] and, as the
  // interpreter's own dict display does, words an AttributeError on the way (a list, None, an
  // object without keys()) as "not a mapping".
  if (PyDict_Update(out, data) < 0) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(data)->tp_name);
    }
    goto fail;
  }
  Py_DECREF(type);
  Py_DECREF(data);
  return out;
fail:
  Py_XDECREF(out);
  Py_DECREF(type);
  Py_DECREF(data);
  return nullptr;
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

PyObject* init_event_type() {
  g_data_name = PyUnicode_InternFromString("data");
  if (!g_data_name) return nullptr;
  g_event_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&event_spec));
  return Py_XNewRef(reinterpret_cast<PyObject*>(g_event_type));
}

PyObject* make_event(PyObject* type, PyObject* data) {
  PyObject* e = g_event_type->tp_alloc(g_event_type, 0);
  if (!e) {
    Py_DECREF(data);
    return nullptr;
  }
  // The loop's payloads are new, non-empty dictionaries: the event keeps them as they are.
  if (PyObject_GenericSetAttr(e, g_names.type, type) < 0 ||
      PyObject_GenericSetAttr(e, g_data_name, data) < 0) {
    Py_DECREF(data);
    Py_DECREF(e);
    return nullptr;
  }
  Py_DECREF(data);
  return e;
}

}  // namespace talmek::steerix
