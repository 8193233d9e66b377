// The Steerix type: construction, state, tool definitions, the system prompt, and the method
// table that binds the operations of run_task.cpp, emit.cpp, execute_tool.cpp and
// serialize_block.cpp. Also the module's load-time contents.
#include "steerix/agent.h"

#include <memory>
#include <string>
#include <vector>

#include "steerix/async_gen.h"
#include "steerix/confinement.h"
#include "steerix/event.h"
#include "steerix/py.h"

namespace talmek::steerix {

ModuleState g_module{};

namespace {

const char* const kDefaultModel = "claude-sonnet-4-6";

// The fields (_api_key, _model, ...) live in the instance dictionary, as they would for a
// Python class: vars(agent) shows them, and a subclass may turn any of them into a property.
struct SteerixObject {
  PyObject ob_base;
};

PyObject* steerix_new(PyTypeObject* tp, PyObject*, PyObject*) { return tp->tp_alloc(tp, 0); }

// max_iterations: an int as it is; another number (bool, float, ...) truncated to an int.
PyObject* iteration_limit(PyObject* v) {
  if (PyLong_CheckExact(v)) return Py_NewRef(v);
  if (!PyUnicode_Check(v) && !PyBytes_Check(v) && !PyByteArray_Check(v) &&
      (PyLong_Check(v) || PyFloat_Check(v) || PyNumber_Check(v))) {
    return PyNumber_Long(v);
  }
  PyErr_Format(PyExc_TypeError, "max_iterations must be an integer, not %.200s",
               Py_TYPE(v)->tp_name);
  return nullptr;
}

// from talmek.pc.computer_use import ComputerUseExecutor; ComputerUseExecutor()
PyObject* default_executor() {
  Ref mod = Ref::steal(PyImport_ImportModule("talmek.pc.computer_use"));
  if (!mod) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttrString(mod.get(), "ComputerUseExecutor"));
  if (!cls) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError,
                    "cannot import name 'ComputerUseExecutor' from 'talmek.pc.computer_use'");
    return nullptr;
  }
  return PyObject_CallNoArgs(cls.get());
}

// roots=: the directories the editor and shell tools are confined to, each a str or
// os.PathLike; kept on the instance as `_roots` (the resolved paths, a tuple) and `_confinement`
// (a capsule owning the native Confinement). None: no confinement, and neither attribute.
constexpr const char* kConfinementCapsule = "talmek.core.steerix.Confinement";

int set_roots(PyObject* self, PyObject* roots) {
  if (roots == Py_None) return 0;  // an unconfined agent's attributes stay as they always were
  Ref seq = Ref::steal(PySequence_Fast(roots, "roots must be a list of directories"));
  if (!seq) return -1;
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    Ref p = Ref::steal(PyOS_FSPath(PySequence_Fast_GET_ITEM(seq.get(), i)));
    if (!p) return -1;
    if (!PyUnicode_Check(p.get())) {
      PyErr_SetString(PyExc_TypeError, "roots must be str or os.PathLike of str");
      return -1;
    }
    Ref b = Ref::steal(PyUnicode_AsEncodedString(p.get(), "utf-8", "surrogatepass"));
    if (!b) return -1;
    texts.emplace_back(PyBytes_AS_STRING(b.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
  }
  if (texts.empty()) {
    PyErr_SetString(PyExc_ValueError,
                    "roots must name at least one directory (None: no confinement)");
    return -1;
  }
  std::string error;
  int code = 0;
  std::shared_ptr<const Confinement> c = Confinement::open(texts, error, code);
  if (!c) {
    Ref e = Ref::steal(Py_BuildValue("(is)", code, error.c_str()));
    if (e) PyErr_SetObject(PyExc_OSError, e.get());
    return -1;
  }
  const std::vector<std::string> resolved = c->paths();
  Ref shown = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(resolved.size())));
  if (!shown) return -1;
  for (std::size_t i = 0; i < resolved.size(); ++i) {
    PyObject* t = PyUnicode_DecodeUTF8(
        resolved[i].data(), static_cast<Py_ssize_t>(resolved[i].size()), "surrogatepass");
    if (!t) return -1;
    PyTuple_SET_ITEM(shown.get(), static_cast<Py_ssize_t>(i), t);
  }
  auto* owned = new std::shared_ptr<const Confinement>(std::move(c));
  Ref capsule = Ref::steal(PyCapsule_New(owned, kConfinementCapsule, [](PyObject* cap) {
    delete static_cast<std::shared_ptr<const Confinement>*>(
        PyCapsule_GetPointer(cap, kConfinementCapsule));
  }));
  if (!capsule) {
    delete owned;
    return -1;
  }
  return PyObject_SetAttrString(self, "_roots", shown.get()) < 0 ||
                 PyObject_SetAttrString(self, "_confinement", capsule.get()) < 0
             ? -1
             : 0;
}

int steerix_init(PyObject* self, PyObject* args, PyObject* kwds) {
  // The arguments after "$" are keyword-only; further ones join them there.
  static const char* kwlist[] = {"api_key",  "model", "executor", "max_iterations",
                                 "tool_set", "roots", nullptr};
  PyObject* api_key = nullptr;
  PyObject* model = nullptr;
  PyObject* executor = Py_None;
  PyObject* max_iterations = nullptr;
  PyObject* tool_set = Py_None;
  PyObject* roots = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOO$OO:Steerix", const_cast<char**>(kwlist),
                                   &api_key, &model, &executor, &max_iterations, &tool_set,
                                   &roots)) {
    return -1;
  }
  if (!PyUnicode_CheckExact(api_key)) {
    PyErr_Format(PyExc_TypeError, "api_key must be str, not %.200s", Py_TYPE(api_key)->tp_name);
    return -1;
  }
  Ref model_ref = model ? Ref::borrow(model) : Ref::steal(PyUnicode_FromString(kDefaultModel));
  if (!model_ref) return -1;
  if (!PyUnicode_CheckExact(model_ref.get())) {
    PyErr_Format(PyExc_TypeError, "model must be str, not %.200s", Py_TYPE(model)->tp_name);
    return -1;
  }
  Ref limit = max_iterations ? Ref::steal(iteration_limit(max_iterations))
                             : Ref::steal(PyLong_FromLong(50));
  if (!limit) return -1;
  if (tool_set != Py_None && !tool_set_named(tool_set)) return -1;

  if (PyObject_SetAttr(self, g_names.api_key, api_key) < 0 ||
      PyObject_SetAttr(self, g_names.model, model_ref.get()) < 0 ||
      PyObject_SetAttr(self, g_names.max_iterations, limit.get()) < 0) {
    return -1;
  }
  Ref exec = executor == Py_None ? Ref::steal(default_executor()) : Ref::borrow(executor);
  if (!exec || PyObject_SetAttr(self, g_names.executor, exec.get()) < 0) return -1;
  Ref handlers = Ref::steal(PyList_New(0));
  Ref messages = Ref::steal(PyList_New(0));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!handlers || !messages || !zero) return -1;
  if (PyObject_SetAttr(self, g_names.event_handlers, handlers.get()) < 0 ||
      PyObject_SetAttr(self, g_names.messages, messages.get()) < 0 ||
      PyObject_SetAttr(self, g_names.running, Py_False) < 0 ||
      PyObject_SetAttr(self, g_names.iteration_count, zero.get()) < 0 ||
      PyObject_SetAttr(self, g_names.tool_set, tool_set) < 0) {
    return -1;
  }
  return set_roots(self, roots);
}

int steerix_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return PyObject_VisitManagedDict(self, visit, arg);
}

int steerix_clear(PyObject* self) {
  PyObject_ClearManagedDict(self);
  return 0;
}

void steerix_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  steerix_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---------------------------------------------------------------------------------------------
// Methods

PyObject* m_on_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("on_event", args, nargs, kwnames, {"handler"}, 1, a)) return nullptr;
  Ref handlers = Ref::steal(PyObject_GetAttr(self, g_names.event_handlers));
  if (!handlers || append_to(handlers.get(), a[0]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_emit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("_emit", args, nargs, kwnames, {"event"}, 1, a)) return nullptr;
  return emit(self, a[0]);
}

PyObject* m_get_tool_definitions(PyObject* self, PyObject*) { return get_tool_definitions(self); }

PyObject* m_build_system_prompt(PyObject* self, PyObject*) { return build_system_prompt(self); }

PyObject* m_run_task(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("run_task", args, nargs, kwnames, {"user_message"}, 1, a)) return nullptr;
  if (!PyUnicode_CheckExact(a[0])) {
    PyErr_Format(PyExc_TypeError, "user_message must be str, not %.200s", Py_TYPE(a[0])->tp_name);
    return nullptr;
  }
  return run_task(self, a[0]);
}

PyObject* m_execute_tool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("_execute_tool", args, nargs, kwnames, {"tool_name", "tool_input"}, 2, a)) {
    return nullptr;
  }
  return execute_tool(self, a[0], a[1]);
}

PyObject* m_execute_bash(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("_execute_bash", args, nargs, kwnames, {"tool_input"}, 1, a)) return nullptr;
  return execute_bash(self, a[0]);
}

PyObject* m_execute_text_editor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("_execute_text_editor", args, nargs, kwnames, {"tool_input"}, 1, a)) {
    return nullptr;
  }
  return execute_text_editor(self, a[0]);
}

PyObject* m_serialize_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("_serialize_block", args, nargs, kwnames, {"block"}, 1, a)) return nullptr;
  return serialize_block(a[0]);
}

PyObject* m_stop(PyObject* self, PyObject*) {
  if (PyObject_SetAttr(self, g_names.running, Py_False) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_is_running(PyObject* self, void*) { return PyObject_GetAttr(self, g_names.running); }

PyObject* get_iteration_count(PyObject* self, void*) {
  PyObject* v = PyObject_GetAttr(self, g_names.iteration_count);
  if (!v || v == Py_None || PyLong_CheckExact(v)) return v;
  PyObject* n = PyNumber_Long(v);
  Py_DECREF(v);
  return n;
}

#define FASTCALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef steerix_methods[] = {
    {"on_event", FASTCALL_KW(m_on_event), METH_FASTCALL | METH_KEYWORDS,
     "on_event($self, handler)\n--\n\nRegister an event handler."},
    {"_emit", FASTCALL_KW(m_emit), METH_FASTCALL | METH_KEYWORDS,
     "_emit($self, event)\n--\n\nEmit an event to all handlers."},
    {"get_tool_definitions", m_get_tool_definitions, METH_NOARGS,
     "get_tool_definitions($self)\n--\n\nGet the tool definitions for the Anthropic API.\n\n"
     "Returns the computer use tool plus bash and text editor tools."},
    {"_build_system_prompt", m_build_system_prompt, METH_NOARGS,
     "_build_system_prompt($self)\n--\n\nBuild the system prompt for computer use."},
    {"run_task", FASTCALL_KW(m_run_task), METH_FASTCALL | METH_KEYWORDS,
     "run_task($self, user_message)\n--\n\nRun a computer use task from a user message.\n\n"
     "Yields ComputerUseEvent objects for the UI to display."},
    {"_execute_tool", FASTCALL_KW(m_execute_tool), METH_FASTCALL | METH_KEYWORDS,
     "_execute_tool($self, tool_name, tool_input)\n--\n\nExecute a tool call and return the "
     "result."},
    {"_execute_bash", FASTCALL_KW(m_execute_bash), METH_FASTCALL | METH_KEYWORDS,
     "_execute_bash($self, tool_input)\n--\n\nExecute a bash command."},
    {"_execute_text_editor", FASTCALL_KW(m_execute_text_editor), METH_FASTCALL | METH_KEYWORDS,
     "_execute_text_editor($self, tool_input)\n--\n\nExecute a text editor command."},
    {"_serialize_block", FASTCALL_KW(m_serialize_block), METH_FASTCALL | METH_KEYWORDS,
     "_serialize_block($self, block)\n--\n\nSerialize an API content block to a dict for message "
     "history."},
    {"stop", m_stop, METH_NOARGS, "stop($self)\n--\n\nStop the current task."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef steerix_getset[] = {
    {"is_running", get_is_running, nullptr, "Whether a task has started and not been stopped.",
     nullptr},
    {"iteration_count", get_iteration_count, nullptr, "The current iteration number.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot steerix_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Steerix(api_key, model='claude-sonnet-4-6', executor=None, max_iterations=50, *, "
         "tool_set=None, roots=None)\n"
         "--\n\nComputer use agent driving the desktop through the Anthropic API.")},
    {Py_tp_new, reinterpret_cast<void*>(steerix_new)},
    {Py_tp_init, reinterpret_cast<void*>(steerix_init)},
    {Py_tp_methods, steerix_methods},
    {Py_tp_getset, steerix_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(steerix_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(steerix_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(steerix_dealloc)},
    {0, nullptr},
};

PyType_Spec steerix_spec = {
    "talmek.core.steerix.Steerix",
    sizeof(SteerixObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF,
    steerix_slots,
};

// Puts the class's own members first, in the order in which the class presents them, so
// that vars(Steerix) reads like the class body would.
bool reorder_type_dict(PyTypeObject* tp, std::initializer_list<const char*> order) {
  Ref dict = Ref::steal(PyType_GetDict(tp));
  if (!dict) return false;
  Ref old = Ref::steal(PyDict_Copy(dict.get()));
  if (!old) return false;
  PyDict_Clear(dict.get());
  for (const char* name : {"__module__", "__doc__"}) {
    PyObject* v = PyDict_GetItemString(old.get(), name);
    if (v && PyDict_SetItemString(dict.get(), name, v) < 0) return false;
  }
  for (const char* name : order) {
    PyObject* v = PyDict_GetItemString(old.get(), name);
    if (v && PyDict_SetItemString(dict.get(), name, v) < 0) return false;
  }
  if (PyDict_Merge(dict.get(), old.get(), 0) < 0) return false;
  PyType_Modified(tp);
  return true;
}

PyObject* make_steerix_type() {
  Ref tp = Ref::steal(PyType_FromSpec(&steerix_spec));
  if (!tp) return nullptr;
  Ref max_iterations = Ref::steal(PyLong_FromLong(50));
  Ref action_delay = Ref::steal(PyFloat_FromDouble(0.5));
  if (!max_iterations || !action_delay) return nullptr;
  if (PyObject_SetAttrString(tp.get(), "MAX_ITERATIONS", max_iterations.get()) < 0 ||
      PyObject_SetAttrString(tp.get(), "ACTION_DELAY", action_delay.get()) < 0) {
    return nullptr;
  }
  if (!reorder_type_dict(reinterpret_cast<PyTypeObject*>(tp.get()),
                         {"MAX_ITERATIONS", "ACTION_DELAY", "__init__", "on_event", "_emit",
                          "get_tool_definitions", "_build_system_prompt", "run_task",
                          "_execute_tool", "_execute_bash", "_execute_text_editor",
                          "_serialize_block", "stop", "is_running", "iteration_count"})) {
    return nullptr;
  }
  return tp.release();
}

bool add(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* import_attr(const char* module, const char* name) {
  Ref mod = Ref::steal(PyImport_ImportModule(module));
  if (!mod) return nullptr;
  return PyObject_GetAttrString(mod.get(), name);
}

}  // namespace

int append_to(PyObject* list_like, PyObject* item) {
  if (PyList_CheckExact(list_like)) return PyList_Append(list_like, item);
  PyObject* r = PyObject_CallMethodOneArg(list_like, g_names.append, item);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

PyObject* make_event_kv(PyObject* type, std::initializer_list<std::pair<PyObject*, PyObject*>> kv) {
  if (!type) return nullptr;
  PyObject* data = new_dict(kv);
  if (!data) return nullptr;
  return make_event(type, data);
}

bool init_module(PyObject* module) {
  if (!init_names() || !init_async_types()) return false;

  PyObject* asyncio = PyImport_ImportModule("asyncio");
  if (!asyncio) return false;
  g_module.asyncio = asyncio;
  g_module.builtin_import = PyDict_GetItemString(PyEval_GetBuiltins(), "__import__");
  if (!g_module.builtin_import) {
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return false;
  }
  Py_INCREF(g_module.builtin_import);
  if (PyModule_AddObjectRef(module, "asyncio", asyncio) < 0) return false;
  if (!add(module, "logging", PyImport_ImportModule("logging"))) return false;
  for (const char* name : {"Any", "AsyncIterator", "Callable"}) {
    if (!add(module, name, import_attr("typing", name))) return false;
  }
  {
    Ref get_logger = Ref::steal(import_attr("logging", "getLogger"));
    if (!get_logger) return false;
    Ref name = Ref::steal(PyUnicode_FromString("talmek.agent.computer_use"));
    if (!name) return false;
    if (!add(module, "logger", PyObject_CallOneArg(get_logger.get(), name.get()))) return false;
  }
  PyObject* event_type = init_event_type();
  if (!event_type) return false;
  g_module.event_type = event_type;
  if (PyModule_AddObjectRef(module, "ComputerUseEvent", event_type) < 0) return false;
  if (!add(module, "Steerix", make_steerix_type())) return false;
  return add(module, "Path", import_attr("pathlib", "Path"));
}

}  // namespace talmek::steerix
