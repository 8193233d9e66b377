// The tool-result block that answers one tool call with its outcome: the rules of
// tool_result_rules.h applied to Python objects.
#include <array>
#include <cstddef>

#include "steerix/agent.h"
#include "steerix/tool_result_rules.h"

namespace talmek::steerix {

namespace {

// The rules' names as interned str, indexed as kToolResultRules.
struct RuleNames {
  nb::handle outcome_type;  // invalid for the rule that answers any outcome
  nb::handle key;
  nb::handle fallback;  // invalid: str(outcome)
};
std::array<RuleNames, kToolResultRules.size()> g_rules{};

struct BlockNames {
  nb::handle tool_result, image, image_source, media_type, image_data;
};
BlockNames g_block{};

nb::handle interned_or_none(std::string_view text) {
  return text.empty() ? nb::handle() : interned(text);
}

// [{"type": "image", "source": {"type": "base64", "media_type": m, "data": d}}]
nb::object image_content(nb::handle outcome) {
  nb::object media_type = outcome[g_block.media_type];
  nb::object data = outcome[g_block.image_data];
  nb::dict source = new_dict({{g_names.type, g_block.image_source},
                              {g_names.media_type, media_type},
                              {g_names.data, data}});
  nb::list content;
  content.append(new_dict({{g_names.type, g_block.image}, {g_names.source, source}}));
  return content;
}

// outcome.get(key, fallback), or outcome.get(key, str(outcome)) without a fallback: an exact
// dict makes the str only when the key is absent, anything else gets it as its default.
nb::object value_content(nb::handle outcome, const RuleNames& rule) {
  if (rule.fallback) return get(outcome, rule.key, rule.fallback);
  if (is_exact_dict(outcome)) {
    nb::object content = nb::borrow<nb::dict>(outcome).get(rule.key, nb::handle());
    if (content) return content;
    return nb::str(outcome);
  }
  return get(outcome, rule.key, nb::str(outcome));
}

}  // namespace

void init_tool_result_rules() {
  for (std::size_t i = 0; i < kToolResultRules.size(); ++i) {
    const ToolResultRule& rule = kToolResultRules[i];
    g_rules[i] = {interned_or_none(rule.outcome_type), interned_or_none(rule.key),
                  interned_or_none(rule.fallback)};
  }
  g_block = {interned(kToolResultType), interned(kImageBlockType), interned(kImageSourceType),
             interned(kMediaTypeKey), interned(kImageDataKey)};
}

nb::object tool_result_block(nb::handle tool_id, nb::handle outcome) {
  nb::object type = get(outcome, g_names.type);
  for (std::size_t i = 0; i < kToolResultRules.size(); ++i) {
    const ToolResultRule& rule = kToolResultRules[i];
    const RuleNames& names = g_rules[i];
    if (names.outcome_type && !equals(type, names.outcome_type)) continue;
    nb::object content = rule.content == ResultContent::Image ? image_content(outcome)
                                                              : value_content(outcome, names);
    if (rule.is_error) {
      return new_dict({{g_names.type, g_block.tool_result},
                       {g_names.tool_use_id, tool_id},
                       {g_names.content, content},
                       {g_names.is_error, nb::bool_(true)}});
    }
    return new_dict({{g_names.type, g_block.tool_result},
                     {g_names.tool_use_id, tool_id},
                     {g_names.content, content}});
  }
  return nb::object();  // not reached: the last rule answers any outcome
}

}  // namespace talmek::steerix
