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
#include "steerix/tool_io.h"
#include "steerix/tools.h"

namespace talmek::steerix {

namespace {

using namespace tool_io;
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

// Turns the pending Python exception into an EditorFailure; interruptions and other
// non-Exception errors escape as they are (signalled by PythonEscape).
struct PythonEscape {};

[[noreturn]] void raise_pending() {
  std::string message;
  if (!take_exception_message(message)) throw PythonEscape{};
  throw EditorFailure{std::move(message)};
}

PyObject* checked(PyObject* o) {
  if (!o) raise_pending();
  return o;
}

class Call {
 public:
  Call(PyObject* tool_input, std::string path_text, std::string path)
      : m_input(tool_input), m_path_text(std::move(path_text)), m_path(std::move(path)) {}

  PyObject* view();
  PyObject* create();
  PyObject* str_replace();
  PyObject* insert();

 private:
  std::string view_header(std::optional<editor::Range>& range);
  Ref get(const char* key, PyObject* default_value) {
    return Ref(checked(input_get(m_input, key, default_value)));
  }
  Text str_value(PyObject* value) {
    Text t;
    if (!t.assign(value)) raise_pending();
    return t;
  }
  std::string str_of_value(PyObject* value) {
    std::string out;
    if (!str_of(value, out)) raise_pending();
    return out;
  }
  PyObject* not_found() { return error_outcome(kNotFound, m_path_text); }
  PyObject* done(std::string_view what) {
    std::string text(what);
    text += m_path_text;
    return text_outcome(text);
  }

  PyObject* m_input;
  std::string m_path_text;  // as the model sent it: every message quotes this
  std::string m_path;       // after "~" expansion: what the file system sees
};

// A view bound: operator.index(value), then clamped into the C range as slicing clamps.
std::ptrdiff_t slice_bound(PyObject* value, long delta) {
  Ref index(checked(PyNumber_Index(value)));
  if (delta) {
    Ref d(checked(PyLong_FromLong(delta)));
    index = Ref(checked(PyNumber_Add(index.get(), d.get())));
  }
  const Py_ssize_t b = PyNumber_AsSsize_t(index.get(), nullptr);
  if (b == -1 && PyErr_Occurred()) raise_pending();
  return static_cast<std::ptrdiff_t>(b);
}

// The header of a view, with the range it shows stored in `range`: view_range read as
// `if view_range and len(view_range) == 2: start, end = view_range` reads it.
std::string Call::view_header(std::optional<editor::Range>& range) {
  Ref view_range = get("view_range", Py_None);
  const int truth = PyObject_IsTrue(view_range.get());
  if (truth < 0) raise_pending();
  Py_ssize_t length = 0;
  if (truth) {
    length = PyObject_Length(view_range.get());
    if (length < 0) raise_pending();
  }
  std::string out;
  if (truth && length == 2) {
    // Unpacked as `start, end = view_range` would: any iterable of two items.
    Ref items(checked(PySequence_Fast(view_range.get(), "cannot unpack non-iterable object")));
    if (PySequence_Fast_GET_SIZE(items.get()) != 2)
      throw EditorFailure{"not enough values to unpack (expected 2)"};
    PyObject* start = PySequence_Fast_GET_ITEM(items.get(), 0);
    PyObject* end = PySequence_Fast_GET_ITEM(items.get(), 1);
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

PyObject* Call::view() {
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

PyObject* Call::create() {
  Ref file_text = get("file_text", empty_str());
  if (!PyUnicode_Check(file_text.get())) {
    const char* type = file_text.get() == Py_None ? "None" : type_name(file_text.get());
    throw EditorFailure{"write() argument must be str, not "s + type};
  }
  const Text text = str_value(file_text.get());
  // Checked before any directory is made or the file is truncated, so a text that cannot be
  // written leaves everything as it was.
  std::string error;
  if (!text::check_encodable(text.view(), error)) throw EditorFailure{error};
  editor::make_parent_dirs(m_path);
  editor::write_text(m_path, text.view());
  return done("Created "sv);
}

PyObject* Call::str_replace() {
  if (!paths::path_exists(m_path)) return not_found();
  Ref old_str = get("old_str", empty_str());
  Ref new_str = get("new_str", empty_str());
  const std::string content = editor::read_text(m_path, kMaxOutcomeBytes);
  if (!PyUnicode_Check(old_str.get()))
    throw EditorFailure{"'in <string>' requires string as left operand, not "s +
                        type_name(old_str.get())};
  const Text old_text = str_value(old_str.get());
  if (content.find(old_text.view()) == std::string::npos) {
    std::string message(kStringNotFound);
    message += m_path_text;
    message += ": ";
    message += text::prefix_cps(old_text.view(), kQuotedOldLimit);
    return error_outcome(message);
  }
  if (!PyUnicode_Check(new_str.get())) {
    const char* type = new_str.get() == Py_None ? "None" : type_name(new_str.get());
    throw EditorFailure{"replace() argument 2 must be str, not "s + type};
  }
  const Text new_text = str_value(new_str.get());
  const std::string replaced = *editor::replace_first(content, old_text.view(), new_text.view());
  editor::write_text(m_path, replaced);
  return done("Replaced text in "sv);
}

PyObject* Call::insert() {
  if (!paths::path_exists(m_path)) return not_found();
  Ref zero(checked(PyLong_FromLong(0)));
  Ref insert_line = get("insert_line", zero.get());
  // The 2025-07-28 editor sends the inserted text as "insert_text", the 2025-01-24 one as
  // "new_str"; a null counts as absent.
  Ref new_str = get("insert_text", Py_None);
  if (new_str.get() == Py_None) new_str = get("new_str", empty_str());
  const std::string content = editor::read_text(m_path, kMaxOutcomeBytes);
  if (!PyUnicode_Check(new_str.get()))
    throw EditorFailure{"unsupported operand type(s) for +: '"s + type_name(new_str.get()) +
                        "' and 'str'"};
  const Text new_text = str_value(new_str.get());
  // list.insert's index: operator.index, and an int beyond the C range is an OverflowError.
  Ref index(checked(PyNumber_Index(insert_line.get())));
  const Py_ssize_t position = PyLong_AsSsize_t(index.get());
  if (position == -1 && PyErr_Occurred()) raise_pending();
  const std::string updated = editor::insert_line(content, position, new_text.view());
  editor::write_text(m_path, updated);
  std::string text = "Inserted text at line ";
  text += str_of_value(insert_line.get());
  text += " in ";
  text += m_path_text;
  return text_outcome(text);
}

bool is_command(PyObject* command, const char* name) {
  return PyUnicode_Check(command) && PyUnicode_EqualToUTF8(command, name);
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

PyObject* run(PyObject* tool_input, bool has_undo, const Confinement* confinement) {
  // Reading the input, the path check and "~" expansion come first; their faults are outcomes
  // too (see run_editor_tool), but "No path provided" goes before anything else.
  Ref command(input_get(tool_input, "command", empty_str()));
  if (!command) return nullptr;
  Ref path_value(input_get(tool_input, "path", empty_str()));
  if (!path_value) return nullptr;
  const int truth = PyObject_IsTrue(path_value.get());
  if (truth < 0) return nullptr;
  if (!truth) return error_outcome(kNoPath);
  if (!PyUnicode_Check(path_value.get())) {
    PyErr_Format(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %s",
                 type_name(path_value.get()));
    return nullptr;
  }
  Text path_text;
  if (!path_text.assign(path_value.get())) return nullptr;
  std::string path;
  try {
    path = paths::expanduser(path_text.view());
  } catch (const OpError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  }

  try {
    // With roots, the four file commands refuse a path outside them, and their file calls are
    // made beneath the roots for the length of the call.
    std::optional<std::string> refused;
    if (confinement) refused = confinement->refuse(path_text.view(), path);
    const os::ScopedRoots scope(confinement ? &confinement->roots() : nullptr);
    Call call(tool_input, std::string(path_text.view()), std::move(path));
    auto file_command = [&](PyObject* (Call::*run_it)()) {
      return refused ? error_outcome(*refused) : (call.*run_it)();
    };
    if (is_command(command.get(), "view")) return file_command(&Call::view);
    if (is_command(command.get(), "create")) return file_command(&Call::create);
    if (is_command(command.get(), "str_replace")) return file_command(&Call::str_replace);
    if (is_command(command.get(), "insert")) return file_command(&Call::insert);
    if (has_undo && is_command(command.get(), "undo_edit")) return text_outcome(kUndo);
    std::string shown;
    if (!str_of(command.get(), shown)) raise_pending();
    return error_outcome(kUnknownCommand, shown);
  } catch (const EditorFailure& e) {
    return error_outcome(kEditorError, e.message);
  } catch (const OpError& e) {
    return error_outcome(kEditorError, e.what());
  } catch (const editor::SpecialFile& e) {
    return error_outcome(kEditorError, special_message(path_text.view(), e));
  } catch (const editor::TooLarge& e) {
    return error_outcome(kEditorError, too_large_message(path_text.view(), e));
  } catch (const PythonEscape&) {
    return nullptr;
  }
}

}  // namespace

PyObject* run_editor_tool(PyObject* tool_input, bool has_undo, const Confinement* confinement) {
  // Every fault of a call is an outcome the model can act on, never the end of the task: an
  // allocation failure (std::bad_alloc here, MemoryError from Python), a path that is not text,
  // a home directory that cannot be found. Only interruptions (KeyboardInterrupt and other
  // exceptions that are not an Exception) pass through.
  PyObject* outcome;
  try {
    outcome = run(tool_input, has_undo, confinement);
  } catch (const std::bad_alloc&) {
    return error_outcome(kEditorError, kOutOfMemory);
  }
  if (outcome || !PyErr_ExceptionMatches(PyExc_Exception)) return outcome;
  return error_outcome_from_pending(kEditorError);
}

}  // namespace talmek::steerix
