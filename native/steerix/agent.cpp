// The Steerix type: construction, state (the confinement capsule included), and the method
// table that binds the operations of run_task.cpp, emit.cpp, execute_tool.cpp and
// serialize_block.cpp. Also the module's load-time contents.
//
// This is the protocol file of the Steerix type: its slots, method table and argument parsing
// are the C API (PyType_FromSpec with a managed dict and weak references, METH_FASTCALL
// methods whose TypeErrors are worded as CPython words them), which nanobind's class_ would
// change (its metaclass, its overload errors, its own instance layout). Every method body is an
// operation on nanobind handles, reached through object_edge/status_edge.
#include "steerix/agent.h"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "steerix/async_gen.h"
#include "steerix/confinement.h"
#include "steerix/event.h"

namespace talmek::steerix {

namespace {

const char* const kDefaultModel = "claude-sonnet-4-6";

// The fields (_api_key, _model, ...) live in the instance dictionary, as they would for a
// Python class: vars(agent) shows them, and a subclass may turn any of them into a property.
struct SteerixObject {
  PyObject ob_base;
};

// Parses a METH_FASTCALL | METH_KEYWORDS call against the parameter names `names`, the first
// `required` of them required. Fills `out` (borrowed; nullptr for absent optional parameters).
// Returns false with TypeError set on a mismatch, worded as CPython words it.
template <std::size_t N>
bool parse_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const (&names)[N], std::size_t required, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(N);
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zd positional arguments but %zd were given", func,
                 required + 1, n + 1, nargs + 1);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t idx = -1;
    Py_ssize_t i = 0;
    for (const char* name : names) {
      if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
        idx = i;
        break;
      }
      ++i;
    }
    if (idx < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
      return false;
    }
    if (out[idx]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", func, key);
      return false;
    }
    out[idx] = args[nargs + k];
  }
  std::size_t i = 0;
  for (const char* name : names) {
    if (i >= required) break;
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", func,
                   name);
      return false;
    }
    ++i;
  }
  return true;
}

PyObject* steerix_new(PyTypeObject* tp, PyObject*, PyObject*) { return tp->tp_alloc(tp, 0); }

// max_iterations: an int as it is; another number (bool, float, ...) truncated to an int.
nb::object iteration_limit(nb::handle v) {
  if (is_exact_int(v)) return nb::borrow(v);
  if (!nb::isinstance<nb::str>(v) && !nb::isinstance<nb::bytes>(v) &&
      !nb::isinstance<nb::bytearray>(v) &&
      // PyNumber_Check (a number slot for int or float, or a complex); nanobind has no such test.
      (nb::isinstance<nb::int_>(v) || nb::isinstance<nb::float_>(v) || PyNumber_Check(v.ptr()))) {
    return nb::int_(v);
  }
  raise(PyExc_TypeError,
        std::string("max_iterations must be an integer, not ") + short_type_name(v));
}

// from talmek.pc.computer_use import ComputerUseExecutor; ComputerUseExecutor()
nb::object default_executor() {
  nb::module_ mod = nb::module_::import_("talmek.pc.computer_use");
  nb::object cls = optional_attr(mod, nb::str("ComputerUseExecutor"));
  if (!cls) {
    raise(PyExc_ImportError,
          "cannot import name 'ComputerUseExecutor' from 'talmek.pc.computer_use'");
  }
  return cls();
}

// The keyword-only parameters come after "$"; a new one joins them there and in Init.
struct Init {
  PyObject* api_key = nullptr;
  PyObject* model = nullptr;
  PyObject* executor = Py_None;
  PyObject* max_iterations = nullptr;
  PyObject* tool_set = Py_None;
  PyObject* roots = Py_None;
};

bool parse_init(PyObject* args, PyObject* kwds, Init& a) {
  static const char* kwlist[] = {"api_key",  "model", "executor", "max_iterations",
                                 "tool_set", "roots", nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwds, "O|OOO$OO:Steerix", const_cast<char**>(kwlist),
                                     &a.api_key, &a.model, &a.executor, &a.max_iterations,
                                     &a.tool_set, &a.roots) != 0;
}

// roots=: the directories the editor and shell tools are confined to, each a str or
// os.PathLike; kept on the instance as `_roots` (the resolved paths, a tuple) and `_confinement`
// (a capsule owning the native Confinement). None: no confinement, and neither attribute.
void set_roots(nb::handle self, nb::handle roots) {
  if (roots.is_none()) return;  // an unconfined agent's attributes stay as they always were
  nb::object items = sequence_items(roots, "roots must be a list of directories");
  std::vector<std::string> texts;
  for (nb::handle item : items) {
    // os.fspath() with its own TypeError text; nanobind has no path protocol call.
    nb::object path = nb::steal(nb::detail::raise_if_null(PyOS_FSPath(item.ptr())));
    if (!nb::isinstance<nb::str>(path)) {
      raise(PyExc_TypeError, "roots must be str or os.PathLike of str");
    }
    Text text;
    text.assign(path);
    texts.emplace_back(text.view());
  }
  if (texts.empty()) {
    raise(PyExc_ValueError, "roots must name at least one directory (None: no confinement)");
  }
  std::string error;
  int code = 0;
  std::shared_ptr<const Confinement> c = Confinement::open(texts, error, code);
  if (!c) {
    // OSError(code, message), so that the errno picks the subclass (FileNotFoundError, ...);
    // nanobind raises only its own exception types, not a Python class with arguments.
    PyErr_SetObject(PyExc_OSError, nb::make_tuple(code, to_str(error)).ptr());
    throw nb::python_error();
  }
  const std::vector<std::string> resolved = c->paths();
  nb::list shown;
  for (const std::string& path : resolved) shown.append(to_str(path));
  nb::capsule capsule(
      new std::shared_ptr<const Confinement>(std::move(c)), kConfinementCapsule,
      [](void* p) noexcept { delete static_cast<std::shared_ptr<const Confinement>*>(p); });
  nb::setattr(self, g_names.roots, nb::tuple(shown));
  nb::setattr(self, g_names.confinement, capsule);
}

void init_fields(nb::handle self, const Init& a) {
  nb::handle api_key = a.api_key;
  if (!is_exact_str(api_key)) {
    raise(PyExc_TypeError, std::string("api_key must be str, not ") + short_type_name(api_key));
  }
  nb::object model = a.model ? nb::borrow(a.model) : nb::object(nb::str(kDefaultModel));
  if (!is_exact_str(model)) {
    raise(PyExc_TypeError, std::string("model must be str, not ") + short_type_name(model));
  }
  nb::object limit = a.max_iterations ? iteration_limit(a.max_iterations) : nb::int_(50);
  nb::handle tool_set = a.tool_set;
  if (!tool_set.is_none()) tool_set_named(tool_set);

  nb::setattr(self, g_names.api_key, api_key);
  nb::setattr(self, g_names.model, model);
  nb::setattr(self, g_names.max_iterations, limit);
  nb::object executor = a.executor == Py_None ? default_executor() : nb::borrow(a.executor);
  nb::setattr(self, g_names.executor, executor);
  nb::setattr(self, g_names.event_handlers, nb::list());
  nb::setattr(self, g_names.messages, nb::list());
  nb::setattr(self, g_names.running, nb::bool_(false));
  nb::setattr(self, g_names.iteration_count, nb::int_(0));
  nb::setattr(self, g_names.tool_set, tool_set);
  set_roots(self, a.roots);
}

int steerix_init(PyObject* self, PyObject* args, PyObject* kwds) {
  Init a;
  if (!parse_init(args, kwds, a)) return -1;
  return status_edge([&] { init_fields(self, a); });
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

// A METH_FASTCALL | METH_KEYWORDS method of the parameters `names` (all required), whose body
// `fn` gets the parsed arguments.
template <std::size_t N, class Fn>
PyObject* method(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* const (&names)[N], Fn&& fn) {
  PyObject* a[N];
  if (!parse_args(func, args, nargs, kwnames, names, N, a)) return nullptr;
  return object_edge([&] { return fn(a); });
}

using Args = PyObject* const*;

PyObject* m_on_event(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"handler"};
  return method("on_event", args, nargs, kwnames, names, [&](PyObject** a) {
    append(nb::getattr(self, g_names.event_handlers), a[0]);
    return nb::none();
  });
}

PyObject* m_emit(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"event"};
  return method("_emit", args, nargs, kwnames, names,
                [&](PyObject** a) { return emit(self, a[0]); });
}

PyObject* m_get_tool_definitions(PyObject* self, PyObject*) {
  return object_edge([&] { return get_tool_definitions(self); });
}

PyObject* m_build_system_prompt(PyObject* self, PyObject*) {
  return object_edge([&] { return build_system_prompt(self); });
}

PyObject* m_run_task(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"user_message"};
  return method("run_task", args, nargs, kwnames, names, [&](PyObject** a) {
    if (!is_exact_str(a[0])) {
      raise(PyExc_TypeError, std::string("user_message must be str, not ") + short_type_name(a[0]));
    }
    return run_task(self, a[0]);
  });
}

PyObject* m_execute_tool(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"tool_name", "tool_input"};
  return method("_execute_tool", args, nargs, kwnames, names,
                [&](PyObject** a) { return execute_tool(self, a[0], a[1]); });
}

PyObject* m_execute_bash(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"tool_input"};
  return method("_execute_bash", args, nargs, kwnames, names,
                [&](PyObject** a) { return execute_bash(self, a[0]); });
}

PyObject* m_execute_text_editor(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"tool_input"};
  return method("_execute_text_editor", args, nargs, kwnames, names,
                [&](PyObject** a) { return execute_text_editor(self, a[0]); });
}

PyObject* m_serialize_block(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"block"};
  return method("_serialize_block", args, nargs, kwnames, names,
                [&](PyObject** a) { return serialize_block(a[0]); });
}

PyObject* m_stop(PyObject* self, PyObject*) {
  return object_edge([&] {
    nb::setattr(self, g_names.running, nb::bool_(false));
    return nb::none();
  });
}

PyObject* get_is_running(PyObject* self, void*) {
  return object_edge([&] { return nb::getattr(self, g_names.running); });
}

PyObject* get_iteration_count(PyObject* self, void*) {
  return object_edge([&] {
    nb::object v = nb::getattr(self, g_names.iteration_count);
    if (v.is_none() || is_exact_int(v)) return v;
    return nb::object(nb::int_(v));
  });
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
void reorder_type_dict(PyTypeObject* tp, std::initializer_list<const char*> order) {
  // The type's own dict (its __dict__ is a read-only proxy) and, after the change, the
  // invalidation of the type's attribute cache: type protocol calls nanobind does not wrap.
  nb::dict dict = nb::steal<nb::dict>(nb::detail::raise_if_null(PyType_GetDict(tp)));
  nb::dict old;
  old.update(dict);
  dict.clear();
  for (const char* name : {"__module__", "__doc__"}) {
    if (old.contains(name)) dict[name] = old[name];
  }
  for (const char* name : order) {
    if (old.contains(name)) dict[name] = old[name];
  }
  for (auto [k, v] : old) {
    if (!dict.contains(k)) dict[k] = v;
  }
  PyType_Modified(tp);
}

nb::object make_steerix_type() {
  nb::object tp = nb::steal(nb::detail::raise_if_null(PyType_FromSpec(&steerix_spec)));
  nb::setattr(tp, "MAX_ITERATIONS", nb::int_(50));
  nb::setattr(tp, "ACTION_DELAY", nb::float_(0.5));
  reorder_type_dict(
      reinterpret_cast<PyTypeObject*>(tp.ptr()),
      {"MAX_ITERATIONS", "ACTION_DELAY", "__init__", "on_event", "_emit", "get_tool_definitions",
       "_build_system_prompt", "run_task", "_execute_tool", "_execute_bash", "_execute_text_editor",
       "_serialize_block", "stop", "is_running", "iteration_count"});
  return tp;
}

}  // namespace

std::shared_ptr<const Confinement> confinement_of(nb::handle self) {
  nb::object cap = optional_attr(self, g_names.confinement);
  if (!cap || cap.is_none()) return nullptr;
  // PyCapsule_GetPointer checks the capsule's name, which nb::capsule::data() does not: an
  // `_confinement` that is some other object raises instead of being read as ours.
  void* p = PyCapsule_GetPointer(cap.ptr(), kConfinementCapsule);
  if (!p) throw nb::python_error();
  return *static_cast<std::shared_ptr<const Confinement>*>(p);
}

void init_module(nb::module_ m) {
  init_names();
  init_async_types();
  init_tool_result_rules();

  nb::module_ asyncio = nb::module_::import_("asyncio");
  g_module.asyncio = asyncio.inc_ref();
  nb::dict builtins = nb::borrow<nb::dict>(nb::module_::import_("builtins").attr("__dict__"));
  if (!builtins.contains("__import__")) raise(PyExc_ImportError, "__import__ not found");
  g_module.builtin_import = nb::object(builtins["__import__"]).release();
  m.attr("asyncio") = asyncio;
  m.attr("logging") = nb::module_::import_("logging");
  nb::module_ typing = nb::module_::import_("typing");
  for (const char* name : {"Any", "AsyncIterator", "Callable"}) m.attr(name) = typing.attr(name);
  m.attr("logger") = nb::module_::import_("logging").attr("getLogger")("talmek.agent.computer_use");
  nb::object event_type = init_event_type();
  g_module.event_type = event_type.inc_ref();
  m.attr("ComputerUseEvent") = event_type;
  m.attr("Steerix") = make_steerix_type();
  m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
}

}  // namespace talmek::steerix
