// The table from model to tool set (see tool_sets.h), and the model-name matching.
#include "steerix/tool_sets.h"

#include <array>
#include <cstddef>
#include <string>

namespace talmek::steerix {

namespace {

// Newest first. The 2025-01-24 set of Claude Sonnet 3.7 is the one the agent was first written
// for; later models dropped its editor (text_editor_20250124, named str_replace_editor) for
// text_editor_20250728, which has no undo_edit and names the inserted text "insert_text".
constexpr std::array<ToolSet, 4> kSets{{
    {"computer_toolset_20260801", "computer_toolset_20260801", true, "", "text_editor_20250728",
     kEditorNameV2, false},
    {"computer_20251124", "computer_20251124", false, "computer-use-2025-11-24",
     "text_editor_20250728", kEditorNameV2, false},
    {"computer_20250124", "computer_20250124", false, "computer-use-2025-01-24",
     "text_editor_20250728", kEditorNameV2, false},
    {"computer_20250124_legacy", "computer_20250124", false, "computer-use-2025-01-24",
     "text_editor_20250124", kEditorNameV1, true},
}};

constexpr const ToolSet& kToolset = kSets[0];
constexpr const ToolSet& kSet20251124 = kSets[1];
constexpr const ToolSet& kSet20250124 = kSets[2];
constexpr const ToolSet& kLegacy = kSets[3];

struct ModelRow {
  std::string_view family;  // the undated alias
  const ToolSet* tools;
  bool summarised_thinking;
};

// From the vendor's computer use, text editor and tool reference pages and the "What's new"
// pages of the 5.5 models. Adaptive thinking is on by default (Sonnet 5.5, Haiku 5.5) or always
// (Opus 5.5) on the 5.5 models, with the thinking text omitted unless asked for.
constexpr std::array<ModelRow, 13> kModels{{
    {"claude-sonnet-5-5", &kToolset, true},
    {"claude-opus-5-5", &kToolset, true},
    {"claude-haiku-5-5", &kToolset, true},
    {"claude-sonnet-4-6", &kSet20251124, false},
    {"claude-opus-4-7", &kSet20251124, false},
    {"claude-opus-4-6", &kSet20251124, false},
    {"claude-opus-4-5", &kSet20251124, false},
    {"claude-sonnet-4-5", &kSet20250124, false},
    {"claude-haiku-4-5", &kSet20250124, false},
    {"claude-opus-4-1", &kSet20250124, false},
    {"claude-sonnet-4", &kSet20250124, false},
    {"claude-opus-4", &kSet20250124, false},
    {"claude-3-7-sonnet", &kLegacy, false},
}};

bool is_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool strip_suffix(std::string_view& s, std::string_view suffix) {
  if (s.size() < suffix.size() || s.substr(s.size() - suffix.size()) != suffix) return false;
  s.remove_suffix(suffix.size());
  return true;
}

// A trailing "-v1" or "-v1:0" (the model version of a cloud provider's name).
void strip_provider_version(std::string_view& s) {
  const std::size_t dash = s.rfind("-v");
  if (dash == std::string_view::npos) return;
  std::string_view version = s.substr(dash + 2);
  const std::size_t colon = version.find(':');
  if (!is_digits(version.substr(0, colon))) return;
  if (colon != std::string_view::npos && !is_digits(version.substr(colon + 1))) return;
  s = s.substr(0, dash);
}

// A trailing date, "-20250929" or "@20250929".
void strip_date(std::string_view& s) {
  if (s.size() < 9) return;
  const std::string_view date = s.substr(s.size() - 8);
  const char sep = s[s.size() - 9];
  if ((sep == '-' || sep == '@') && is_digits(date)) s.remove_suffix(9);
}

const ModelRow* find_family(std::string_view family) {
  for (const ModelRow& row : kModels) {
    if (row.family == family) return &row;
  }
  return nullptr;
}

}  // namespace

std::span<const ToolSet> tool_sets() { return kSets; }

const ToolSet& newest_tool_set() { return kToolset; }

const ToolSet* find_tool_set(std::string_view name) {
  for (const ToolSet& set : kSets) {
    if (set.name == name) return &set;
  }
  return nullptr;
}

ModelTraits model_traits(std::string_view model) {
  std::string lowered(model);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string_view name = lowered;
  // "us.anthropic.claude-..." (a provider's region and vendor prefix).
  const std::size_t vendor = name.rfind("anthropic.");
  if (vendor != std::string_view::npos) name.remove_prefix(vendor + 10);
  strip_provider_version(name);
  if (!strip_suffix(name, "-latest")) strip_date(name);
  const ModelRow* row = find_family(name);
  // "claude-sonnet-4-0" is the alias of claude-sonnet-4.
  if (!row && strip_suffix(name, "-0")) row = find_family(name);
  if (!row) return {&kToolset, false};
  return {row->tools, row->summarised_thinking};
}

}  // namespace talmek::steerix
