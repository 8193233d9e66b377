// How a tool's outcome becomes the tool-result block that answers its call, as plain data.
// No Python.h; tool_result_block.cpp turns the names into interned str once and applies the
// rules to an outcome.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace talmek::steerix {

// What a rule puts in the block's "content".
enum class ResultContent : unsigned char {
  Image,  // [{"type": "image", "source": {"type": "base64", "media_type": m, "data": d}}], from
          // outcome[kMediaTypeKey] and outcome[kImageDataKey] (absent keys raise KeyError)
  Value,  // outcome.get(key, fallback); no fallback: str(outcome)
};

struct ToolResultRule {
  std::string_view outcome_type;  // the outcome's "type" the rule answers; empty: any outcome
  ResultContent content;
  std::string_view key;       // Value: the outcome's key that holds the content
  std::string_view fallback;  // Value: the content when the key is absent; empty: str(outcome)
  bool is_error;              // the block carries "is_error": True
};

// Tried in order; the first whose type equals the outcome's "type" (as == decides) applies.
inline constexpr std::array<ToolResultRule, 3> kToolResultRules{{
    {"image", ResultContent::Image, "", "", false},
    {"error", ResultContent::Value, "error", "Unknown error", true},
    {"", ResultContent::Value, "text", "", false},
}};

inline constexpr std::string_view kToolResultType = "tool_result";
inline constexpr std::string_view kImageBlockType = "image";
inline constexpr std::string_view kImageSourceType = "base64";
inline constexpr std::string_view kMediaTypeKey = "media_type";
inline constexpr std::string_view kImageDataKey = "base64";

}  // namespace talmek::steerix
