// The action table, argument defaults and argument type checks of the worker.
#include "scrivel/dispatch.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include "platform/os.h"
#include "scrivel/confine.h"
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

namespace {

// Reads the arguments of one call: from a request (absent keys take the defaults) or from the
// module function's arguments (all present). Each accessor applies the parameter's type rule.
class Args {
 public:
  Args(const char* func, const Value& src) : m_func(func), m_src(src) {}

  std::string_view text(const char* name, const char* dflt) const {
    const Value* v = m_src.find(name);
    if (!v) return dflt;
    if (!v->is_string()) type_error(name, "str", *v);
    return v->as_string();
  }

  std::optional<std::string_view> text_or_none(const char* name) const {
    const Value* v = m_src.find(name);
    if (!v || v->is_null()) return std::nullopt;
    if (!v->is_string()) type_error(name, "str or None", *v);
    return std::string_view(v->as_string());
  }

  bool truth(const char* name, bool dflt) const {
    const Value* v = m_src.find(name);
    return v ? v->truthy() : dflt;
  }

  std::optional<std::int64_t> int_or_none(const char* name) const {
    const Value* v = m_src.find(name);
    if (!v || v->is_null()) return std::nullopt;
    return to_int(name, *v);
  }

  std::int64_t integer(const char* name, std::int64_t dflt) const {
    const Value* v = m_src.find(name);
    return v ? to_int(name, *v) : dflt;
  }

  const Array& list(const char* name) const {
    static const Array empty;
    const Value* v = m_src.find(name);
    if (!v) return empty;
    if (!v->is_array()) type_error(name, "list", *v);
    return v->as_array();
  }

 private:
  // int(x) for a number: bools and integers as they are, floats truncated toward zero.
  std::int64_t to_int(const char* name, const Value& v) const {
    if (v.is_bool() || v.is_int()) return v.as_int64_saturating();
    if (v.is_float()) {
      const double d = v.as_double();
      if (std::isnan(d))
        throw ContractError(PyErrorClass::ValueError, "cannot convert float NaN to integer");
      if (std::isinf(d))
        throw ContractError(PyErrorClass::OverflowError,
                            "cannot convert float infinity to integer");
      const double t = std::trunc(d);
      if (t >= 9.2233720368547758e18) return INT64_MAX;
      if (t <= -9.2233720368547758e18) return INT64_MIN;
      return static_cast<std::int64_t>(t);
    }
    type_error(name, "int", v);
  }

  [[noreturn]] void type_error(const char* name, const char* want, const Value& got) const {
    throw ContractError(PyErrorClass::TypeError, std::string(m_func) + "() argument '" + name +
                                                     "' must be " + want + ", not " +
                                                     got.type_name());
  }

  const char* m_func;
  const Value& m_src;
};

struct Entry {
  const char* action;
  const char* func;
  Value (*run)(const Args&);
};

// The dispatch table, in the order of the protocol's documentation above. Every argument is read
// (and so type-checked) before the paths are checked against the allowed roots (refuse(): nothing
// without roots), so a contract error stays a contract error under roots too.
using R = PathUse;
const Entry kTable[] = {
    {"read", "read_file",
     [](const Args& a) {
       const auto path = a.text("path", "");
       const auto start = a.int_or_none("start_line");
       const auto end = a.int_or_none("end_line");
       if (auto no = refuse({{path, R::Read}})) return std::move(*no);
       return read_file(path, start, end);
     }},
    {"write", "write_file",
     [](const Args& a) {
       const auto path = a.text("path", "");
       const auto content = a.text("content", "");
       const bool create_dirs = a.truth("create_dirs", true);
       if (auto no = refuse({{path, R::Change}})) return std::move(*no);
       return write_file(path, content, create_dirs);
     }},
    {"append", "append_file",
     [](const Args& a) {
       const auto path = a.text("path", "");
       const auto content = a.text("content", "");
       if (auto no = refuse({{path, R::Change}})) return std::move(*no);
       return append_file(path, content);
     }},
    {"edit", "edit_file",
     [](const Args& a) {
       const auto path = a.text("path", "");
       const Array& edits = a.list("edits");
       if (auto no = refuse({{path, R::Change}})) return std::move(*no);
       return edit_file(path, edits);
     }},
    {"delete", "delete_file",
     [](const Args& a) {
       const auto path = a.text("path", "");
       if (auto no = refuse({{path, R::Remove}})) return std::move(*no);
       return delete_file(path);
     }},
    {"move", "move_file",
     [](const Args& a) {
       const auto src = a.text("src", "");
       const auto dst = a.text("dst", "");
       if (auto no = refuse({{src, R::Move}, {dst, R::Change}})) return std::move(*no);
       return move_file(src, dst);
     }},
    {"copy", "copy_file",
     [](const Args& a) {
       const auto src = a.text("src", "");
       const auto dst = a.text("dst", "");
       if (auto no = refuse({{src, R::Read}, {dst, R::Change}})) return std::move(*no);
       return copy_file(src, dst);
     }},
    {"mkdir", "make_dir",
     [](const Args& a) {
       const auto path = a.text("path", "");
       if (auto no = refuse({{path, R::Change}})) return std::move(*no);
       return make_dir(path);
     }},
    {"list", "list_dir",
     [](const Args& a) {
       const auto path = a.text("path", ".");
       const bool recursive = a.truth("recursive", false);
       const auto pattern = a.text_or_none("pattern");
       if (auto no = refuse({{path, R::Read}})) return std::move(*no);
       return list_dir(path, recursive, pattern);
     }},
    {"find", "find_files",
     [](const Args& a) {
       const auto path = a.text("path", ".");
       const auto pattern = a.text("pattern", "*");
       const auto max_results = a.integer("max_results", 100);
       if (auto no = refuse({{path, R::Read}})) return std::move(*no);
       return find_files(path, pattern, max_results);
     }},
    {"grep", "grep_files",
     [](const Args& a) {
       const auto path = a.text("path", ".");
       const auto regex = a.text("regex", "");
       const auto file_pattern = a.text("file_pattern", "*");
       const auto max_results = a.integer("max_results", 100);
       const auto context_lines = a.integer("context_lines", 0);
       if (auto no = refuse({{path, R::Read}})) return std::move(*no);
       return grep_files(path, regex, file_pattern, max_results, context_lines);
     }},
    {"diff", "diff_files",
     [](const Args& a) {
       const auto file_a = a.text("file_a", "");
       const auto file_b = a.text("file_b", "");
       if (auto no = refuse({{file_a, R::Read}, {file_b, R::Read}})) return std::move(*no);
       return diff_files(file_a, file_b);
     }},
};

const Entry* lookup_action(std::string_view action) {
  for (const Entry& e : kTable)
    if (action == e.action) return &e;
  return nullptr;
}

const Entry* lookup_func(std::string_view func) {
  for (const Entry& e : kTable)
    if (func == e.func) return &e;
  return nullptr;
}

// Under roots, the check and the operation see one resolution of each path (os::ResolveMemo).
Value run_entry(const Entry& entry, const Value& args) {
  if (!os::active_roots()) return entry.run(Args(entry.func, args));
  const os::ResolveMemo memo;
  return entry.run(Args(entry.func, args));
}

}  // namespace

std::string_view py_error_name(PyErrorClass c) noexcept {
  switch (c) {
    case PyErrorClass::TypeError:
      return "TypeError";
    case PyErrorClass::ValueError:
      return "ValueError";
    case PyErrorClass::OverflowError:
      return "OverflowError";
    case PyErrorClass::RecursionError:
      return "RecursionError";
  }
  return "TypeError";
}

bool is_quit_request(const Value& cmd) noexcept {
  const Value* action = cmd.find("action");
  return action && action->is_string() && action->as_string() == "quit";
}

Value handle_command(const Value& cmd) {
  if (!cmd.is_object())
    throw ContractError(PyErrorClass::TypeError,
                        "handle_command() argument 'cmd' must be dict, not " + cmd.type_name());
  static const Value kEmpty("");
  const Value* action = cmd.find("action");
  if (!action) action = &kEmpty;
  if (action->is_string() && action->as_string() == "quit") {
    Object goodbye;
    goodbye.push_back(Member{"success", Value(true)});
    goodbye.push_back(Member{"result", Value("goodbye")});
    return Value(std::move(goodbye));
  }
  if (!action->hashable())
    throw ContractError(PyErrorClass::TypeError, "cannot use '" + action->type_name() +
                                                     "' as a dict key (unhashable type: '" +
                                                     action->type_name() + "')");
  const Entry* entry = action->is_string() ? lookup_action(action->as_string()) : nullptr;
  if (!entry) return fail_record("Unknown action: " + action->py_str());
  return run_entry(*entry, cmd);
}

Value call_operation(std::string_view func, const Value& args) {
  const Entry* entry = lookup_func(func);
  if (!entry)
    throw ContractError(PyErrorClass::TypeError, "no operation named " + std::string(func));
  return run_entry(*entry, args);
}

}  // namespace talmek::scrivel
