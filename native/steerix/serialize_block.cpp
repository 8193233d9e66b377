// Steerix._serialize_block: the plain dictionary that stands for one response content block in
// the conversation history.
#include "steerix/agent.h"
#include "steerix/py.h"

namespace talmek::steerix {

namespace {

// block.type == expected, reading the attribute afresh each time (a block may compute it).
int type_is(PyObject* block, PyObject* expected) {
  Ref type = Ref::steal(PyObject_GetAttr(block, g_names.type));
  if (!type) return -1;
  return PyObject_RichCompareBool(type.get(), expected, Py_EQ);
}

// block.<name>, or nullptr without an exception when the block has no such attribute or it is
// None (blocks of other clients, and of older versions of this one, carry no toolset_name).
PyObject* optional_attr(PyObject* block, PyObject* name) {
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttr(block, name, &v) < 0) return nullptr;
  if (v == Py_None) Py_CLEAR(v);
  return v;
}

}  // namespace

PyObject* serialize_block(PyObject* block) {
  int is_text = type_is(block, g_names.s_text);
  if (is_text < 0) return nullptr;
  if (is_text) {
    Ref text = Ref::steal(PyObject_GetAttr(block, g_names.text));
    if (!text) return nullptr;
    return new_dict({{g_names.type, g_names.s_text}, {g_names.text, text.get()}});
  }
  int is_tool_use = type_is(block, g_names.s_tool_use);
  if (is_tool_use < 0) return nullptr;
  if (is_tool_use) {
    Ref id = Ref::steal(PyObject_GetAttr(block, g_names.id));
    if (!id) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(block, g_names.name));
    if (!name) return nullptr;
    Ref input = Ref::steal(PyObject_GetAttr(block, g_names.input));
    if (!input) return nullptr;
    // A toolset member's call names its toolset; the service refuses a history without it.
    Ref toolset = Ref::steal(optional_attr(block, g_names.toolset_name));
    if (!toolset && PyErr_Occurred()) return nullptr;
    Ref entry = Ref::steal(new_dict({{g_names.type, g_names.s_tool_use},
                                     {g_names.id, id.get()},
                                     {g_names.name, name.get()},
                                     {g_names.input, input.get()}}));
    if (entry && toolset && PyDict_SetItem(entry.get(), g_names.toolset_name, toolset.get()) < 0) {
      return nullptr;
    }
    return entry.release();
  }
  // The third read of the type decides among the remaining kinds. Thinking goes back exactly
  // as it came, signature included: the service checks each block against the conversation
  // before it, and refuses one that was changed or cut down.
  Ref type = Ref::steal(PyObject_GetAttr(block, g_names.type));
  if (!type) return nullptr;
  int is_thinking = PyObject_RichCompareBool(type.get(), g_names.s_thinking, Py_EQ);
  if (is_thinking < 0) return nullptr;
  if (is_thinking) {
    Ref thinking = Ref::steal(PyObject_GetAttr(block, g_names.thinking));
    if (!thinking) return nullptr;
    Ref signature = Ref::steal(PyObject_GetAttr(block, g_names.signature));
    if (!signature) return nullptr;
    return new_dict({{g_names.type, g_names.s_thinking},
                     {g_names.thinking, thinking.get()},
                     {g_names.signature, signature.get()}});
  }
  int is_redacted = PyObject_RichCompareBool(type.get(), g_names.s_redacted_thinking, Py_EQ);
  if (is_redacted < 0) return nullptr;
  if (is_redacted) {
    Ref data = Ref::steal(PyObject_GetAttr(block, g_names.data));
    if (!data) return nullptr;
    return new_dict({{g_names.type, g_names.s_redacted_thinking}, {g_names.data, data.get()}});
  }
  // Other kinds keep only their type: their contents are not sent back.
  return new_dict({{g_names.type, type.get()}});
}

}  // namespace talmek::steerix
