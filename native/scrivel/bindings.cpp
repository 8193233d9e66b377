// Python bindings of the file worker: converts between Python objects and our value tree, and
// exposes main, handle_command and the twelve operations. The only file of the worker that
// includes nanobind; every call ends in the same native dispatch as the main loop.
#include <nanobind/nanobind.h>

#include <cstring>
#include <string>

#include "common/text.h"
#include "platform/ntpath.h"
#include "platform/os.h"
#include "scrivel/confine.h"
#include "scrivel/difflib/unified_diff.h"
#include "scrivel/dispatch.h"
#include "scrivel/json/decode.h"
#include "scrivel/json/encode.h"
#include "scrivel/json/value.h"
#include "scrivel/main_loop.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace talmek::scrivel {
namespace {

// Beyond this depth a request's values are never read by any operation; they are kept as
// opaque stand-ins so that converting a pathological object cannot exhaust the stack.
constexpr int kMaxDepth = 64;

std::string text_from(PyObject* s) {
  PyObject* bytes = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
  if (!bytes) throw nb::python_error();
  std::string out(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return out;
}

nb::object text_to_py(const std::string& s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
  if (!o) throw nb::python_error();
  return nb::steal(o);
}

// A Python object without a JSON form. Only its type name and truth are taken: hashing or
// printing an arbitrary object can recurse without bound (a deeply nested tuple), and only the
// "action" value is ever hashed or printed (see action_from).
Value opaque_from(nb::handle h) {
  Opaque o;
  o.type_name = Py_TYPE(h.ptr())->tp_name;
  if (const char* dot = std::strrchr(Py_TYPE(h.ptr())->tp_name, '.')) o.type_name = dot + 1;
  const int truth = PyObject_IsTrue(h.ptr());
  if (truth < 0) throw nb::python_error();
  o.truthy = truth != 0;
  return Value(std::move(o));
}

// The "action" value: looked up in the dispatch table, so hashed, and printed when unknown.
Value action_from(nb::handle h);

Value from_py(nb::handle h, int depth = 0) {
  PyObject* o = h.ptr();
  if (o == Py_None) return Value(nullptr);
  if (PyBool_Check(o)) return Value(o == Py_True);
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) return Value(static_cast<std::int64_t>(v));
    // Beyond int64 only the sign matters to the operations (limits and slices saturate); the
    // digits are kept for printing when str() can produce them (it refuses over 4300 digits).
    PyObject* s = PyObject_Str(o);
    if (!s) {
      PyErr_Clear();
      return Value(BigInt{overflow < 0 ? "-99999999999999999999" : "99999999999999999999"});
    }
    BigInt big{text_from(s)};
    Py_DECREF(s);
    return Value(std::move(big));
  }
  if (PyFloat_Check(o)) return Value(PyFloat_AsDouble(o));
  if (PyUnicode_CheckExact(o)) return Value(text_from(o));
  if (depth < kMaxDepth && PyList_CheckExact(o)) {
    Array a;
    const Py_ssize_t n = PyList_GET_SIZE(o);
    a.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i)
      a.push_back(from_py(PyList_GET_ITEM(o, i), depth + 1));
    return Value(std::move(a));
  }
  if (depth < kMaxDepth && PyDict_Check(o)) {
    // Only text keys can name arguments; other keys are never looked up.
    Value obj{Object{}};
    PyObject *key, *val;
    Py_ssize_t pos = 0;
    while (PyDict_Next(o, &pos, &key, &val)) {
      if (!PyUnicode_CheckExact(key)) continue;
      std::string k = text_from(key);
      obj.set(k, depth == 0 && k == "action" ? action_from(val) : from_py(val, depth + 1));
    }
    return obj;
  }
  return opaque_from(h);
}

Value action_from(nb::handle h) {
  // A str subclass finds its table entry by equality, as a dict lookup would.
  if (PyUnicode_Check(h.ptr())) return Value(text_from(h.ptr()));
  Value v = from_py(h, 1);
  if (!v.is_opaque()) return v;
  Opaque o = v.as_opaque();
  o.hashable = PyObject_Hash(h.ptr()) != -1;
  if (!o.hashable) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
  } else {
    PyObject* str = PyObject_Str(h.ptr());
    if (!str) throw nb::python_error();
    o.str = text_from(str);
    Py_DECREF(str);
  }
  return Value(std::move(o));
}

// Records are shallow; only the decoder's test hook hands over deep values, and Python's own
// json gives up near this depth as well.
constexpr int kMaxToPyDepth = 2000;

nb::object to_py(const Value& v, int depth = 0) {
  if (depth > kMaxToPyDepth) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    throw nb::python_error();
  }
  const auto& s = v.storage();
  switch (s.index()) {
    case 0:
      return nb::none();
    case 1:
      return nb::bool_(std::get<bool>(s));
    case 2:
      return nb::int_(std::get<std::int64_t>(s));
    case 3:
      return nb::steal(PyLong_FromString(std::get<BigInt>(s).digits.c_str(), nullptr, 10));
    case 4:
      return nb::float_(std::get<double>(s));
    case 5:
      return text_to_py(std::get<std::string>(s));
    case 6: {
      const Array& a = std::get<Array>(s);
      nb::list out;
      for (const Value& x : a) out.append(to_py(x, depth + 1));
      return out;
    }
    case 7: {
      nb::dict out;
      for (const Member& m : std::get<Object>(s))
        out[text_to_py(m.key)] = to_py(m.value, depth + 1);
      return out;
    }
    case 9: {
      // A list already in wire form: each piece decoded back (our own encoding of values the
      // operation built, so it always decodes) and its elements converted.
      nb::list out;
      std::string text;
      for (const std::string& piece : std::get<EncodedList>(s).pieces) {
        if (piece.empty()) continue;
        text.assign(1, '[');
        text += piece;
        text += ']';
        Value elements;
        json::DecodeError err;
        if (!json::decode(text, elements, err))
          throw std::runtime_error("encoded list: " + err.msg);
        for (const Value& x : elements.as_array()) out.append(to_py(x, depth + 1));
      }
      return out;
    }
    default:
      return text_to_py(std::get<Opaque>(s).str);
  }
}

[[noreturn]] void raise_contract(PyErrorClass py_class, const char* message) {
  PyObject* exc = PyExc_TypeError;
  switch (py_class) {
    case PyErrorClass::TypeError:
      exc = PyExc_TypeError;
      break;
    case PyErrorClass::ValueError:
      exc = PyExc_ValueError;
      break;
    case PyErrorClass::OverflowError:
      exc = PyExc_OverflowError;
      break;
    case PyErrorClass::RecursionError:
      exc = PyExc_RecursionError;
      break;
  }
  PyErr_SetString(exc, message);
  throw nb::python_error();
}

// Runs a module function: converts its arguments, releases the GIL for the operation itself.
nb::object call(const char* func, std::initializer_list<std::pair<const char*, nb::handle>> args) {
  Value obj{Object{}};
  for (const auto& [name, h] : args) obj.set(name, from_py(h));
  Value record;
  try {
    nb::gil_scoped_release release;
    record = call_operation(func, obj);
  } catch (const ContractError& e) {
    raise_contract(e.py_class(), e.what());
  }
  return to_py(record);
}

nb::object py_handle_command(nb::handle cmd) {
  if (!PyDict_CheckExact(cmd.ptr())) {
    PyErr_Format(PyExc_TypeError, "handle_command() argument 'cmd' must be dict, not %s",
                 Py_TYPE(cmd.ptr())->tp_name);
    throw nb::python_error();
  }
  Value request = from_py(cmd);
  Value record;
  try {
    nb::gil_scoped_release release;
    record = handle_command(request);
  } catch (const ContractError& e) {
    raise_contract(e.py_class(), e.what());
  }
  return to_py(record);
}

// main(): the worker's life. Reads the process's own descriptors natively; when the host has
// replaced sys.stdin or sys.stdout, reads and writes through those objects instead.
// OSError(code, message): the subclass follows the number (FileNotFoundError, ...).
[[noreturn]] void raise_os_error(int code, const std::string& message) {
  PyObject* args = Py_BuildValue("(iN)", code, text_to_py(message).release().ptr());
  if (args) {
    PyErr_SetObject(PyExc_OSError, args);
    Py_DECREF(args);
  }
  throw nb::python_error();
}

// The worker's command line refused: the message on standard error, exit status 2.
[[noreturn]] void exit_with_usage_error(const std::string& message) {
  talmek::os::write_stderr("talmek-scrivel-py: " + message + "\n");
  PyObject* code = PyLong_FromLong(2);
  PyErr_SetObject(PyExc_SystemExit, code);
  Py_XDECREF(code);
  throw nb::python_error();
}

// The allowed roots as a host sets them: each a str or os.PathLike (os.fspath), none to clear.
// A root that cannot be used raises the OSError the system gave for it.
void set_roots_from(nb::handle roots, bool read_only) {
  std::vector<std::string> texts;
  if (!roots.is_none()) {
    nb::module_ os = nb::module_::import_("os");
    for (nb::handle r : roots) {
      nb::object p = os.attr("fspath")(r);
      if (!PyUnicode_Check(p.ptr()))
        throw nb::type_error("set_roots() takes directories as str or os.PathLike of str");
      texts.push_back(text_from(p.ptr()));
    }
  }
  std::string error;
  int code = 0;
  if (!set_worker_roots(texts, read_only, error, &code)) {
    raise_os_error(code, error);
  }
}

// Roots from the environment, if it names any, then the kernel's wall around the roots in force.
// The interpreter's own directories stay readable behind that wall, so that a module imported
// later (a traceback's, a codec's) still loads; nothing outside the roots becomes writable.
void confine_worker(nb::module_& sys) {
  std::vector<std::string> interpreter_dirs;
  for (const char* name : {"base_prefix", "prefix", "exec_prefix", "base_exec_prefix"}) {
    nb::object d = sys.attr(name);
    if (PyUnicode_Check(d.ptr())) interpreter_dirs.push_back(text_from(d.ptr()));
  }
  WorkerStart start;
  read_worker_env(start);
  if (!start.roots.empty()) {
    std::string error;
    int code = 0;
    if (!set_worker_roots(start.roots, start.read_only, error, &code)) {
      raise_os_error(code, error);
    }
  }
  restrict_worker_process(interpreter_dirs);
}

void py_main() {
  nb::module_ signal = nb::module_::import_("signal");
  signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
  nb::module_ sys = nb::module_::import_("sys");
  confine_worker(sys);
  nb::object in = sys.attr("stdin"), out = sys.attr("stdout");
  const bool own_streams = !in.is_none() && !out.is_none() && in.is(sys.attr("__stdin__")) &&
                           out.is(sys.attr("__stdout__"));
  if (own_streams) {
    out.attr("flush")();
    int status;
    {
      nb::gil_scoped_release release;
      status = serve();
    }
    if (status != 0) {
      // serve() has written its diagnostic; end the process with that status.
      PyObject* code = PyLong_FromLong(status);
      PyErr_SetObject(PyExc_SystemExit, code);
      Py_XDECREF(code);
      throw nb::python_error();
    }
    return;
  }
  nb::object readline = in.attr("readline"), write = out.attr("write"), flush = out.attr("flush");
  for (;;) {
    nb::object line = readline();
    if (!PyUnicode_Check(line.ptr())) throw nb::type_error("sys.stdin.readline() must return str");
    std::string raw = text_from(line.ptr());
    if (raw.empty()) return;
    while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.pop_back();
    bool quit = false;
    std::string reply;
    try {
      reply = handle_line(raw, quit);
    } catch (const ContractError& e) {
      raise_contract(e.py_class(), e.what());
    } catch (const FatalRequestError& e) {
      raise_contract(e.py_class(), e.what());
    }
    if (!reply.empty()) {
      write(text_to_py(reply));
      flush();
    }
    if (quit) return;
  }
}

}  // namespace
}  // namespace talmek::scrivel

NB_MODULE(scrivel, m) {
  using namespace talmek::scrivel;
  m.doc() = "The talmek file worker: JSON-lines requests on standard input, one reply per line.";

  m.def("main", &py_main,
        "Run the worker: read JSON commands from stdin, write results to stdout.");
  m.def(
      "set_roots", [](nb::handle roots, bool read_only) { set_roots_from(roots, read_only); },
      "roots"_a.none(), "read_only"_a = false,
      "Confine every operation of this process to the given directories (an empty list or None: "
      "no\n"
      "confinement); read_only refuses every change. Checks only: Landlock is applied by main().");
  m.def(
      "_main_cli",
      []() {
        // talmek-scrivel-py: the native executable's command line, then main().
        nb::list argv = nb::borrow<nb::list>(nb::module_::import_("sys").attr("argv"));
        std::vector<std::string> args;
        for (std::size_t i = 1; i < argv.size(); ++i) {
          nb::handle a = argv[i];
          if (!PyUnicode_Check(a.ptr())) throw nb::type_error("sys.argv must hold str");
          args.push_back(text_from(a.ptr()));
        }
        WorkerStart start;
        std::string error;
        if (!parse_worker_args(args, start, error)) {
          exit_with_usage_error(error + "\n" + kWorkerUsage);
        }
        if (!start.roots.empty() || start.read_only) {
          read_worker_env(start);
          int code = 0;
          if (!set_worker_roots(start.roots, start.read_only, error, &code)) {
            exit_with_usage_error("cannot confine to a root: " + error);
          }
        }
        py_main();
      },
      "The worker's command line (--root DIR, --read-only), then main().");
  m.def("_use_openat2", [](bool on) { talmek::os::use_openat2(on); });
  m.def("handle_command", &py_handle_command, "cmd"_a.none(),
        "Route a command to the appropriate handler.");

  m.def(
      "read_file",
      [](nb::handle path, nb::handle start_line, nb::handle end_line) {
        return call("read_file",
                    {{"path", path}, {"start_line", start_line}, {"end_line", end_line}});
      },
      "path"_a.none(), "start_line"_a.none() = nb::none(), "end_line"_a.none() = nb::none(),
      "Read file content, optionally with line range.");
  m.def(
      "write_file",
      [](nb::handle path, nb::handle content, nb::handle create_dirs) {
        return call("write_file",
                    {{"path", path}, {"content", content}, {"create_dirs", create_dirs}});
      },
      "path"_a.none(), "content"_a.none(), "create_dirs"_a.none() = true,
      "Write content to a file, creating directories if needed.");
  m.def(
      "append_file",
      [](nb::handle path, nb::handle content) {
        return call("append_file", {{"path", path}, {"content", content}});
      },
      "path"_a.none(), "content"_a.none(), "Append content to a file.");
  m.def(
      "edit_file",
      [](nb::handle path, nb::handle edits) {
        return call("edit_file", {{"path", path}, {"edits", edits}});
      },
      "path"_a.none(), "edits"_a.none(),
      "Apply find/replace edits to a file.\n\n    edits: [{\"find\": \"old\", \"replace\": "
      "\"new\", \"all\": false}]");
  m.def(
      "delete_file",
      [](nb::handle path) {
        return call("delete_file", {{"path", path}});
      },
      "path"_a.none(), "Delete a file or directory.");
  m.def(
      "move_file",
      [](nb::handle src, nb::handle dst) {
        return call("move_file", {{"src", src}, {"dst", dst}});
      },
      "src"_a.none(), "dst"_a.none(), "Move or rename a file/directory.");
  m.def(
      "copy_file",
      [](nb::handle src, nb::handle dst) {
        return call("copy_file", {{"src", src}, {"dst", dst}});
      },
      "src"_a.none(), "dst"_a.none(), "Copy a file or directory.");
  m.def(
      "make_dir",
      [](nb::handle path) {
        return call("make_dir", {{"path", path}});
      },
      "path"_a.none(), "Create a directory (and parents).");
  m.def(
      "list_dir",
      [](nb::handle path, nb::handle recursive, nb::handle pattern) {
        return call("list_dir", {{"path", path}, {"recursive", recursive}, {"pattern", pattern}});
      },
      "path"_a.none(), "recursive"_a.none() = false, "pattern"_a.none() = nb::none(),
      "List directory contents.");
  m.def(
      "find_files",
      [](nb::handle path, nb::handle pattern, nb::handle max_results) {
        return call("find_files",
                    {{"path", path}, {"pattern", pattern}, {"max_results", max_results}});
      },
      "path"_a.none(), "pattern"_a.none(), "max_results"_a.none() = 100,
      "Find files matching a glob pattern.");
  m.def(
      "grep_files",
      [](nb::handle path, nb::handle regex, nb::handle file_pattern, nb::handle max_results,
         nb::handle context_lines) {
        return call("grep_files", {{"path", path},
                                   {"regex", regex},
                                   {"file_pattern", file_pattern},
                                   {"max_results", max_results},
                                   {"context_lines", context_lines}});
      },
      "path"_a.none(), "regex"_a.none(), "file_pattern"_a.none() = "*",
      "max_results"_a.none() = 100, "context_lines"_a.none() = 0,
      "Search file contents with regex.");
  m.def(
      "diff_files",
      [](nb::handle file_a, nb::handle file_b) {
        return call("diff_files", {{"file_a", file_a}, {"file_b", file_b}});
      },
      "file_a"_a.none(), "file_b"_a.none(), "Show diff between two files.");

  // Private hooks for differential tests of the shared text machinery against CPython.
  m.def("_py_repr",
        [](nb::handle s) { return text_to_py(talmek::text::py_repr(text_from(s.ptr()))); });
  m.def("_strip", [](nb::handle s) {
    return text_to_py(std::string(talmek::text::strip(text_from(s.ptr()))));
  });
  m.def(
      "_splitlines",
      [](nb::handle s, bool keepends) {
        const std::string t = text_from(s.ptr());
        nb::list out;
        talmek::text::for_each_line(
            t, keepends, [&](std::string_view line) { out.append(text_to_py(std::string(line))); });
        return out;
      },
      "text"_a.none(), "keepends"_a.none() = false);
  m.def("_decode_replace", [](nb::bytes b) {
    return text_to_py(talmek::text::decode_utf8_replace(std::string_view(b.c_str(), b.size())));
  });
  m.def("_json_loads", [](nb::handle s) {
    if (!PyUnicode_Check(s.ptr())) throw nb::type_error("_json_loads() needs a str");
    const std::string t = text_from(s.ptr());
    Value v;
    json::DecodeError err;
    bool ok;
    try {
      ok = json::decode(t, v, err);
    } catch (const FatalRequestError& e) {
      raise_contract(e.py_class(), e.what());
    }
    if (!ok) {
      nb::object cls = nb::module_::import_("json").attr("JSONDecodeError");
      PyErr_SetObject(cls.ptr(), cls(text_to_py(err.msg), s, nb::int_(err.pos)).ptr());
      throw nb::python_error();
    }
    return to_py(v);
  });
  m.def(
      "_json_dumps",
      [](nb::handle obj) {
        const Value v = from_py(obj);
        std::string out;
        try {
          json::encode(v, out);
        } catch (const ContractError& e) {
          raise_contract(e.py_class(), e.what());
        }
        return text_to_py(out);
      },
      nb::arg().none());
  m.def("_handle_line", [](nb::handle line) {
    const std::string t = text_from(line.ptr());
    bool quit = false;
    std::string reply;
    try {
      reply = handle_line(t, quit);
    } catch (const ContractError& e) {
      raise_contract(e.py_class(), e.what());
    } catch (const FatalRequestError& e) {
      raise_contract(e.py_class(), e.what());
    }
    return nb::make_tuple(text_to_py(reply), quit);
  });
  m.def("_unified_diff", [](nb::list a, nb::list b, nb::handle fromfile, nb::handle tofile) {
    std::vector<std::string> sa, sb;
    for (nb::handle h : a) sa.push_back(text_from(h.ptr()));
    for (nb::handle h : b) sb.push_back(text_from(h.ptr()));
    std::vector<std::string_view> va(sa.begin(), sa.end()), vb(sb.begin(), sb.end());
    return text_to_py(unified_diff(va, vb, text_from(fromfile.ptr()), text_from(tofile.ptr())));
  });

  // Private hooks for differential tests of the Windows path rules against ntpath and
  // PureWindowsPath, which run on every system.
  namespace ntp = talmek::os::ntpath;
  auto text = [](nb::handle s) { return text_from(s.ptr()); };
  m.def("_ntpath_splitroot", [text](nb::handle p) {
    const std::string t = text(p);
    const ntp::Root r = ntp::splitroot(t);
    return nb::make_tuple(text_to_py(std::string(r.drive)), text_to_py(std::string(r.root)),
                          text_to_py(std::string(r.tail)));
  });
  m.def("_ntpath_normpath", [text](nb::handle p) { return text_to_py(ntp::normpath(text(p))); });
  m.def("_ntpath_normalize", [text](nb::handle p) { return text_to_py(ntp::normalize(text(p))); });
  m.def("_ntpath_parent",
        [text](nb::handle p) { return text_to_py(std::string(ntp::parent_of(text(p)))); });
  m.def("_ntpath_name",
        [text](nb::handle p) { return text_to_py(std::string(ntp::name_of(text(p)))); });
  m.def("_ntpath_normcase", [text](nb::handle p) { return text_to_py(ntp::normcase(text(p))); });
  m.def("_ntpath_path_less",
        [text](nb::handle a, nb::handle b) { return ntp::path_less(text(a), text(b)); });
  m.def("_ntpath_expand_user", [text](nb::handle p, nb::dict environ) {
    const ntp::GetEnv getenv = [&](const char* name) -> std::optional<std::string> {
      nb::str key(name);
      if (!environ.contains(key)) return std::nullopt;
      return text_from(environ[key].ptr());
    };
    std::optional<std::string> out = ntp::expand_first(ntp::normalize(text(p)), getenv);
    if (!out) return nb::object(nb::none());
    return text_to_py(*out);
  });
  m.def("_ntpath_refusal", [text](nb::handle p) {
    std::optional<std::string> why = ntp::refusal(ntp::normalize(text(p)));
    if (!why) return nb::object(nb::none());
    return text_to_py(*why);
  });

  // Loaded as the program's main module: be the worker.
  if (nb::str(m.attr("__name__")).equal(nb::str("__main__"))) m.attr("main")();
}
