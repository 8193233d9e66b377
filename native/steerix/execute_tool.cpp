// Steerix._execute_tool and the two tool coroutines behind it (_execute_bash and
// _execute_text_editor): routes one tool call of the model by tool name.
#include <memory>

#include "steerix/agent.h"
#include "steerix/async_gen.h"
#include "steerix/confinement.h"
#include "steerix/py.h"
#include "steerix/tool_sets.h"
#include "steerix/tools.h"

namespace talmek::steerix {

namespace {

// tool_input.get(key, default), with a fast path for exact dicts.
PyObject* get_or(PyObject* mapping, PyObject* key, PyObject* dflt) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(mapping, key, &v) < 0) return nullptr;
    return v ? v : Py_NewRef(dflt);
  }
  return PyObject_CallMethodObjArgs(mapping, g_names.get, key, dflt, nullptr);
}

// The keyword arguments of a desktop action: every entry of the tool input but "action", in
// order.
PyObject* action_kwargs(PyObject* tool_input) {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return nullptr;
  if (PyDict_CheckExact(tool_input)) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(tool_input, &pos, &k, &v)) {
      // Hold the entry: comparing a key of another type may run code that changes the dict.
      Ref key = Ref::borrow(k);
      Ref value = Ref::borrow(v);
      int is_action = PyObject_RichCompareBool(key.get(), g_names.s_action, Py_EQ);
      if (is_action < 0) return nullptr;
      if (!is_action && PyDict_SetItem(kwargs.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return kwargs.release();
  }
  Ref items = Ref::steal(PyObject_CallMethodNoArgs(tool_input, g_names.items));
  if (!items) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(items.get()));
  if (!it) return nullptr;
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref seq = Ref::steal(PySequence_Fast(pair.get(), "items() must yield pairs"));
    if (!seq) return nullptr;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "items() must yield pairs");
      return nullptr;
    }
    PyObject* k = PySequence_Fast_GET_ITEM(seq.get(), 0);
    PyObject* v = PySequence_Fast_GET_ITEM(seq.get(), 1);
    int is_action = PyObject_RichCompareBool(k, g_names.s_action, Py_EQ);
    if (is_action < 0) return nullptr;
    if (!is_action && PyDict_SetItem(kwargs.get(), k, v) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return kwargs.release();
}

// executor.execute_action(action, **rest), called synchronously: the desktop work holds the
// loop until it returns.
PyObject* run_computer(PyObject* self, PyObject* tool_input) {
  Ref action = Ref::steal(get_or(tool_input, g_names.s_action, g_names.s_empty));
  if (!action) return nullptr;
  Ref kwargs = Ref::steal(action_kwargs(tool_input));
  if (!kwargs) return nullptr;
  Ref executor = Ref::steal(PyObject_GetAttr(self, g_names.executor));
  if (!executor) return nullptr;
  Ref meth = Ref::steal(PyObject_GetAttr(executor.get(), g_names.execute_action));
  if (!meth) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, action.get()));
  if (!args) return nullptr;
  Ref result = Ref::steal(PyObject_Call(meth.get(), args.get(), kwargs.get()));
  if (!result) return nullptr;
  // An outcome that is not a dictionary would only fail later, far from its cause; None is
  // let through to the loop, which reports it where the outcome is read.
  if (result.get() != Py_None && !PyDict_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "execute_action() must return a dict, not %.200s",
                 Py_TYPE(result.get())->tp_name);
    return nullptr;
  }
  return result.release();
}

class ExecuteToolFrame final : public SlotFrame<3> {
 public:
  enum { kSelf, kName, kInput };
  ExecuteToolFrame(PyObject* self, PyObject* name, PyObject* input) {
    set(kSelf, Py_NewRef(self));
    set(kName, Py_NewRef(name));
    set(kInput, Py_NewRef(input));
  }

  Step resume(PyObject* value) override {
    if (!value) return step_error();
    if (m_awaiting) return step_return(Py_NewRef(value));
    PyObject* name = slot(kName);
    int eq = PyObject_RichCompareBool(name, g_names.s_computer, Py_EQ);
    if (eq < 0) return step_error();
    if (eq) return step_return(run_computer(slot(kSelf), slot(kInput)));
    // The editor answers to both of its names: the one offered now, and the 2025-01-24 one
    // that older histories and hosts use.
    for (auto [tool, method] : {std::pair{g_names.s_bash, g_names.execute_bash},
                                std::pair{g_names.s_editor_v2, g_names.execute_text_editor},
                                std::pair{g_names.s_editor, g_names.execute_text_editor}}) {
      eq = PyObject_RichCompareBool(name, tool, Py_EQ);
      if (eq < 0) return step_error();
      if (eq) {
        m_awaiting = true;
        return step_await(PyObject_CallMethodOneArg(slot(kSelf), method, slot(kInput)));
      }
    }
    Ref shown = Ref::steal(PyObject_Format(name, nullptr));
    if (!shown) return step_error();
    Ref error = Ref::steal(PyUnicode_FromFormat("Unknown tool: %U", shown.get()));
    if (!error) return step_error();
    return step_return(new_dict({{g_names.type, g_names.s_error}, {g_names.s_error, error.get()}}));
  }

 private:
  bool m_awaiting = false;
};

// The agent's confinement (Steerix(..., roots=...)), read through the instance as `_confinement`:
// null when it has none. Shared, so that the call keeps it while it runs.
bool confinement_of(PyObject* self, std::shared_ptr<const Confinement>& out) {
  Ref cap = Ref::steal(PyObject_GetAttrString(self, "_confinement"));
  if (!cap) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (cap.get() == Py_None) return true;
  void* p = PyCapsule_GetPointer(cap.get(), "talmek.core.steerix.Confinement");
  if (!p) return false;
  out = *static_cast<std::shared_ptr<const Confinement>*>(p);
  return true;
}

// The shell tool, under the agent's confinement when it has one.
class BashFrame final : public SlotFrame<1> {
 public:
  BashFrame(PyObject* input, std::shared_ptr<const Confinement> c) : m_confinement(std::move(c)) {
    set(0, Py_NewRef(input));
  }
  Step resume(PyObject* value) override {
    if (!value) return step_error();
    return step_return(run_bash_tool_within(slot(0), m_confinement.get()));
  }

 private:
  std::shared_ptr<const Confinement> m_confinement;
};

// The same for the editor, whose commands depend on the version the agent offers.
class EditorFrame final : public SlotFrame<1> {
 public:
  EditorFrame(PyObject* input, bool has_undo, std::shared_ptr<const Confinement> c)
      : m_has_undo(has_undo), m_confinement(std::move(c)) {
    set(0, Py_NewRef(input));
  }
  Step resume(PyObject* value) override {
    if (!value) return step_error();
    return step_return(run_editor_tool(slot(0), m_has_undo, m_confinement.get()));
  }

 private:
  bool m_has_undo;
  std::shared_ptr<const Confinement> m_confinement;
};

}  // namespace

PyObject* execute_tool(PyObject* self, PyObject* tool_name, PyObject* tool_input) {
  return new_coroutine(std::make_unique<ExecuteToolFrame>(self, tool_name, tool_input),
                       TALMEK_STR("Steerix._execute_tool"));
}

PyObject* execute_bash(PyObject* self, PyObject* tool_input) {
  std::shared_ptr<const Confinement> confinement;
  if (!confinement_of(self, confinement)) return nullptr;
  return new_coroutine(std::make_unique<BashFrame>(tool_input, std::move(confinement)),
                       TALMEK_STR("Steerix._execute_bash"));
}

PyObject* execute_text_editor(PyObject* self, PyObject* tool_input) {
  ModelTraits traits{};
  if (!agent_traits(self, traits)) return nullptr;
  std::shared_ptr<const Confinement> confinement;
  if (!confinement_of(self, confinement)) return nullptr;
  return new_coroutine(
      std::make_unique<EditorFrame>(tool_input, traits.tools->editor_undo, std::move(confinement)),
      TALMEK_STR("Steerix._execute_text_editor"));
}

}  // namespace talmek::steerix
