// Steerix._serialize_block: the plain dictionary that stands for one response content block in
// the conversation history.
#include "steerix/agent.h"

namespace talmek::steerix {

namespace {

// block.type == expected, reading the attribute afresh each time (a block may compute it).
bool type_is(nb::handle block, nb::handle expected) {
  return equals(nb::getattr(block, g_names.type), expected);
}

}  // namespace

nb::object serialize_block(nb::handle block) {
  if (type_is(block, g_names.text)) {
    return new_dict(
        {{g_names.type, g_names.text}, {g_names.text, nb::getattr(block, g_names.text)}});
  }
  if (type_is(block, g_names.tool_use)) {
    nb::object id = nb::getattr(block, g_names.id);
    nb::object name = nb::getattr(block, g_names.name);
    nb::object input = nb::getattr(block, g_names.input);
    // A toolset member's call names its toolset; the service refuses a history without it.
    // Blocks of other clients, and of older versions of this one, carry no toolset_name (or
    // None).
    nb::object toolset = optional_attr(block, g_names.toolset_name);
    nb::dict entry = new_dict({{g_names.type, g_names.tool_use},
                               {g_names.id, id},
                               {g_names.name, name},
                               {g_names.input, input}});
    if (toolset && !toolset.is_none()) entry[g_names.toolset_name] = toolset;
    return entry;
  }
  // The third read of the type decides among the remaining kinds. Thinking goes back exactly
  // as it came, signature included: the service checks each block against the conversation
  // before it, and refuses one that was changed or cut down.
  nb::object type = nb::getattr(block, g_names.type);
  if (equals(type, g_names.thinking)) {
    nb::object thinking = nb::getattr(block, g_names.thinking);
    nb::object signature = nb::getattr(block, g_names.signature);
    return new_dict({{g_names.type, g_names.thinking},
                     {g_names.thinking, thinking},
                     {g_names.signature, signature}});
  }
  if (equals(type, g_names.redacted_thinking)) {
    return new_dict({{g_names.type, g_names.redacted_thinking},
                     {g_names.data, nb::getattr(block, g_names.data)}});
  }
  // Other kinds keep only their type: their contents are not sent back.
  return new_dict({{g_names.type, type}});
}

}  // namespace talmek::steerix
