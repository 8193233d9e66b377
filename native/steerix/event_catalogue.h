// The events the task loop emits, as plain data: each kind's type name and payload keys, and
// the fixed texts of their messages. No Python.h; event.cpp turns the names into interned str
// once at module load, and make_event() builds an event of a kind from its values.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace talmek::steerix {

enum class EventKind : unsigned char {
  Starting,    // "thinking": the task's first event
  Error,       // "error": the task ends on a failure
  Cancelled,   // "cancelled": stop() was called
  Iteration,   // "iteration": one request to the model begins
  Text,        // "text": a text block, or a thinking block's text (with "source")
  Done,        // "done": the model asked for no tool
  ToolCall,    // "tool_call": the model asked for a tool
  ToolResult,  // "tool_result": what the tool gave back
};

// One kind of event. The payload holds `keys` in this order; the last ones only when the loop
// has a value for them (a toolset member's "toolset", the "source" of a thinking block's text).
struct EventShape {
  std::string_view type;
  std::array<std::string_view, 4> keys;  // unused places empty
};

inline constexpr std::size_t kEventKinds = 8;

// Indexed by EventKind.
inline constexpr std::array<EventShape, kEventKinds> kEventShapes{{
    {"thinking", {"message"}},
    {"error", {"message"}},
    {"cancelled", {"message"}},
    {"iteration", {"number", "max"}},
    {"text", {"content", "source"}},
    {"done", {"iterations", "message"}},
    {"tool_call", {"id", "tool", "input", "toolset"}},
    {"tool_result", {"id", "tool", "result", "toolset"}},
}};

static_assert(static_cast<std::size_t>(EventKind::ToolResult) + 1 == kEventKinds);

// The fixed texts of the events' messages.
enum class EventText : unsigned char {
  StartingPrefix,  // + the user's message
  MissingPackage,  // the client package cannot be imported
  LimitHead,       // + the iteration limit +
  LimitTail,
  ApiErrorPrefix,    // + the client's APIError
  OtherErrorPrefix,  // + any other Exception of the request
  TaskCancelled,
  TaskCompleted,
  ThinkingSource,  // the "source" of a thinking block's text
};

inline constexpr std::size_t kEventTexts = 9;

// Indexed by EventText.
inline constexpr std::array<std::string_view, kEventTexts> kEventTextValues{{
    "Starting task: ",
    "The 'anthropic' package is required for computer use. Install it with: pip install "
    "anthropic",
    "Reached maximum iterations (",
    "). Task may be incomplete.",
    "API error: ",
    "Unexpected error: ",
    "Task cancelled by user",
    "Task completed",
    "thinking",
}};
static_assert(static_cast<std::size_t>(EventText::ThinkingSource) + 1 == kEventTexts);

}  // namespace talmek::steerix
