// The Python edge shared by the agent's built-in tools.
#include "steerix/tool_io.h"

#include <new>

namespace talmek::steerix::tool_io {

PyObject* input_get(PyObject* tool_input, const char* key, PyObject* default_value) {
  // A dict subclass may override get(); only a plain dict is read directly.
  if (PyDict_CheckExact(tool_input)) {
    PyObject* value = nullptr;
    const int found = PyDict_GetItemStringRef(tool_input, key, &value);
    if (found < 0) return nullptr;
    return found ? value : Py_NewRef(default_value);
  }
  return PyObject_CallMethod(tool_input, "get", "sO", key, default_value);
}

PyObject* empty_str() { return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR); }

bool Text::assign(PyObject* str) {
  Py_ssize_t size = 0;
  // The str caches its UTF-8 form, so the common case copies nothing.
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    m_owner = Ref(Py_NewRef(str));
    m_view = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
  if (!bytes) return false;
  m_owner = Ref(bytes);
  m_view =
      std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  return true;
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

bool str_of(PyObject* obj, std::string& out) {
  Ref s(PyObject_Str(obj));
  if (!s) return false;
  Text t;
  if (!t.assign(s.get())) return false;
  out.assign(t.view());
  return true;
}

bool take_exception_message(std::string& message) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyObject* exc = PyErr_GetRaisedException();
  Ref owner(exc);
  if (!str_of(exc, message)) {
    PyErr_Clear();
    message = type_name(exc);
  }
  // str(MemoryError()) is empty; the outcome should still say what went wrong.
  if (message.empty() && PyErr_GivenExceptionMatches(exc, PyExc_MemoryError))
    message = "out of memory";
  return true;
}

PyObject* error_outcome_from_pending(std::string_view prefix) {
  std::string message;
  try {
    if (!take_exception_message(message)) return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    message = "out of memory";
  }
  return error_outcome(prefix, message);
}

namespace {
PyObject* outcome(const char* type, const char* key, PyObject* value) {
  if (!value) return nullptr;
  Ref v(value);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  Ref type_str(PyUnicode_FromString(type));
  if (!type_str || PyDict_SetItemString(dict.get(), "type", type_str.get()) < 0 ||
      PyDict_SetItemString(dict.get(), key, v.get()) < 0)
    return nullptr;
  return dict.release();
}
}  // namespace

PyObject* text_outcome(std::string_view text) { return outcome("text", "text", to_str(text)); }

PyObject* error_outcome(std::string_view message) {
  return outcome("error", "error", to_str(message));
}

PyObject* error_outcome(std::string_view prefix, std::string_view rest) {
  // Joined as Python objects: no C++ allocation that could throw where the caller reports an
  // allocation failure.
  Ref a(to_str(prefix));
  if (!a) return nullptr;
  Ref b(to_str(rest));
  if (!b) return nullptr;
  return outcome("error", "error", PyUnicode_Concat(a.get(), b.get()));
}

}  // namespace talmek::steerix::tool_io
