// The tool sets the agent offers, and which model takes which: plain C++ data, no Python.h.
//
// The Messages API checks tool types per model and refuses a request that offers a version the
// model does not take, so the computer tool version, its beta flag and the text editor's type
// and name all follow the model. The bindings and the task loop only turn these rows into
// request values; everything that decides lives here.
#pragma once

#include <span>
#include <string_view>

namespace talmek::steerix {

// One set of the three tools, as the request names them.
struct ToolSet {
  std::string_view name;           // what a host pins with Steerix(..., tool_set=name)
  std::string_view computer_type;  // the computer entry's "type"
  bool toolset;                    // a toolset entry: no "name", no display size; member calls
  std::string_view beta;           // the beta flag the computer tool needs; empty for none
  std::string_view editor_type;
  std::string_view editor_name;
  bool editor_undo;  // the editor has `undo_edit` (answered, though not carried out)
};

// Keys the computer entry of each kind may carry; an executor's definition made for another
// version keeps only these when the agent rewrites it for the model's version.
inline constexpr std::string_view kToolsetKeys[] = {"type", "configs", "cache_control"};
inline constexpr std::string_view kZoomVersion = "computer_20251124";  // takes "enable_zoom"

inline constexpr std::string_view kBashType = "bash_20250124";
inline constexpr std::string_view kBashName = "bash";
inline constexpr std::string_view kComputerName = "computer";  // single tool and toolset family
inline constexpr std::string_view kEditorNameV1 = "str_replace_editor";
inline constexpr std::string_view kEditorNameV2 = "str_replace_based_edit_tool";

// Every known set, newest first.
std::span<const ToolSet> tool_sets();

// The newest set: what a model the table does not know gets.
const ToolSet& newest_tool_set();

// The set of that name, or nullptr.
const ToolSet* find_tool_set(std::string_view name);

// What the agent needs to know about one model.
struct ModelTraits {
  const ToolSet* tools;  // never nullptr
  // The model thinks by default and hides the text of its thinking unless asked: the request
  // asks for summarised thinking, which carries the notes the model writes between tool calls.
  bool summarised_thinking;
};

// The traits of a model as the service names it: an undated alias ("claude-sonnet-4-5"), a
// dated name ("claude-sonnet-4-5-20250929"), a "-latest" alias, or a cloud provider's form of
// these ("us.anthropic.claude-sonnet-4-5-20250929-v1:0", "claude-sonnet-4-5@20250929").
// Letter case is ignored. A model the table does not know gets the newest set.
ModelTraits model_traits(std::string_view model);

}  // namespace talmek::steerix
