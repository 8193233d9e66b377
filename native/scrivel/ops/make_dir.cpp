// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value make_dir(std::string_view) { return fail_record("Unknown action: mkdir"); }

}  // namespace talmek::scrivel
