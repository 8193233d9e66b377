// What the agent needs of Python, on nanobind handles: interned names, the exact-type fast
// paths, lookups through the instance, text in and out, and the tool outcome dicts.
//
// Everything here needs the GIL. Functions take borrowed handles and return owning objects;
// a failure in Python raises nb::python_error (the exception moved out of the interpreter into
// the C++ exception), which the protocol edges turn back into a set exception.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace nb = nanobind;

namespace talmek::steerix {

// Every attribute name, key, and constant str the agent uses: created and interned once at
// module load, kept for the life of the process (so handles to them are never dangling).
#define TALMEK_STEERIX_NAMES(X)                              \
  /* fields of a Steerix instance and overridable members */ \
  X(api_key, "_api_key")                                     \
  X(model, "_model")                                         \
  X(max_iterations, "_max_iterations")                       \
  X(executor, "_executor")                                   \
  X(event_handlers, "_event_handlers")                       \
  X(messages, "_messages")                                   \
  X(running, "_running")                                     \
  X(iteration_count, "_iteration_count")                     \
  X(tool_set, "_tool_set")                                   \
  X(roots, "_roots")                                         \
  X(confinement, "_confinement")                             \
  X(action_delay, "ACTION_DELAY")                            \
  X(get_tool_definitions, "get_tool_definitions")            \
  X(build_system_prompt, "_build_system_prompt")             \
  X(execute_tool, "_execute_tool")                           \
  X(execute_bash, "_execute_bash")                           \
  X(execute_text_editor, "_execute_text_editor")             \
  X(serialize_block, "_serialize_block")                     \
  /* the executor, the client package and the event loop */  \
  X(get_tool_definition, "get_tool_definition")              \
  X(execute_action, "execute_action")                        \
  X(tool_version, "tool_version")                            \
  X(anthropic, "anthropic")                                  \
  X(anthropic_cls, "Anthropic")                              \
  X(api_error, "APIError")                                   \
  X(beta, "beta")                                            \
  X(create, "create")                                        \
  X(sleep, "sleep")                                          \
  X(iscoroutine, "iscoroutine")                              \
  X(dunder_import, "__import__")                             \
  /* methods of the protocols */                             \
  X(append, "append")                                        \
  X(get, "get")                                              \
  X(items, "items")                                          \
  X(close, "close")                                          \
  X(throw_, "throw")                                         \
  /* keys and attributes of blocks, requests and events */   \
  X(type, "type")                                            \
  X(text, "text")                                            \
  X(id, "id")                                                \
  X(name, "name")                                            \
  X(input, "input")                                          \
  X(content, "content")                                      \
  X(role, "role")                                            \
  X(action, "action")                                        \
  X(toolset_name, "toolset_name")                            \
  X(thinking, "thinking")                                    \
  X(signature, "signature")                                  \
  X(data, "data")                                            \
  X(error, "error")                                          \
  X(image, "image")                                          \
  X(tool_use, "tool_use")                                    \
  X(redacted_thinking, "redacted_thinking")                  \
  X(user, "user")                                            \
  X(assistant, "assistant")                                  \
  X(empty, "")                                               \
  X(messages_kw, "messages")                                 \
  X(model_kw, "model")                                       \
  X(max_tokens, "max_tokens")                                \
  X(system, "system")                                        \
  X(tools, "tools")                                          \
  X(betas, "betas")                                          \
  X(adaptive, "adaptive")                                    \
  X(display, "display")                                      \
  X(summarized, "summarized")                                \
  X(tool_result, "tool_result")                              \
  X(tool_use_id, "tool_use_id")                              \
  X(is_error, "is_error")                                    \
  X(media_type, "media_type")                                \
  X(base64, "base64")                                        \
  X(source, "source")                                        \
  X(message, "message")                                      \
  X(tool, "tool")                                            \
  X(toolset, "toolset")                                      \
  X(result, "result")                                        \
  X(number, "number")                                        \
  X(max, "max")                                              \
  X(iterations, "iterations")                                \
  X(enabled, "enabled")                                      \
  X(unknown_error, "Unknown error")                          \
  /* tool names */                                           \
  X(computer, "computer")                                    \
  X(bash, "bash")                                            \
  X(editor_v1, "str_replace_editor")                         \
  X(editor_v2, "str_replace_based_edit_tool")                \
  /* qualified names of the coroutines and the generator */  \
  X(q_run_task, "Steerix.run_task")                          \
  X(q_emit, "Steerix._emit")                                 \
  X(q_execute_tool, "Steerix._execute_tool")                 \
  X(q_execute_bash, "Steerix._execute_bash")                 \
  X(q_execute_text_editor, "Steerix._execute_text_editor")

struct Names {
#define TALMEK_NAME_FIELD(field, text) nb::handle field;
  TALMEK_STEERIX_NAMES(TALMEK_NAME_FIELD)
#undef TALMEK_NAME_FIELD
};

// The interned names (borrowed handles); valid after init_names().
extern Names g_names;

// Creates g_names; raises nb::python_error on failure. Idempotent.
void init_names();

// `text` as an interned str, kept for the life of the process (a borrowed handle that never
// dangles): how the plain data tables (event_catalogue.h, tool_result_rules.h) become the keys
// and values of the objects the agent builds.
nb::handle interned(std::string_view text);

// Module-level objects the operations use, set once at module load and never released.
struct ModuleState {
  nb::handle asyncio;         // the asyncio module (sleep and iscoroutine looked up per use)
  nb::handle event_type;      // ComputerUseEvent
  nb::handle builtin_import;  // builtins.__import__ as it was at load, to spot replacements
};
extern ModuleState g_module;

// ---------------------------------------------------------------------------------------------
// Lookups with the fast paths of exact types. A subclass may override get() or append(), so
// only the exact built-in type is read directly; anything else goes through its own method, as
// Python code calling it would.

// mapping.get(key, dflt).
nb::object get(nb::handle mapping, nb::handle key, nb::handle dflt);
// mapping.get(key): the one-argument call (None when an exact dict lacks the key).
nb::object get(nb::handle mapping, nb::handle key);
// list_like.append(item).
void append(nb::handle list_like, nb::handle item);

// Exactly a str, dict or int (no subclass): what the type checks of the agent's parameters and
// the fast paths of its lookups accept.
inline bool is_exact_str(nb::handle obj) { return PyUnicode_CheckExact(obj.ptr()); }
inline bool is_exact_dict(nb::handle obj) { return PyDict_CheckExact(obj.ptr()); }
inline bool is_exact_int(nb::handle obj) { return PyLong_CheckExact(obj.ptr()); }
// Whether an except clause may catch `obj` as a class: the interpreter's own test, which does
// not run __subclasscheck__ as nb::issubclass would.
inline bool is_exception_class(nb::handle obj) { return PyExceptionClass_Check(obj.ptr()); }
// Runs the Python signal handlers (nanobind has no call for them); false when one raised, with
// its exception set. Needs the GIL.
inline bool signal_handlers_ran_clean() { return PyErr_CheckSignals() == 0; }

// a == b, as the == operator decides it.
inline bool equals(nb::handle a, nb::handle b) { return a.equal(b); }
// bool(obj).
inline bool truthy(nb::handle obj) { return nb::bool_(obj).ptr() == Py_True; }

// The next item of an iterator, or an invalid object at its end (errors raise).
nb::object next(nb::handle iterator);

// The value of obj.<name>, or an invalid object when obj has no such attribute (other errors
// raise).
nb::object optional_attr(nb::handle obj, nb::handle name);

// format(value) (the str() of most objects, but through __format__ as an f-string does).
nb::str format(nb::handle value);

// operator.index(value) as a C index: clamped to the C range as slice bounds are
// (`index_clamped`), or an OverflowError beyond it as list.insert has (`index_value`).
// `index_clamped` adds `delta` to the index before clamping.
Py_ssize_t index_clamped(nb::handle value, long delta = 0);
Py_ssize_t index_value(nb::handle value);

// The items of `iterable` as a list or tuple, TypeError(`message`) when it is not iterable:
// what the unpacking `a, b = iterable` walks.
nb::object sequence_items(nb::handle iterable, const char* message);

// fn(**kw) with the keyword arguments in the given order (names interned).
nb::object call_kw(nb::handle fn, std::initializer_list<std::pair<nb::handle, nb::handle>> kw);

// `import name` as the import statement does it: straight through the import system while
// builtins.__import__ is the one of the module's load, through the replacement when a host
// has installed one.
nb::object import_module(nb::handle name);

// Makes `context` the __context__ of `e`, as an except clause would for what it raises.
void set_context(nb::python_error& e, const nb::python_error& context);

// A new dict of the given entries, in order.
nb::dict new_dict(std::initializer_list<std::pair<nb::handle, nb::handle>> entries);

// The dict {k: v for k, v in source.items() if k != "action"}: an exact dict walked directly,
// anything else through its items(). With `first`, {"action": first} comes before the rest.
nb::dict without_action(nb::handle source, nb::handle first = nb::handle());

// ---------------------------------------------------------------------------------------------
// Text. Our text is UTF-8 in which lone surrogates are kept, as "surrogatepass" writes them.

// The text of a str; the view stays valid while the Text lives.
class Text {
 public:
  void assign(nb::handle str);
  std::string_view view() const { return m_view; }

 private:
  nb::object m_owner;
  std::string_view m_view;
};

// A str from our text.
nb::str to_str(std::string_view text);

// str(obj) as our text.
std::string str_of(nb::handle obj);

// Raises `type` (an exception class) with `message`, as a Python exception.
[[noreturn]] void raise(nb::handle type, const std::string& message);

// The type name that CPython's TypeError texts use ("int", "NoneType").
const char* tp_name(nb::handle obj);
// The same cut to 200 bytes, as CPython's own messages print it ("%.200s").
std::string short_type_name(nb::handle obj);

// ---------------------------------------------------------------------------------------------
// Tool outcomes.

// {"type": "text", "text": text} and {"type": "error", "error": message}.
nb::dict text_outcome(std::string_view text);
nb::dict error_outcome(std::string_view message);
// error_outcome(prefix + rest), joined as Python objects: no C++ allocation that could throw
// where the caller reports an allocation failure.
nb::dict error_outcome(std::string_view prefix, std::string_view rest);

// The message of an exception as str(exc) gives it; a MemoryError without a message of its own
// says "out of memory". Returns false for exceptions that must not become outcomes:
// interruptions and anything that is not an ordinary Exception.
bool outcome_message(const nb::python_error& e, std::string& message);

// error_outcome(prefix + the message of `e`); rethrows `e` when it must not become an outcome.
nb::dict error_outcome_from(nb::python_error& e, std::string_view prefix);

// ---------------------------------------------------------------------------------------------
// The edge back to the interpreter: runs `fn` and hands its result to a C-API slot as a new
// reference, or, when it throws, raises the exception in Python and returns nullptr (-1 for
// `status_edge`). Only the protocol files (the type slots) need these.

template <class Fn>
PyObject* object_edge(Fn&& fn) noexcept {
  try {
    return fn().release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

template <class Fn>
int status_edge(Fn&& fn) noexcept {
  try {
    fn();
    return 0;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return -1;
}

}  // namespace talmek::steerix
