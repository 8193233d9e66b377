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

}  // namespace

PyObject* serialize_block(PyObject* block) {
  int is_text = type_is(block, g_names.s_text);
  if (is_text < 0) return nullptr;
  if (is_text) {
    Ref text = Ref::steal(PyObject_GetAttr(block, g_names.text));
    if (!text) return nullptr;
    return Py_BuildValue("{s:s,s:O}", "type", "text", "text", text.get());
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
    return Py_BuildValue("{s:s,s:O,s:O,s:O}", "type", "tool_use", "id", id.get(), "name",
                         name.get(), "input", input.get());
  }
  // Other kinds (thinking, ...) keep only their type: their contents are not sent back.
  Ref type = Ref::steal(PyObject_GetAttr(block, g_names.type));
  if (!type) return nullptr;
  return Py_BuildValue("{s:O}", "type", type.get());
}

}  // namespace talmek::steerix
