// Placeholder until the port of difflib lands.
#include "scrivel/difflib/unified_diff.h"

namespace talmek::scrivel {

std::string unified_diff(const std::vector<std::string_view>&, const std::vector<std::string_view>&,
                         std::string_view, std::string_view) {
  return {};
}

}  // namespace talmek::scrivel
