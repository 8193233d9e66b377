// The agent's text editor tool: view, create, str_replace and insert on text files.
//
// The tool input arrives as the model sent it, so every value may have any type. Values are
// checked where Python code doing the same work would trip over them, and a wrong type becomes
// an "Editor error: " outcome worded as CPython's TypeError, never an exception.
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"
#include "platform/os.h"
#include "steerix/confinement.h"
#include "steerix/editor_ops.h"
#include "steerix/outcome_limit.h"
#include "steerix/py_support.h"
#include "steerix/tools.h"

namespace talmek::steerix {

namespace {

using namespace std::string_view_literals;
using namespace std::string_literals;

constexpr std::string_view kNoPath = "No path provided";
constexpr std::string_view kNotFound = "File not found: ";
constexpr std::string_view kStringNotFound = "String not found in ";
constexpr std::string_view kUnknownCommand = "Unknown editor command: ";
constexpr std::string_view kEditorError = "Editor error: ";
constexpr std::string_view kUndo = "Undo not supported yet";
constexpr std::string_view kOutOfMemory = "out of memory";
constexpr std::size_t kQuotedOldLimit = 100;  // code points of old_str quoted when it is missing

// A failure that the tool reports as "Editor error: " + its message.
struct EditorFailure {
  std::string message;
};

// Turns a Python exception into an EditorFailure; interruptions and other non-Exception errors
// escape as they are.
[[noreturn]] void fail_with(nb::python_error& e) {
  std::string message;
  if (!outcome_message(e, message)) throw std::move(e);
  throw EditorFailure{std::move(message)};
}

// Runs `fn`, turning the Python exceptions it raises into EditorFailures.
template <class Fn>
auto checked(Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (nb::python_error& e) {
    fail_with(e);
  }
}

class Call {
 public:
  Call(nb::handle tool_input, std::string path_text, std::string path)
      : m_input(tool_input), m_path_text(std::move(path_text)), m_path(std::move(path)) {}

  nb::object view();
  nb::object create();
  nb::object str_replace();
  nb::object insert();

 private:
  std::string view_header(std::optional<editor::Range>& range);
  nb::object get(nb::handle key, nb::handle default_value) {
    return checked([&] { return steerix::get(m_input, key, default_value); });
  }
  nb::object get(const char* key, nb::handle default_value) {
    return checked([&] { return steerix::get(m_input, nb::str(key), default_value); });
  }
  Text str_value(nb::handle value) {
    Text t;
    checked([&] { t.assign(value); });
    return t;
  }
  std::string str_of_value(nb::handle value) {
    return checked([&] { return str_of(value); });
  }
  nb::object not_found() { return error_outcome(kNotFound, m_path_text); }
  nb::object done(std::string_view what) {
    std::string text(what);
    text += m_path_text;
    return text_outcome(text);
  }

  nb::handle m_input;
  std::string m_path_text;  // as the model sent it: every message quotes this
  std::string m_path;       // after "~" expansion: what the file system sees
};

// A view bound: operator.index(value), then clamped into the C range as slicing clamps.
std::ptrdiff_t slice_bound(nb::handle value, long delta) {
  return checked([&] { return static_cast<std::ptrdiff_t>(index_clamped(value, delta)); });
}

// The header of a view, with the range it shows stored in `range`: view_range read as
// `if view_range and len(view_range) == 2: start, end = view_range` reads it.
std::string Call::view_header(std::optional<editor::Range>& range) {
  nb::object view_range = get("view_range", nb::none());
  const bool truth = checked([&] { return truthy(view_range); });
  std::size_t length = 0;
  if (truth) length = checked([&] { return nb::len(view_range); });
  std::string out;
  if (truth && length == 2) {
    // Unpacked as `start, end = view_range` would: any iterable of two items.
    nb::object items =
        checked([&] { return sequence_items(view_range, "cannot unpack non-iterable object"); });
    if (nb::len(items) != 2) throw EditorFailure{"not enough values to unpack (expected 2)"};
    nb::object start = items[0], end = items[1];
    range = editor::Range{slice_bound(start, -1), slice_bound(end, 0)};
    out = "Lines ";
    out += str_of_value(start);
    out += '-';
    out += str_of_value(end);
    out += " of ";
  } else {
    out = "Contents of ";
  }
  out += m_path_text;
  out += ":\n";
  return out;
}

nb::object Call::view() {
  if (!paths::path_exists(m_path)) return not_found();
  // The range is needed before the file is read, so that only the lines it shows are kept; a
  // fault in it is reported only once the whole file has been read and checked, as it would be
  // if the file were read first.
  std::optional<editor::Range> range;
  std::string out;
  std::optional<EditorFailure> range_fault;
  try {
    out = view_header(range);
  } catch (EditorFailure& e) {
    range_fault = std::move(e);
  }
  if (range_fault) {
    std::string none;
    editor::append_file_view(none, m_path, editor::Range{0, 0}, kMaxOutcomeBytes);
    throw *range_fault;
  }
  editor::append_file_view(out, m_path, range, kMaxOutcomeBytes);
  return text_outcome(out);
}

nb::object Call::create() {
  nb::object file_text = get("file_text", g_names.empty);
  if (!nb::isinstance<nb::str>(file_text)) {
    const char* type = file_text.is_none() ? "None" : tp_name(file_text);
    throw EditorFailure{"write() argument must be str, not "s + type};
  }
  const Text text = str_value(file_text);
  // Checked before any directory is made or the file is truncated, so a text that cannot be
  // written leaves everything as it was.
  std::string error;
  if (!text::check_encodable(text.view(), error)) throw EditorFailure{error};
  editor::make_parent_dirs(m_path);
  editor::write_text(m_path, text.view());
  return done("Created "sv);
}

nb::object Call::str_replace() {
  if (!paths::path_exists(m_path)) return not_found();
  nb::object old_str = get("old_str", g_names.empty);
  nb::object new_str = get("new_str", g_names.empty);
  const std::string content = editor::read_text(m_path, kMaxOutcomeBytes);
  if (!nb::isinstance<nb::str>(old_str))
    throw EditorFailure{"'in <string>' requires string as left operand, not "s + tp_name(old_str)};
  const Text old_text = str_value(old_str);
  if (content.find(old_text.view()) == std::string::npos) {
    std::string message(kStringNotFound);
    message += m_path_text;
    message += ": ";
    message += text::prefix_cps(old_text.view(), kQuotedOldLimit);
    return error_outcome(message);
  }
  if (!nb::isinstance<nb::str>(new_str)) {
    const char* type = new_str.is_none() ? "None" : tp_name(new_str);
    throw EditorFailure{"replace() argument 2 must be str, not "s + type};
  }
  const Text new_text = str_value(new_str);
  const std::string replaced = *editor::replace_first(content, old_text.view(), new_text.view());
  editor::write_text(m_path, replaced);
  return done("Replaced text in "sv);
}

nb::object Call::insert() {
  if (!paths::path_exists(m_path)) return not_found();
  nb::object insert_line = get("insert_line", nb::int_(0));
  // The 2025-07-28 editor sends the inserted text as "insert_text", the 2025-01-24 one as
  // "new_str"; a null counts as absent.
  nb::object new_str = get("insert_text", nb::none());
  if (new_str.is_none()) new_str = get("new_str", g_names.empty);
  const std::string content = editor::read_text(m_path, kMaxOutcomeBytes);
  if (!nb::isinstance<nb::str>(new_str))
    throw EditorFailure{"unsupported operand type(s) for +: '"s + tp_name(new_str) + "' and 'str'"};
  const Text new_text = str_value(new_str);
  // list.insert's index: operator.index, and an int beyond the C range is an OverflowError.
  const Py_ssize_t position = checked([&] { return index_value(insert_line); });
  const std::string updated = editor::insert_line(content, position, new_text.view());
  editor::write_text(m_path, updated);
  std::string text = "Inserted text at line ";
  text += str_of_value(insert_line);
  text += " in ";
  text += m_path_text;
  return text_outcome(text);
}

// The command's text compared as str.__eq__ would, whatever a str subclass says.
bool is_command(nb::handle command, std::string_view name) {
  if (!nb::isinstance<nb::str>(command)) return false;
  Text text;
  text.assign(command);
  return text.view() == name;
}

// The message for a file refused or cut short by editor_ops, naming the file as the model did.
std::string special_message(std::string_view path_text, const editor::SpecialFile& e) {
  return "`"s.append(path_text).append("` is a ").append(e.kind);
}

std::string too_large_message(std::string_view path_text, const editor::TooLarge& e) {
  const std::string bytes = std::to_string(e.limit) + " bytes";
  if (e.not_regular)
    return "`"s.append(path_text)
        .append("` is not a regular file and gave more than ")
        .append(bytes);
  return "the view of "s.append(path_text)
      .append(" would pass ")
      .append(bytes)
      .append(", more than a request to the model can carry; view fewer lines with view_range");
}

nb::object run(nb::handle tool_input, bool has_undo, const Confinement* confinement) {
  // Reading the input, the path check and "~" expansion come first; their faults are outcomes
  // too (see run_editor_tool), but "No path provided" goes before anything else.
  nb::object command = get(tool_input, nb::str("command"), g_names.empty);
  nb::object path_value = get(tool_input, nb::str("path"), g_names.empty);
  if (!truthy(path_value)) return error_outcome(kNoPath);
  if (!nb::isinstance<nb::str>(path_value)) {
    raise(PyExc_TypeError,
          "expected str, bytes or os.PathLike object, not "s + tp_name(path_value));
  }
  Text path_text;
  path_text.assign(path_value);
  std::string path;
  try {
    path = paths::expanduser(path_text.view());
  } catch (const OpError& e) {
    raise(PyExc_ValueError, e.what());
  }

  try {
    // With roots, the four file commands refuse a path outside them, and their file calls are
    // made beneath the roots for the length of the call.
    std::optional<std::string> refused;
    if (confinement) refused = confinement->refuse(path_text.view(), path);
    const os::ScopedRoots scope(confinement ? &confinement->roots() : nullptr);
    Call call(tool_input, std::string(path_text.view()), std::move(path));
    auto file_command = [&](nb::object (Call::*run_it)()) {
      return refused ? nb::object(error_outcome(*refused)) : (call.*run_it)();
    };
    if (is_command(command, "view")) return file_command(&Call::view);
    if (is_command(command, "create")) return file_command(&Call::create);
    if (is_command(command, "str_replace")) return file_command(&Call::str_replace);
    if (is_command(command, "insert")) return file_command(&Call::insert);
    if (has_undo && is_command(command, "undo_edit")) return text_outcome(kUndo);
    const std::string shown = checked([&] { return str_of(command); });
    return error_outcome(kUnknownCommand, shown);
  } catch (const EditorFailure& e) {
    return error_outcome(kEditorError, e.message);
  } catch (const OpError& e) {
    return error_outcome(kEditorError, e.what());
  } catch (const editor::SpecialFile& e) {
    return error_outcome(kEditorError, special_message(path_text.view(), e));
  } catch (const editor::TooLarge& e) {
    return error_outcome(kEditorError, too_large_message(path_text.view(), e));
  }
}

}  // namespace

nb::object run_editor_tool(nb::handle tool_input, bool has_undo, const Confinement* confinement) {
  // Every fault of a call is an outcome the model can act on, never the end of the task: an
  // allocation failure (std::bad_alloc here, MemoryError from Python), a path that is not text,
  // a home directory that cannot be found. Only interruptions (KeyboardInterrupt and other
  // exceptions that are not an Exception) pass through.
  try {
    return run(tool_input, has_undo, confinement);
  } catch (const std::bad_alloc&) {
    return error_outcome(kEditorError, kOutOfMemory);
  } catch (nb::python_error& e) {
    return error_outcome_from(e, kEditorError);
  }
}

}  // namespace talmek::steerix
