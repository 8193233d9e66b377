// difflib.unified_diff with its defaults (n=3, lineterm="\n", no dates) as one joined text.
//
// The lines are borrowed for the call only; plain C++, no Python objects, no GIL needed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scrivel/difflib/lines.h"

namespace talmek::scrivel {

// `a` and `b` are lines that keep their line ends; the result is "".join(unified_diff(a, b,
// fromfile, tofile)).
std::string unified_diff(const std::vector<std::string_view>& a,
                         const std::vector<std::string_view>& b, std::string_view fromfile,
                         std::string_view tofile);

// The same for lines made by difflib::split_lines, whose hashes the matcher then reuses.
std::string unified_diff(const difflib::LineList& a, const difflib::LineList& b,
                         std::string_view fromfile, std::string_view tofile);

}  // namespace talmek::scrivel
