// What the agent needs of Python (see py_support.h). The raw C-API calls here are the few for
// which nanobind has no equivalent; each says why it is needed.
#include "steerix/py_support.h"

#include <new>

namespace talmek::steerix {

Names g_names{};
ModuleState g_module{};

void init_names() {
  if (g_names.type) return;
    // Interned keys are what makes dict lookups and attribute reads by these names take the
    // identity fast path.
#define TALMEK_NAME_INIT(field, text) g_names.field = interned(text);
  TALMEK_STEERIX_NAMES(TALMEK_NAME_INIT)
#undef TALMEK_NAME_INIT
}

nb::handle interned(std::string_view text) {
  nb::str s(text.data(), text.size());
  PyObject* p = s.release().ptr();
  // nanobind has no interning; the table of interned strings takes the reference it is given.
  PyUnicode_InternInPlace(&p);
  return p;
}

nb::object get(nb::handle mapping, nb::handle key, nb::handle dflt) {
  if (is_exact_dict(mapping)) return nb::borrow<nb::dict>(mapping).get(key, dflt);
  return mapping.attr(g_names.get)(key, dflt);
}

nb::object get(nb::handle mapping, nb::handle key) {
  if (is_exact_dict(mapping)) return nb::borrow<nb::dict>(mapping).get(key, nb::none());
  return mapping.attr(g_names.get)(key);
}

void append(nb::handle list_like, nb::handle item) {
  if (PyList_CheckExact(list_like.ptr())) {
    nb::borrow<nb::list>(list_like).append(item);
  } else {
    list_like.attr(g_names.append)(item);
  }
}

nb::object next(nb::handle iterator) {
  // PyIter_Next: nanobind's iterator wraps the walk for range-for, not one step at a time
  // across suspensions of a frame.
  PyObject* item = PyIter_Next(iterator.ptr());
  if (!item && PyErr_Occurred()) throw nb::python_error();
  return nb::steal(item);
}

nb::object optional_attr(nb::handle obj, nb::handle name) {
  // nb::getattr with a default swallows every error; only AttributeError means "absent".
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &v) < 0) throw nb::python_error();
  return nb::steal(v);
}

nb::str format(nb::handle value) {
  // format(value, ""): nanobind has str() and repr() but not the __format__ protocol.
  return nb::steal<nb::str>(nb::detail::raise_if_null(PyObject_Format(value.ptr(), nullptr)));
}

Py_ssize_t index_clamped(nb::handle value, long delta) {
  // PyNumber_Index and the clamping of PyNumber_AsSsize_t(_, NULL): nanobind's int_ converts
  // with __int__, which would accept floats.
  nb::object index = nb::steal(nb::detail::raise_if_null(PyNumber_Index(value.ptr())));
  if (delta) index = index + nb::int_(delta);
  const Py_ssize_t n = PyNumber_AsSsize_t(index.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  return n;
}

Py_ssize_t index_value(nb::handle value) {
  // As index_clamped, but OverflowError beyond the C range, as PyLong_AsSsize_t words it.
  nb::object index = nb::steal(nb::detail::raise_if_null(PyNumber_Index(value.ptr())));
  const Py_ssize_t n = PyLong_AsSsize_t(index.ptr());
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  return n;
}

nb::object sequence_items(nb::handle iterable, const char* message) {
  // PySequence_Fast: a list or tuple as it is, anything else listed, with our error text.
  return nb::steal(nb::detail::raise_if_null(PySequence_Fast(iterable.ptr(), message)));
}

nb::object call_kw(nb::handle fn, std::initializer_list<std::pair<nb::handle, nb::handle>> kw) {
  // A vectorcall with a names tuple of our interned names: nb::arg would look each name up in
  // the interpreter's table of interned strings on every request.
  const auto n = static_cast<Py_ssize_t>(kw.size());
  nb::object names = nb::steal(nb::detail::raise_if_null(PyTuple_New(n)));
  PyObject* args[8];
  Py_ssize_t i = 0;
  for (const auto& [k, v] : kw) {
    PyTuple_SET_ITEM(names.ptr(), i, nb::borrow(k).release().ptr());
    args[1 + i++] = v.ptr();
  }
  return nb::steal(nb::detail::raise_if_null(
      PyObject_Vectorcall(fn.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr())));
}

nb::object import_module(nb::handle name) {
  // The level-0 import that the import statement compiles to, and the builtins lookup that
  // decides it: nanobind's module_::import_ always goes through builtins.__import__.
  PyObject* current = PyDict_GetItemWithError(PyEval_GetBuiltins(), g_names.dunder_import.ptr());
  if (!current && PyErr_Occurred()) throw nb::python_error();
  if (current == g_module.builtin_import.ptr()) {
    return nb::steal(nb::detail::raise_if_null(
        PyImport_ImportModuleLevelObject(name.ptr(), nullptr, nullptr, nullptr, 0)));
  }
  return nb::steal(nb::detail::raise_if_null(PyImport_Import(name.ptr())));
}

void set_context(nb::python_error& e, const nb::python_error& context) {
  // nanobind has no access to an exception's __context__ slot (setattr would go through the
  // attribute machinery, PyException_SetContext is what the interpreter itself uses).
  PyException_SetContext(e.value().ptr(), nb::borrow(context.value()).release().ptr());
}

nb::dict new_dict(std::initializer_list<std::pair<nb::handle, nb::handle>> entries) {
  nb::dict d;
  for (const auto& [k, v] : entries) d[k] = v;
  return d;
}

nb::dict without_action(nb::handle source, nb::handle first) {
  nb::dict out;
  if (first) out[g_names.action] = first;
  if (is_exact_dict(source)) {
    // Each entry is held while its key is compared: comparing a key of another type may run
    // code that changes the dict.
    for (auto [k, v] : nb::borrow<nb::dict>(source)) {
      nb::object key = nb::borrow(k), value = nb::borrow(v);
      if (!equals(key, g_names.action)) out[key] = value;
    }
    return out;
  }
  for (nb::handle pair : source.attr(g_names.items)()) {
    nb::object seq = sequence_items(pair, "items() must yield pairs");
    if (nb::len(seq) != 2) throw nb::value_error("items() must yield pairs");
    nb::object k = seq[0], v = seq[1];
    if (!equals(k, g_names.action)) out[k] = v;
  }
  return out;
}

void Text::assign(nb::handle str) {
  Py_ssize_t size = 0;
  // The str caches its UTF-8 form, so the common case copies nothing; nanobind's c_str() would
  // raise for lone surrogates, which our text keeps.
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) {
    m_owner = nb::borrow(str);
    m_view = std::string_view(utf8, static_cast<std::size_t>(size));
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
  PyErr_Clear();
  nb::bytes bytes = nb::steal<nb::bytes>(
      nb::detail::raise_if_null(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass")));
  m_view = std::string_view(bytes.c_str(), bytes.size());
  m_owner = std::move(bytes);
}

nb::str to_str(std::string_view text) {
  // The "surrogatepass" decoding: nb::str decodes strictly.
  return nb::steal<nb::str>(nb::detail::raise_if_null(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass")));
}

std::string str_of(nb::handle obj) {
  Text t;
  t.assign(nb::str(obj));
  return std::string(t.view());
}

void raise(nb::handle type, const std::string& message) {
  // PyErr_SetString: this nanobind has no set_error.
  PyErr_SetString(type.ptr(), message.c_str());
  throw nb::python_error();
}

// tp_name is what CPython's own TypeError texts print, read without a lookup that could fail;
// nanobind's type_name() gives the qualified name instead.
const char* tp_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

std::string short_type_name(nb::handle obj) { return std::string(tp_name(obj)).substr(0, 200); }

namespace {
nb::dict outcome(nb::handle type, nb::handle key, nb::handle value) {
  nb::dict d;
  d[g_names.type] = type;
  d[key] = value;
  return d;
}
}  // namespace

nb::dict text_outcome(std::string_view text) {
  return outcome(g_names.text, g_names.text, to_str(text));
}

nb::dict error_outcome(std::string_view message) {
  return outcome(g_names.error, g_names.error, to_str(message));
}

nb::dict error_outcome(std::string_view prefix, std::string_view rest) {
  nb::str joined = nb::borrow<nb::str>(to_str(prefix) + to_str(rest));
  return outcome(g_names.error, g_names.error, joined);
}

bool outcome_message(const nb::python_error& e, std::string& message) {
  if (!e.matches(PyExc_Exception)) return false;
  nb::handle exc = e.value();
  try {
    message = str_of(exc);
  } catch (nb::python_error&) {
    message = tp_name(exc);
  }
  // str(MemoryError()) is empty; the outcome should still say what went wrong.
  if (message.empty() && e.matches(PyExc_MemoryError)) message = "out of memory";
  return true;
}

nb::dict error_outcome_from(nb::python_error& e, std::string_view prefix) {
  std::string message;
  bool taken = true;
  try {
    taken = outcome_message(e, message);
  } catch (const std::bad_alloc&) {
    message = "out of memory";
  }
  if (!taken) throw std::move(e);
  return error_outcome(prefix, message);
}

}  // namespace talmek::steerix
