// Native coroutines and asynchronous generators (see async_gen.h). The protocol details (error
// texts, the INIT/ITER/CLOSED states of the awaitables returned by asend/athrow/aclose, the
// first-iteration and finalizer hooks) follow CPython's Objects/genobject.c, so that asyncio and
// any other caller see no difference from a generator written in Python.
//
// Inside, errors are values: one step of an awaitable gives back what it yields, what it
// returns or the exception it raises, as an object. Only the slot wrappers at the edge move
// them into the interpreter's error indicator. The raw C-API calls of this file are the type
// slots themselves and the protocol pieces nanobind has no equivalent for; each says why.
#include "steerix/async_gen.h"

#include <cstdarg>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

namespace talmek::steerix {

namespace {

const char* const kNonInitCoro = "can't send non-None value to a just-started coroutine";
const char* const kNonInitAgen = "can't send non-None value to a just-started async generator";
const char* const kIgnoredExit = "async generator ignored GeneratorExit";
const char* const kCoroIgnoredExit = "coroutine ignored GeneratorExit";
const char* const kCoroRunning = "coroutine already executing";
const char* const kCoroReused = "cannot reuse already awaited coroutine";

PyTypeObject* g_coro_type = nullptr;
PyTypeObject* g_wrapper_type = nullptr;
PyTypeObject* g_agen_type = nullptr;
PyTypeObject* g_asend_type = nullptr;
PyTypeObject* g_athrow_type = nullptr;

// ---------------------------------------------------------------------------------------------
// Errors as values, and the few raw pieces of the protocol

// What one step of an awaitable gives its caller, as PySendResult does, with the object that
// goes with it: the value it yields (Next), the value it returns (Return: StopIteration(value)
// for send() and __next__), or the exception it raises (Raise).
struct Sent {
  enum Kind { Next, Return, Raise } kind;
  nb::object value;
};

Sent returned_none() { return {Sent::Return, nb::none()}; }
Sent raised(nb::object exc) { return {Sent::Raise, std::move(exc)}; }

// The exception being raised, taken out of the interpreter as a value. nanobind's
// python_error does the same with bookkeeping of its own (the text of what(), a release under
// a clean-up guard), which the end of every stream would pay for.
nb::object take_error() { return nb::steal(PyErr_GetRaisedException()); }

// Raises `type` with the message of `fmt`, or without arguments when fmt is nullptr. The texts
// use CPython's own format language (%R, %U, %zd, precision in bytes), which nanobind's
// printf-style formatting does not speak; and raising through the indicator gives the new
// exception the one being handled as its __context__, as a raise statement would.
void set_error(nb::handle type, const char* fmt, std::va_list args) {
  if (!fmt) {
    PyErr_SetNone(type.ptr());
  } else {
    PyErr_FormatV(type.ptr(), fmt, args);
  }
}

// A new exception of `type` as set_error makes it, as a value.
nb::object new_error(nb::handle type, const char* fmt = nullptr, ...) {
  std::va_list args;
  va_start(args, fmt);
  set_error(type, fmt, args);
  va_end(args);
  return take_error();
}

// The same, thrown.
[[noreturn]] void raise_error(nb::handle type, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  set_error(type, fmt, args);
  va_end(args);
  throw nb::python_error();
}

// The MemoryError of an allocation that failed in C++; PyErr_NoMemory takes it from the
// interpreter's reserve where it has one.
nb::object no_memory() {
  PyErr_NoMemory();
  return take_error();
}

// Raises the exception `exc` (an instance) in the interpreter, as it is: nanobind's
// python_error can only restore what it fetched itself.
void restore(nb::object exc) { PyErr_SetRaisedException(exc.release().ptr()); }

// Whether the exception instance `exc` is of class `type`, by the class hierarchy alone, as
// an except clause decides it (isinstance would also ask __instancecheck__ and __class__).
bool matches(nb::handle exc, nb::handle type) {
  return PyErr_GivenExceptionMatches(exc.ptr(), type.ptr()) != 0;
}

// Whether the exception instance `exc` ends the stream: StopAsyncIteration or GeneratorExit.
bool ends_stream(nb::handle exc) {
  return matches(exc, PyExc_StopAsyncIteration) || matches(exc, PyExc_GeneratorExit);
}

PyTypeObject* type_of(nb::handle obj) { return reinterpret_cast<PyTypeObject*>(obj.type().ptr()); }

// Runs `fn` (which returns an object); what it throws becomes the exception as a value.
template <class Fn>
Sent capture(Fn&& fn) noexcept {
  try {
    return {Sent::Next, fn()};
  } catch (nb::python_error& e) {
    return raised(nb::borrow(e.value()));
  } catch (const std::bad_alloc&) {
    return raised(no_memory());
  }
}

// One step of an awaited iterator, as `await` takes it: its am_send where it has one, else
// __next__ or send(). nanobind has no send protocol, only whole iterations.
Sent send_into(nb::handle it, nb::handle value) {
  PyObject* res = nullptr;
  switch (PyIter_Send(it.ptr(), value.ptr(), &res)) {
    case PYGEN_NEXT:
      return {Sent::Next, nb::steal(res)};
    case PYGEN_RETURN:
      return {Sent::Return, nb::steal(res)};
    default:
      return raised(take_error());
  }
}

// Exact coroutine objects of CPython, which `await` takes as they are.
bool is_native_coroutine(nb::handle obj) { return PyCoro_CheckExact(obj.ptr()); }

// The iterator that `await obj` delegates to, as CPython's _PyCoro_GetAwaitableIter finds it:
// the am_await slot itself (nanobind's lookups would go through __await__ attributes) and the
// iterator check of the interpreter.
nb::object awaitable_iter(nb::handle obj) {
  // Our own coroutines are their own iterators here too (am_send, send, throw, close): their
  // __await__ wrapper would only forward to them.
  if (is_native_coroutine(obj) || type_of(obj) == g_coro_type) return nb::borrow(obj);
  PyAsyncMethods* am = type_of(obj)->tp_as_async;
  if (!am || !am->am_await) {
    raise_error(PyExc_TypeError, "'%.100s' object can't be awaited", tp_name(obj));
  }
  nb::object res = nb::steal(nb::detail::raise_if_null(am->am_await(obj.ptr())));
  if (is_native_coroutine(res)) raise_error(PyExc_TypeError, "__await__() returned a coroutine");
  if (!PyIter_Check(res.ptr())) {
    raise_error(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                tp_name(res));
  }
  return res;
}

// The exception of throw()/athrow() arguments: an instance, or a class with an optional value
// and traceback, checked as CPython's gen_throw checks them (by type flags and exact type
// checks, which nanobind does not offer); raises TypeError for anything else.
nb::object exception_from(Py_ssize_t nargs, nb::handle typ, nb::handle val, nb::handle tb,
                          const char* func) {
  if (nargs < 1 || nargs > 3) {
    raise_error(PyExc_TypeError, "%s expected at least 1 argument, got %zd", func, nargs);
  }
  if (!tb.is_none() && !PyTraceBack_Check(tb.ptr())) {
    raise_error(PyExc_TypeError, "throw() third argument must be a traceback object");
  }
  nb::object exc;
  if (PyExceptionClass_Check(typ.ptr())) {
    if (!val.is_none() &&
        PyObject_TypeCheck(val.ptr(), reinterpret_cast<PyTypeObject*>(typ.ptr()))) {
      exc = nb::borrow(val);
    } else if (val.is_none()) {
      exc = typ();
    } else if (nb::isinstance<nb::tuple>(val)) {
      exc = typ(*val);
    } else {
      exc = typ(val);
    }
    if (!PyExceptionInstance_Check(exc.ptr())) {
      raise_error(PyExc_TypeError,
                  "calling %R should have returned an instance of BaseException, not %s", typ.ptr(),
                  tp_name(exc));
    }
  } else if (PyExceptionInstance_Check(typ.ptr())) {
    if (!val.is_none()) {
      raise_error(PyExc_TypeError, "instance exception may not have a separate value");
    }
    exc = nb::borrow(typ);
  } else {
    raise_error(PyExc_TypeError,
                "exceptions must be classes or instances deriving from BaseException, not %s",
                tp_name(typ));
  }
  // The traceback goes on the instance itself, whatever attribute a subclass defines.
  if (!tb.is_none() && PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0) throw nb::python_error();
  return exc;
}

// A RuntimeWarning about an awaitable dropped before it ran; raises when the warning filters
// turn it into an error. nanobind has no warnings API.
void warn_never_awaited(const nb::str& message) {
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw nb::python_error();
}

// "<kind object qualname at 0x...>": the %p of CPython's own reprs, which nanobind's
// formatting has no equivalent for.
PyObject* repr_of(const char* kind, nb::handle qualname, nb::handle self) {
  return PyUnicode_FromFormat("<%s object %U at %p>", kind, qualname.ptr(), self.ptr());
}

// sys.get_asyncgen_hooks as the interpreter's sys namespace holds it now, or an invalid object
// when it has none. The namespace (the sys module's dict, which lives as long as the
// interpreter) and the key are taken once at load, so that the first pull of every stream is
// one dict lookup.
nb::handle g_sys_dict;
nb::handle g_get_asyncgen_hooks;

nb::object asyncgen_hooks_getter() {
  return nb::borrow<nb::dict>(g_sys_dict).get(g_get_asyncgen_hooks, nb::handle());
}

// Empties `o` before its object is released, as Py_CLEAR does: releasing may run code that
// comes back here.
void drop(nb::object& o) {
  if (o) nb::object gone = std::move(o);
}

// ---------------------------------------------------------------------------------------------
// Python objects that hold a C++ value: a type made by make_type<T> has this layout, and its
// traversal, clearing and deallocation come from T. T keeps its references in nb::object
// members and says what it holds through traverse() and clear().

template <class T>
struct Instance {
  PyObject ob_base;
  T value;
};

template <class T>
T& of(nb::handle self) {
  return reinterpret_cast<Instance<T>*>(self.ptr())->value;
}

template <class T, class... Args>
nb::object create(PyTypeObject* tp, Args&&... args) {
  PyObject* o = tp->tp_alloc(tp, 0);
  if (!o) throw nb::python_error();
  new (&reinterpret_cast<Instance<T>*>(o)->value) T(std::forward<Args>(args)...);
  return nb::steal(o);
}

template <class T>
int traverse_slot(PyObject* self, visitproc visit_fn, void* arg) {
  // A heap type's instances keep their type alive.
  if (int rc = visit(visit_fn, arg, nb::handle(self).type())) return rc;
  return of<T>(self).traverse(visit_fn, arg);
}

template <class T>
int clear_slot(PyObject* self) {
  of<T>(self).clear();
  return 0;
}

// tp_finalize of a T that has finalize(self), called when has_last_word(): its last word before it
// goes (a warning, the loop's finalizer hook). The interpreter calls it once, on an object that is
// alive for the call (a deallocation resurrects it for the time being), so `self` may be handed to
// the unraisable hook; the pending exception, if any, is set aside.
template <class T>
void finalize_slot(PyObject* self) {
  if (!of<T>(self).has_last_word()) return;
  nb::error_scope saved;
  try {
    of<T>(self).finalize(self);
  } catch (nb::python_error& e) {
    e.discard_as_unraisable(self);
  } catch (const std::bad_alloc&) {
    restore(no_memory());
    nb::python_error().discard_as_unraisable(self);
  }
}

// Deallocation: the finalizer first where T has one (it may resurrect the object), then the
// garbage collector lets go, weak references die, T is destroyed, and the instance's
// reference to its heap type is released. These are the interpreter's own deallocation steps;
// nanobind has no part in them.
template <class T>
void dealloc_slot(PyObject* self) {
  PyTypeObject* tp = type_of(self);
  if constexpr (T::kFinalized) {
    // Only when the finalizer has something to do: most awaitables go without a word, and
    // resurrecting each for a call that returns at once would cost every event.
    if (of<T>(self).has_last_word() && PyObject_CallFinalizerFromDealloc(self) < 0) return;
  }
  PyObject_GC_UnTrack(self);
  if constexpr (T::kWeakrefs) PyObject_ClearWeakRefs(self);
  of<T>(self).~T();
  tp->tp_free(self);
  Py_DECREF(tp);
}

constexpr unsigned long kTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A heap type for T with the given slots and those make_type adds from T. The slots are read
// here; the method and getset tables they point to are static.
template <class T>
PyTypeObject* make_type(const char* name, unsigned long flags,
                        std::initializer_list<PyType_Slot> own) {
  std::vector<PyType_Slot> slots(own);
  slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(traverse_slot<T>)});
  slots.push_back({Py_tp_clear, reinterpret_cast<void*>(clear_slot<T>)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<T>)});
  if constexpr (T::kFinalized) {
    slots.push_back({Py_tp_finalize, reinterpret_cast<void*>(finalize_slot<T>)});
  }
  slots.push_back({0, nullptr});
  PyType_Spec layout = {name, static_cast<int>(sizeof(Instance<T>)), 0,
                        static_cast<unsigned int>(flags), slots.data()};
  return reinterpret_cast<PyTypeObject*>(nb::detail::raise_if_null(PyType_FromSpec(&layout)));
}

// ---------------------------------------------------------------------------------------------
// The edge: one set of slot wrappers for every awaitable. An awaitable T has
//   Sent send(nb::handle value)   send(value) and __next__ (value None)
//   Sent throw_(nb::handle exc)   throw() with the exception built from its arguments
//   Sent close()                  close(): Return means closed, Raise an exception
// and the doc strings of the three methods.

// What send() and __next__ hand the interpreter: the value yielded, or nullptr with
// StopIteration(value) or the exception raised. `plain_end`: __next__ ends with None by
// returning nullptr without an exception, as an exhausted iterator does.
PyObject* to_python(Sent&& r, bool plain_end) {
  switch (r.kind) {
    case Sent::Next:
      return r.value.release().ptr();
    case Sent::Return:
      if (r.value.is_none()) {
        if (!plain_end) PyErr_SetObject(PyExc_StopIteration, nullptr);
      } else if (!nb::isinstance<nb::tuple>(r.value) && !PyExceptionInstance_Check(r.value.ptr())) {
        // The interpreter makes StopIteration(value) itself, as a raise statement would; this
        // is every event of the stream, so it goes the shortest way, as CPython's own
        // generators do.
        PyErr_SetObject(PyExc_StopIteration, r.value.ptr());
      } else {
        // A tuple or an exception is wrapped in an instance first, so that it is not unpacked
        // or raised in its own right.
        nb::object stop = nb::handle(PyExc_StopIteration)(r.value);
        PyErr_SetObject(PyExc_StopIteration, stop.ptr());
      }
      return nullptr;
    case Sent::Raise:
      restore(std::move(r.value));
      return nullptr;
  }
  return nullptr;
}

// Runs the body of a slot: what it throws is raised in the interpreter, and the slot returns
// `failed`, its own way of saying so.
template <class R, class Fn>
R guarded(R failed, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    restore(no_memory());
  }
  return failed;
}

template <class Fn>
PyObject* guarded(Fn&& fn) noexcept {
  return guarded<PyObject*>(nullptr, std::forward<Fn>(fn));
}

template <class T>
PyObject* send_slot(PyObject* self, PyObject* arg) {
  return guarded([&] { return to_python(of<T>(self).send(arg), false); });
}

template <class T>
PyObject* next_slot(PyObject* self) {
  return guarded([&] { return to_python(of<T>(self).send(Py_None), true); });
}

template <class T>
PySendResult am_send_slot(PyObject* self, PyObject* arg, PyObject** result) {
  *result = nullptr;
  return guarded(PYGEN_ERROR, [&] {
    Sent r = of<T>(self).send(arg ? arg : Py_None);
    switch (r.kind) {
      case Sent::Next:
        *result = r.value.release().ptr();
        return PYGEN_NEXT;
      case Sent::Return:
        *result = r.value.release().ptr();
        return PYGEN_RETURN;
      case Sent::Raise:
        restore(std::move(r.value));
        break;
    }
    return PYGEN_ERROR;
  });
}

template <class T>
PyObject* throw_slot(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    nb::object exc =
        exception_from(nargs, nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : Py_None,
                       nargs > 2 ? args[2] : Py_None, "throw");
    return to_python(of<T>(self).throw_(exc), false);
  });
}

template <class T>
PyObject* close_slot(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Sent r = of<T>(self).close();
    if (r.kind == Sent::Raise) return to_python(std::move(r), false);
    return r.value.release().ptr();
  });
}

template <class T>
PyMethodDef awaitable_methods[] = {
    {"send", send_slot<T>, METH_O, T::kSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_slot<T>)),
     METH_FASTCALL, T::kThrowDoc},
    {"close", close_slot<T>, METH_NOARGS, T::kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
PyObject* qualname_getter(PyObject* self, void*) {
  return object_edge([&] { return of<T>(self).qualname(); });
}

template <class T>
PyObject* running_getter(PyObject* self, void*) {
  return object_edge([&] { return nb::bool_(of<T>(self).running()); });
}

// ---------------------------------------------------------------------------------------------
// Driver: runs a frame and delegates to the iterator it awaits ("yield from").

class Driver {
 public:
  enum class Outcome { Pass, Yielded, Returned, Failed };
  // Pass: the awaited iterator yielded `value` (for the event loop); Yielded: the body yielded
  // `value` (an event); Returned: the body finished with `value`; Failed: `value` is the
  // exception the body ended with.
  struct Resumed {
    Outcome outcome;
    nb::object value;
  };

  Driver(std::unique_ptr<Frame> frame, bool async_gen)
      : m_frame(std::move(frame)), m_async_gen(async_gen) {}
  ~Driver() { clear(); }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  bool finished() const { return !m_frame; }
  bool started() const { return m_started; }
  bool running() const { return m_running; }

  // Resumes with `value` sent in or, when `exc` is set, with that exception thrown in.
  // `close_on_exit` closes an awaited iterator instead of throwing GeneratorExit into it
  // (coroutines do, async generators do not). Callers check running() and finished() first.
  Resumed resume(nb::handle value, nb::handle exc, bool close_on_exit);

  // Ends the body without running it further (frame and awaited iterator dropped).
  void clear();
  int traverse(visitproc visit_fn, void* arg);

 private:
  Resumed run_frame(nb::handle value, nb::handle thrown);
  Step resume_body(nb::handle value, nb::object& exc) noexcept;
  Sent throw_into_sub(nb::handle exc, bool close_on_exit);

  std::unique_ptr<Frame> m_frame;
  nb::object m_sub;  // the __await__ iterator being delegated to
  bool m_started = false;
  bool m_running = false;
  bool m_convert_stop = true;  // StopIteration out of the body becomes RuntimeError
  bool m_async_gen;            // error texts and StopAsyncIteration handling of async generators
};

void Driver::clear() {
  if (!m_sub && !m_frame) return;
  // Dropping the frame may run arbitrary code through deallocators.
  nb::error_scope saved;
  drop(m_sub);
  std::unique_ptr<Frame> frame = std::move(m_frame);
  frame.reset();
}

int Driver::traverse(visitproc visit_fn, void* arg) {
  if (int rc = visit(visit_fn, arg, m_sub)) return rc;
  return m_frame ? m_frame->traverse(visit_fn, arg) : 0;
}

// close() of an awaited iterator, as CPython's gen_close_iter: Return when closed (or when it
// has no close()), Raise with what close() raised.
Sent close_iter(nb::handle it) {
  nb::object meth;
  try {
    meth = optional_attr(it, g_names.close);
  } catch (nb::python_error& e) {
    e.discard_as_unraisable(it);
  }
  if (!meth) return returned_none();
  Sent r = capture([&] { return meth(); });
  return r.kind == Sent::Raise ? std::move(r) : returned_none();
}

Sent Driver::throw_into_sub(nb::handle exc, bool close_on_exit) {
  if (close_on_exit && matches(exc, PyExc_GeneratorExit)) {
    Sent closed = close_iter(m_sub);
    return closed.kind == Sent::Raise ? std::move(closed) : raised(nb::borrow(exc));
  }
  nb::object meth;
  try {
    meth = optional_attr(m_sub, g_names.throw_);
    // An iterator without throw(): the exception is raised at the await itself.
    if (!meth) return raised(nb::borrow(exc));
    return {Sent::Next, meth(exc)};
  } catch (nb::python_error& e) {
    if (!meth || !e.matches(PyExc_StopIteration)) return raised(nb::borrow(e.value()));
    Sent value = capture([&] { return nb::getattr(e.value(), "value"); });
    if (value.kind == Sent::Next) value.kind = Sent::Return;
    return value;
  } catch (const std::bad_alloc&) {
    return raised(no_memory());
  }
}

Driver::Resumed Driver::resume(nb::handle value, nb::handle exc, bool close_on_exit) {
  // An exception thrown in before the body ever ran is raised as it is, as CPython does for a
  // frame that has not started: the body did not raise it, so nothing is converted.
  m_convert_stop = m_started || !exc;
  m_started = true;
  m_running = true;
  struct NotRunning {
    bool& running;
    ~NotRunning() { running = false; }
  } not_running{m_running};
  if (!m_sub) return run_frame(value, exc);
  Sent r = exc ? throw_into_sub(exc, close_on_exit) : send_into(m_sub, value);
  if (r.kind == Sent::Next) return {Outcome::Pass, std::move(r.value)};
  drop(m_sub);
  if (r.kind == Sent::Return) return run_frame(r.value, nb::handle());
  return run_frame(nb::handle(), r.value);
}

// One resumption of the body: its step or, when it raises, a Return without a value and the
// exception in `exc`. The frames speak nanobind's python_error; here it becomes a value.
Step Driver::resume_body(nb::handle value, nb::object& exc) noexcept {
  try {
    return m_frame->resume(value);
  } catch (nb::python_error& e) {
    exc = nb::borrow(e.value());
  } catch (const std::bad_alloc&) {
    exc = no_memory();
  }
  return {StepKind::Return, nb::object()};
}

// Runs the body from its suspension point, with `value` (borrowed) as what the point produced,
// or with `thrown` raised there, which ends the body where it is: none of the bodies has
// clean-up of its own.
Driver::Resumed Driver::run_frame(nb::handle value, nb::handle thrown) {
  nb::object held;  // what an awaited iterator returned, while the body reads it
  nb::object exc;   // what the body ends with
  if (thrown) exc = nb::borrow(thrown);
  for (;;) {
    Step s = exc ? Step{StepKind::Return, nb::object()} : resume_body(value, exc);
    drop(held);
    if (exc) {
      // A body must not end its caller's iteration: StopIteration (and, out of an async
      // generator, StopAsyncIteration) becomes a RuntimeError caused by it, as CPython does.
      const char* converted = nullptr;
      if (!m_convert_stop) {
        // nothing to convert
      } else if (matches(exc, PyExc_StopIteration)) {
        converted =
            m_async_gen ? "async generator raised StopIteration" : "coroutine raised StopIteration";
      } else if (m_async_gen && matches(exc, PyExc_StopAsyncIteration)) {
        converted = "async generator raised StopAsyncIteration";
      }
      if (converted) {
        exc = capture([&] {
                nb::object err = nb::handle(PyExc_RuntimeError)(converted);
                err.attr("__cause__") = exc;
                err.attr("__context__") = exc;
                return err;
              }).value;
      }
      clear();
      return {Outcome::Failed, std::move(exc)};
    }
    switch (s.kind) {
      case StepKind::Yield:
        return {Outcome::Yielded, std::move(s.obj)};
      case StepKind::Return:
        clear();
        return {Outcome::Returned, std::move(s.obj)};
      case StepKind::Await: {
        Sent it = capture([&] { return awaitable_iter(s.obj); });
        drop(s.obj);
        if (it.kind == Sent::Raise) {
          exc = std::move(it.value);
          continue;
        }
        Sent r = send_into(it.value, Py_None);
        if (r.kind == Sent::Next) {
          m_sub = std::move(it.value);
          return {Outcome::Pass, std::move(r.value)};
        }
        drop(it.value);
        if (r.kind == Sent::Return) {
          held = std::move(r.value);
          value = held;
        } else {
          exc = std::move(r.value);
        }
        continue;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Coroutine: what _emit, _execute_tool, _execute_bash and _execute_text_editor return.

class Coroutine {
 public:
  static constexpr bool kFinalized = true;
  static constexpr bool kWeakrefs = false;
  static constexpr const char* kSendDoc =
      "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
  static constexpr const char* kThrowDoc =
      "throw(value)\n\nRaise exception in coroutine, return next iterated value or "
      "raise\nStopIteration.";
  static constexpr const char* kCloseDoc = "close() -> raise GeneratorExit inside coroutine.";

  Coroutine(std::unique_ptr<Frame> frame, nb::handle qualname)
      : m_driver(std::move(frame), false), m_qualname(nb::borrow(qualname)) {}

  Sent send(nb::handle value) { return step(value, nb::handle()); }
  Sent throw_(nb::handle exc) { return step(nb::handle(), exc); }

  Sent close() {
    if (m_driver.finished()) return returned_none();
    if (m_driver.running()) return raised(new_error(PyExc_ValueError, kCoroRunning));
    if (!m_driver.started()) {
      // Never started: nothing ran, so nothing needs to unwind.
      m_driver.clear();
      return returned_none();
    }
    Driver::Resumed r = m_driver.resume(nb::handle(), new_error(PyExc_GeneratorExit), true);
    switch (r.outcome) {
      case Driver::Outcome::Pass:
      case Driver::Outcome::Yielded:
        return raised(new_error(PyExc_RuntimeError, kCoroIgnoredExit));
      case Driver::Outcome::Returned:
        return returned_none();
      case Driver::Outcome::Failed:
        break;
    }
    if (matches(r.value, PyExc_GeneratorExit) || matches(r.value, PyExc_StopIteration)) {
      return returned_none();
    }
    return raised(std::move(r.value));
  }

  // A coroutine dropped before it ever ran is almost always a missing `await`.
  bool has_last_word() const { return !m_driver.started() && !m_driver.finished() && m_qualname; }
  void finalize(nb::handle) {
    if (!has_last_word()) return;
    warn_never_awaited(nb::str("coroutine '{}' was never awaited").format(m_qualname));
  }

  int traverse(visitproc visit_fn, void* arg) { return m_driver.traverse(visit_fn, arg); }
  void clear() { m_driver.clear(); }

  nb::object qualname() const { return m_qualname; }
  bool running() const { return m_driver.running(); }

 private:
  // send() and throw() in one, as CPython's gen_send_ex2 for a coroutine.
  Sent step(nb::handle value, nb::handle exc) {
    if (m_driver.running()) return raised(new_error(PyExc_ValueError, kCoroRunning));
    if (m_driver.finished()) return raised(new_error(PyExc_RuntimeError, kCoroReused));
    if (!exc && !m_driver.started() && !value.is_none()) {
      return raised(new_error(PyExc_TypeError, kNonInitCoro));
    }
    Driver::Resumed r = m_driver.resume(value, exc, true);
    switch (r.outcome) {
      case Driver::Outcome::Pass:
      case Driver::Outcome::Yielded:
        return {Sent::Next, std::move(r.value)};
      case Driver::Outcome::Returned:
        return {Sent::Return, std::move(r.value)};
      case Driver::Outcome::Failed:
        break;
    }
    return raised(std::move(r.value));
  }

  Driver m_driver;
  nb::object m_qualname;
};

// What coro.__await__() returns: an iterator over the coroutine, like CPython's
// coroutine_wrapper (a coroutine itself is awaitable but not an iterator).
class CoroutineWrapper {
 public:
  static constexpr bool kFinalized = false;
  static constexpr bool kWeakrefs = false;
  static constexpr const char* kSendDoc = nullptr;
  static constexpr const char* kThrowDoc = nullptr;
  static constexpr const char* kCloseDoc = nullptr;

  explicit CoroutineWrapper(nb::handle coro) : m_coro(nb::borrow(coro)) {}

  Sent send(nb::handle value) { return coro().send(value); }
  Sent throw_(nb::handle exc) { return coro().throw_(exc); }
  Sent close() { return coro().close(); }

  int traverse(visitproc visit_fn, void* arg) { return visit(visit_fn, arg, m_coro); }
  void clear() { drop(m_coro); }

 private:
  Coroutine& coro() { return of<Coroutine>(m_coro); }
  nb::object m_coro;
};

PyObject* coro_await(PyObject* self) {
  return object_edge([&] { return create<CoroutineWrapper>(g_wrapper_type, self); });
}

PyObject* coro_repr(PyObject* self) {
  return repr_of("coroutine", of<Coroutine>(self).qualname(), self);
}

PyGetSetDef coro_getset[] = {
    {"__name__", qualname_getter<Coroutine>, nullptr, nullptr, nullptr},
    {"__qualname__", qualname_getter<Coroutine>, nullptr, nullptr, nullptr},
    {"cr_running", running_getter<Coroutine>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Async generator: what run_task returns.

class GenAwaitable;

class AsyncGenerator {
 public:
  static constexpr bool kFinalized = true;
  static constexpr bool kWeakrefs = true;

  AsyncGenerator(std::unique_ptr<Frame> frame, nb::handle qualname)
      : m_driver(std::move(frame), true), m_qualname(nb::borrow(qualname)) {}

  // Calls the loop's first-iteration hook once and keeps its finalizer, as CPython's
  // async_gen_init_hooks does: asyncio uses them to close generators left unfinished.
  void init_hooks(nb::handle self) {
    if (m_hooks_inited) return;
    m_hooks_inited = true;
    nb::object get_hooks = asyncgen_hooks_getter();
    if (!get_hooks) return;
    nb::object hooks = get_hooks();
    nb::object firstiter = hooks[0];
    nb::object finalizer = hooks[1];
    if (!finalizer.is_none()) m_finalizer = std::move(finalizer);
    if (!firstiter.is_none()) firstiter(self);
  }

  // An unfinished generator that the loop knows about is handed to the loop's finalizer,
  // which schedules aclose(); the body holds no clean-up of its own, so without a finalizer
  // dropping it is enough.
  bool has_last_word() const { return !m_driver.finished() && m_finalizer && !m_closed; }
  void finalize(nb::handle self) {
    if (!has_last_word()) return;
    nb::object finalizer = m_finalizer;
    finalizer(self);
  }

  int traverse(visitproc visit_fn, void* arg) {
    if (int rc = visit(visit_fn, arg, m_finalizer)) return rc;
    return m_driver.traverse(visit_fn, arg);
  }
  void clear() {
    drop(m_finalizer);
    m_driver.clear();
  }

  nb::object qualname() const { return m_qualname; }
  bool running() const { return m_driver.running(); }

 private:
  friend class GenAwaitable;

  // Resumes the body, as CPython's gen_send_ex2 does for an async generator.
  Driver::Resumed resume(nb::handle value, nb::handle exc, bool close_on_exit) {
    if (m_driver.finished()) {
      if (!exc) return {Driver::Outcome::Returned, nb::none()};
      return {Driver::Outcome::Failed, nb::borrow(exc)};
    }
    if (m_driver.running()) {
      return {Driver::Outcome::Failed,
              new_error(PyExc_ValueError, "async generator already executing")};
    }
    if (!exc && !value.is_none() && !m_driver.started()) {
      return {Driver::Outcome::Failed, new_error(PyExc_TypeError, kNonInitAgen)};
    }
    return m_driver.resume(value, exc, close_on_exit);
  }

  Driver m_driver;
  nb::object m_qualname;
  nb::object m_finalizer;  // asyncio's (or another loop's) finalizer hook, kept at first use
  bool m_hooks_inited = false;
  bool m_closed = false;  // aclose() started, or the body ended by StopAsyncIteration/GeneratorExit
  bool m_running_async = false;  // an asend/athrow awaitable is being iterated
};

// The awaitable of __anext__/asend (Send), athrow (Throw) and aclose (Close): one state
// machine, as CPython's async_gen_asend and async_gen_athrow are between them. The two Python
// types (async_generator_asend, async_generator_athrow) share it.
class GenAwaitable {
 public:
  enum class Mode { Send, Throw, Close };
  static constexpr bool kFinalized = true;
  static constexpr bool kWeakrefs = false;
  static constexpr const char* kSendDoc =
      "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration.";
  static constexpr const char* kThrowDoc =
      "throw(value)\n\nRaise exception in generator, return next yielded value or "
      "raise\nStopIteration.";
  static constexpr const char* kCloseDoc = "close() -> raise GeneratorExit inside generator.";

  // `arg`: the value to send (Send), athrow()'s argument tuple (Throw), nothing (Close).
  GenAwaitable(nb::handle gen, Mode mode, nb::handle arg)
      : m_gen(nb::borrow(gen)), m_arg(nb::borrow(arg)), m_mode(mode) {}

  Sent send(nb::handle value) {
    if (m_state == State::Closed) return reused();
    AsyncGenerator& g = gen();
    if (m_mode == Mode::Send) {
      if (m_state == State::Init) {
        if (g.m_running_async) return already_running();
        if (value.is_none()) value = m_arg;
        m_state = State::Iter;
      }
      g.m_running_async = true;
      return finish(g.resume(value, nb::handle(), false));
    }
    if (g.m_driver.finished()) {
      m_state = State::Closed;
      return returned_none();
    }
    if (m_state == State::Iter) return finish(g.resume(value, nb::handle(), false));
    if (g.m_running_async) return already_running();
    if (g.m_closed) {
      m_state = State::Closed;
      return raised(new_error(PyExc_StopAsyncIteration));
    }
    if (!value.is_none()) return raised(new_error(PyExc_RuntimeError, kNonInitCoro));
    m_state = State::Iter;
    g.m_running_async = true;
    nb::object exc;
    if (m_mode == Mode::Close) {
      g.m_closed = true;
      exc = new_error(PyExc_GeneratorExit);
    } else {
      // athrow() took one to three arguments; the missing ones are None.
      nb::handle item[3] = {Py_None, Py_None, Py_None};
      Py_ssize_t n = 0;
      for (nb::handle h : nb::borrow<nb::tuple>(m_arg)) item[n++] = h;
      Sent built = capture([&] { return exception_from(n, item[0], item[1], item[2], "athrow"); });
      if (built.kind == Sent::Raise) {
        g.m_running_async = false;
        m_state = State::Closed;
        return built;
      }
      exc = std::move(built.value);
    }
    return finish(g.resume(nb::handle(), exc, false));
  }

  Sent throw_(nb::handle exc) {
    if (m_state == State::Closed) return reused();
    if (m_state == State::Init) {
      if (gen().m_running_async) return already_running();
      m_state = State::Iter;
      gen().m_running_async = true;
    }
    return finish(gen().resume(nb::handle(), exc, true));
  }

  // GeneratorExit is thrown in; the stream ending or the exit coming back out means closed,
  // anything else yielded means the exit was ignored.
  Sent close() {
    if (m_state == State::Closed) return returned_none();
    nb::object exit = nb::handle(PyExc_GeneratorExit)();
    Sent r = throw_(exit);
    switch (r.kind) {
      case Sent::Next:
        return raised(new_error(PyExc_RuntimeError, kCoroIgnoredExit));
      case Sent::Return:
        return returned_none();
      case Sent::Raise:
        break;
    }
    if (matches(r.value, PyExc_StopIteration) || ends_stream(r.value)) return returned_none();
    return r;
  }

  // An awaitable dropped before its first step never did its work: say so, as CPython does.
  bool has_last_word() const { return m_state == State::Init && m_gen; }
  void finalize(nb::handle) {
    if (!has_last_word()) return;
    static const char* const kMethod[] = {"asend", "athrow", "aclose"};
    warn_never_awaited(nb::str("coroutine method '{}' of '{}' was never awaited")
                           .format(kMethod[static_cast<int>(m_mode)], gen().m_qualname));
  }

  int traverse(visitproc visit_fn, void* arg) {
    if (int rc = visit(visit_fn, arg, m_gen)) return rc;
    return visit(visit_fn, arg, m_arg);
  }
  void clear() {
    drop(m_gen);
    drop(m_arg);
  }

 private:
  enum class State { Init, Iter, Closed };

  AsyncGenerator& gen() { return of<AsyncGenerator>(m_gen); }

  Sent reused() const {
    return raised(
        new_error(PyExc_RuntimeError, m_mode == Mode::Send
                                          ? "cannot reuse already awaited __anext__()/asend()"
                                          : "cannot reuse already awaited aclose()/athrow()"));
  }

  // Refused while another awaitable of the generator is being iterated; this one is spent.
  Sent already_running() {
    static const char* const kName[] = {"anext", "athrow", "aclose"};
    m_state = State::Closed;
    return raised(new_error(PyExc_RuntimeError, "%s(): asynchronous generator is already running",
                            kName[static_cast<int>(m_mode)]));
  }

  // What the generator's answer means to this awaitable's caller. asend() and athrow(), as
  // CPython's async_gen_unwrap_value: an event becomes StopIteration(event), the end of the
  // body StopAsyncIteration. aclose(): an event means the body ignored the GeneratorExit, its
  // end (StopAsyncIteration or GeneratorExit) that closing is done. A future the body awaits
  // is passed through to the loop either way.
  Sent finish(Driver::Resumed&& r) {
    if (r.outcome == Driver::Outcome::Pass) return {Sent::Next, std::move(r.value)};
    AsyncGenerator& g = gen();
    g.m_running_async = false;
    m_state = State::Closed;
    if (m_mode == Mode::Close) {
      switch (r.outcome) {
        case Driver::Outcome::Yielded:
          return raised(new_error(PyExc_RuntimeError, kIgnoredExit));
        case Driver::Outcome::Returned:
          return returned_none();
        default:
          return ends_stream(r.value) ? returned_none() : raised(std::move(r.value));
      }
    }
    switch (r.outcome) {
      case Driver::Outcome::Yielded:
        return {Sent::Return, std::move(r.value)};
      case Driver::Outcome::Returned:
        r.value = new_error(PyExc_StopAsyncIteration);
        break;
      default:
        break;
    }
    if (ends_stream(r.value)) g.m_closed = true;
    return raised(std::move(r.value));
  }

  nb::object m_gen;
  nb::object m_arg;
  Mode m_mode;
  State m_state = State::Init;
};

nb::object new_gen_awaitable(PyObject* self, GenAwaitable::Mode mode, nb::handle arg) {
  of<AsyncGenerator>(self).init_hooks(self);
  PyTypeObject* tp = mode == GenAwaitable::Mode::Send ? g_asend_type : g_athrow_type;
  return create<GenAwaitable>(tp, self, mode, arg);
}

PyObject* agen_anext(PyObject* self) {
  return object_edge([&] { return new_gen_awaitable(self, GenAwaitable::Mode::Send, Py_None); });
}

PyObject* agen_asend(PyObject* self, PyObject* value) {
  return object_edge([&] { return new_gen_awaitable(self, GenAwaitable::Mode::Send, value); });
}

PyObject* agen_athrow(PyObject* self, PyObject* args) {
  return object_edge([&] {
    nb::tuple t = nb::borrow<nb::tuple>(args);
    if (t.size() < 1 || t.size() > 3) {
      raise_error(PyExc_TypeError, "athrow expected at least 1 argument, got %zd",
                  static_cast<Py_ssize_t>(t.size()));
    }
    return new_gen_awaitable(self, GenAwaitable::Mode::Throw, args);
  });
}

PyObject* agen_aclose(PyObject* self, PyObject*) {
  return object_edge(
      [&] { return new_gen_awaitable(self, GenAwaitable::Mode::Close, nb::handle()); });
}

PyObject* agen_repr(PyObject* self) {
  return repr_of("async_generator", of<AsyncGenerator>(self).qualname(), self);
}

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", agen_athrow, METH_VARARGS, "athrow(value)\n\nRaise exception in generator."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", qualname_getter<AsyncGenerator>, nullptr, nullptr, nullptr},
    {"__qualname__", qualname_getter<AsyncGenerator>, nullptr, nullptr, nullptr},
    {"ag_running", running_getter<AsyncGenerator>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Fn>
void* slot_fn(Fn* fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace

void init_async_types() {
  g_sys_dict = nb::getattr(nb::module_::import_("sys"), "__dict__").release();
  g_get_asyncgen_hooks = nb::str("get_asyncgen_hooks").release();
  g_coro_type = make_type<Coroutine>("talmek.core.steerix.coroutine", kTypeFlags,
                                     {{Py_am_await, slot_fn(coro_await)},
                                      {Py_am_send, slot_fn(am_send_slot<Coroutine>)},
                                      {Py_tp_methods, awaitable_methods<Coroutine>},
                                      {Py_tp_getset, coro_getset},
                                      {Py_tp_repr, slot_fn(coro_repr)}});
  g_wrapper_type =
      make_type<CoroutineWrapper>("talmek.core.steerix.coroutine_wrapper", kTypeFlags,
                                  {{Py_am_send, slot_fn(am_send_slot<CoroutineWrapper>)},
                                   {Py_tp_iter, slot_fn(PyObject_SelfIter)},
                                   {Py_tp_iternext, slot_fn(next_slot<CoroutineWrapper>)},
                                   {Py_tp_methods, awaitable_methods<CoroutineWrapper>}});
  g_agen_type = make_type<AsyncGenerator>("talmek.core.steerix.async_generator",
                                          kTypeFlags | Py_TPFLAGS_MANAGED_WEAKREF,
                                          {{Py_am_aiter, slot_fn(PyObject_SelfIter)},
                                           {Py_am_anext, slot_fn(agen_anext)},
                                           {Py_tp_methods, agen_methods},
                                           {Py_tp_getset, agen_getset},
                                           {Py_tp_repr, slot_fn(agen_repr)}});
  // asend and athrow are one awaitable under two names.
  for (auto [type, name] :
       {std::pair{&g_asend_type, "talmek.core.steerix.async_generator_asend"},
        std::pair{&g_athrow_type, "talmek.core.steerix.async_generator_athrow"}}) {
    *type = make_type<GenAwaitable>(name, kTypeFlags,
                                    {{Py_am_await, slot_fn(PyObject_SelfIter)},
                                     {Py_tp_iter, slot_fn(PyObject_SelfIter)},
                                     {Py_tp_iternext, slot_fn(next_slot<GenAwaitable>)},
                                     {Py_tp_methods, awaitable_methods<GenAwaitable>}});
  }
  nb::module_ abc = nb::module_::import_("collections.abc");
  abc.attr("Coroutine").attr("register")(nb::handle(reinterpret_cast<PyObject*>(g_coro_type)));
  abc.attr("AsyncGenerator").attr("register")(nb::handle(reinterpret_cast<PyObject*>(g_agen_type)));
}

nb::object new_coroutine(std::unique_ptr<Frame> frame, nb::handle qualname) {
  return create<Coroutine>(g_coro_type, std::move(frame), qualname);
}

nb::object new_async_gen(std::unique_ptr<Frame> frame, nb::handle qualname) {
  return create<AsyncGenerator>(g_agen_type, std::move(frame), qualname);
}

}  // namespace talmek::steerix
