// Native coroutines and asynchronous generators (see async_gen.h). The protocol details (error
// texts, the INIT/ITER/CLOSED states of the awaitables returned by asend/athrow/aclose, the
// first-iteration and finalizer hooks) follow CPython's Objects/genobject.c, so that asyncio and
// any other caller see no difference from a generator written in Python.
#include "steerix/async_gen.h"

#include <new>

namespace talmek::steerix {

namespace {

const char* const kNonInitCoro = "can't send non-None value to a just-started coroutine";
const char* const kNonInitAgen = "can't send non-None value to a just-started async generator";
const char* const kIgnoredExit = "async generator ignored GeneratorExit";

PyTypeObject* g_coro_type = nullptr;
PyTypeObject* g_agen_type = nullptr;
PyTypeObject* g_asend_type = nullptr;
PyTypeObject* g_athrow_type = nullptr;

// Runs `fn` with the current exception (if any) saved and restored around it: dropping a frame
// may run arbitrary code through deallocators.
template <class Fn>
void preserving_error(Fn&& fn) {
  PyObject* exc = PyErr_GetRaisedException();
  fn();
  PyErr_SetRaisedException(exc);
}

// Sets StopIteration carrying `value` (which may itself be a tuple or an exception).
void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  // Wrap the value in an instance so that a tuple or an exception value is not unpacked or
  // raised in its own right.
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
  if (!exc) return;
  PyErr_SetObject(PyExc_StopIteration, exc);
  Py_DECREF(exc);
}

// Replaces the pending StopIteration (or StopAsyncIteration) escaping from a body by a
// RuntimeError caused by it, as CPython does: a body must not end its caller's iteration.
void convert_stop_iteration(const char* msg) {
  PyObject* cause = PyErr_GetRaisedException();
  PyObject* err = PyObject_CallFunction(PyExc_RuntimeError, "s", msg);
  if (!err) {
    Py_DECREF(cause);
    return;
  }
  PyException_SetCause(err, Py_NewRef(cause));
  PyException_SetContext(err, cause);
  PyErr_SetRaisedException(err);
}

// close() of an awaited iterator, as CPython's gen_close_iter.
int close_iter(PyObject* it) {
  PyObject* meth = nullptr;
  if (PyObject_GetOptionalAttr(it, g_names.close.ptr(), &meth) < 0) PyErr_WriteUnraisable(it);
  if (!meth) return 0;
  PyObject* r = PyObject_CallNoArgs(meth);
  Py_DECREF(meth);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

// Builds the exception of throw()/athrow() arguments: an instance, or a class with an optional
// value. Returns a new reference or nullptr with TypeError set.
PyObject* exception_from_args(PyObject* const* args, Py_ssize_t nargs, const char* func) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", func, nargs);
    return nullptr;
  }
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  if (tb != Py_None && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject* exc = nullptr;
  if (PyExceptionClass_Check(typ)) {
    if (val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
      exc = Py_NewRef(val);
    } else if (val == Py_None) {
      exc = PyObject_CallNoArgs(typ);
    } else if (PyTuple_Check(val)) {
      exc = PyObject_Call(typ, val, nullptr);
    } else {
      exc = PyObject_CallOneArg(typ, val);
    }
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc)) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %s", typ,
                   Py_TYPE(exc)->tp_name);
      Py_DECREF(exc);
      return nullptr;
    }
  } else if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(typ);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return nullptr;
  }
  if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
    Py_DECREF(exc);
    return nullptr;
  }
  return exc;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Awaiting

PyObject* awaitable_iter(PyObject* obj) {
  if (PyCoro_CheckExact(obj)) return Py_NewRef(obj);
  PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
  if (!am || !am->am_await) {
    PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  PyObject* res = am->am_await(obj);
  if (!res) return nullptr;
  if (PyCoro_CheckExact(res)) {
    Py_DECREF(res);
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return nullptr;
  }
  if (!PyIter_Check(res)) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(res)->tp_name);
    Py_DECREF(res);
    return nullptr;
  }
  return res;
}

// ---------------------------------------------------------------------------------------------
// Driver

void Driver::clear() {
  if (!m_sub && !m_frame) return;
  preserving_error([&] {
    Py_CLEAR(m_sub);
    std::unique_ptr<Frame> frame = std::move(m_frame);
    frame.reset();
  });
}

int Driver::traverse(visitproc visit, void* arg) {
  Py_VISIT(m_sub);
  if (m_frame) return m_frame->traverse(visit, arg);
  return 0;
}

PySendResult Driver::throw_into_sub(bool close_on_exit, PyObject** res) {
  PyObject* exc = PyErr_GetRaisedException();
  if (close_on_exit && PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
    if (close_iter(m_sub) < 0) {
      Py_DECREF(exc);
      return PYGEN_ERROR;
    }
    PyErr_SetRaisedException(exc);
    return PYGEN_ERROR;
  }
  PyObject* meth = nullptr;
  if (PyObject_GetOptionalAttr(m_sub, g_names.throw_.ptr(), &meth) < 0) {
    Py_DECREF(exc);
    return PYGEN_ERROR;
  }
  if (!meth) {
    // An iterator without throw(): the exception is raised at the await itself.
    PyErr_SetRaisedException(exc);
    return PYGEN_ERROR;
  }
  PyObject* r = PyObject_CallOneArg(meth, exc);
  Py_DECREF(meth);
  Py_DECREF(exc);
  if (r) {
    *res = r;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject* stop = PyErr_GetRaisedException();
    PyObject* value = PyObject_GetAttrString(stop, "value");
    Py_DECREF(stop);
    if (!value) return PYGEN_ERROR;
    *res = value;
    return PYGEN_RETURN;
  }
  return PYGEN_ERROR;
}

Driver::Outcome Driver::resume(PyObject* value, bool close_on_exit, PyObject** out) {
  *out = nullptr;
  // An exception thrown in before the body ever ran is raised as it is, as CPython does for a
  // frame that has not started: the body did not raise it, so nothing is converted.
  m_convert_stop = m_started || value != nullptr;
  m_started = true;
  m_running = true;
  Outcome o;
  if (m_sub) {
    PyObject* res = nullptr;
    PySendResult r = value ? PyIter_Send(m_sub, value, &res) : throw_into_sub(close_on_exit, &res);
    if (r == PYGEN_NEXT) {
      m_running = false;
      *out = res;
      return Outcome::Pass;
    }
    Py_CLEAR(m_sub);
    o = run_frame(r == PYGEN_RETURN ? res : nullptr, out);
    Py_XDECREF(res);
  } else {
    o = run_frame(value, out);
  }
  m_running = false;
  return o;
}

// One resumption of the body, with what it throws raised in Python: the frames speak
// nanobind's exceptions, the protocol speaks the interpreter's error indicator. `value`
// nullptr (an exception thrown in) ends the body where it is suspended.
Step Driver::resume_frame(PyObject* value) {
  if (!value) return {StepKind::Return, nb::object()};
  try {
    return m_frame->resume(value);
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return {StepKind::Return, nb::object()};
}

Driver::Outcome Driver::run_frame(PyObject* value, PyObject** out) {
  PyObject* owned = nullptr;
  for (;;) {
    Step s = resume_frame(value);
    Py_XDECREF(owned);
    owned = nullptr;
    if (!s.obj) {
      // The body raised (a Return without a value is the error marker of resume_frame).
      if (!m_convert_stop) {
        // nothing to convert
      } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        convert_stop_iteration(m_async_gen ? "async generator raised StopIteration"
                                           : "coroutine raised StopIteration");
      } else if (m_async_gen && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
        convert_stop_iteration("async generator raised StopAsyncIteration");
      }
      clear();
      return Outcome::Failed;
    }
    switch (s.kind) {
      case StepKind::Yield:
        *out = s.obj.release().ptr();
        return Outcome::Yielded;
      case StepKind::Return:
        clear();
        *out = s.obj.release().ptr();
        return Outcome::Returned;
      case StepKind::Await: {
        PyObject* it = awaitable_iter(s.obj.ptr());
        s.obj = nb::object();
        if (!it) {
          value = nullptr;
          continue;
        }
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(it, Py_None, &res);
        if (r == PYGEN_NEXT) {
          m_sub = it;
          *out = res;
          return Outcome::Pass;
        }
        Py_DECREF(it);
        owned = res;
        value = r == PYGEN_RETURN ? res : nullptr;
        continue;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Coroutine: what _emit, _execute_tool, _execute_bash and _execute_text_editor return.

namespace {

struct CoroObject {
  PyObject ob_base;
  Driver* drv;
  PyObject* qualname;
};

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// send() and am_send in one: PYGEN_NEXT yields *result, PYGEN_RETURN returns it.
PySendResult coro_step(CoroObject* self, PyObject* arg, PyObject** result) {
  *result = nullptr;
  Driver& d = *self->drv;
  if (d.running()) {
    if (!arg) PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (d.finished()) {
    if (!arg) PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  if (arg && !d.started() && arg != Py_None) {
    PyErr_SetString(PyExc_TypeError, kNonInitCoro);
    return PYGEN_ERROR;
  }
  PyObject* out = nullptr;
  switch (d.resume(arg, true, &out)) {
    case Driver::Outcome::Pass:
    case Driver::Outcome::Yielded:
      *result = out;
      return PYGEN_NEXT;
    case Driver::Outcome::Returned:
      *result = out;
      return PYGEN_RETURN;
    case Driver::Outcome::Failed:
      break;
  }
  return PYGEN_ERROR;
}

PyObject* coro_result(PySendResult r, PyObject* value) {
  if (r == PYGEN_NEXT) return value;
  if (r == PYGEN_RETURN) {
    set_stop_iteration(value);
    Py_DECREF(value);
  }
  return nullptr;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return coro_step(as_coro(self), arg ? arg : Py_None, result);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  PyObject* v = nullptr;
  PySendResult r = coro_step(as_coro(self), arg, &v);
  return coro_result(r, v);
}

PyObject* coro_iternext(PyObject* self) {
  PyObject* v = nullptr;
  PySendResult r = coro_step(as_coro(self), Py_None, &v);
  if (r == PYGEN_RETURN && v == Py_None) {
    Py_DECREF(v);
    return nullptr;  // plain exhaustion
  }
  return coro_result(r, v);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* exc = exception_from_args(args, nargs, "throw");
  if (!exc) return nullptr;
  PyErr_SetRaisedException(exc);
  PyObject* v = nullptr;
  PySendResult r = coro_step(as_coro(self), nullptr, &v);
  return coro_result(r, v);
}

PyObject* coro_close(PyObject* self, PyObject*) {
  Driver& d = *as_coro(self)->drv;
  if (d.finished()) Py_RETURN_NONE;
  if (d.running()) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  if (!d.started()) {
    // Never started: nothing ran, so nothing needs to unwind.
    d.clear();
    Py_RETURN_NONE;
  }
  PyErr_SetNone(PyExc_GeneratorExit);
  PyObject* out = nullptr;
  switch (d.resume(nullptr, true, &out)) {
    case Driver::Outcome::Pass:
    case Driver::Outcome::Yielded:
      Py_DECREF(out);
      PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
      return nullptr;
    case Driver::Outcome::Returned:
      Py_DECREF(out);
      Py_RETURN_NONE;
    case Driver::Outcome::Failed:
      break;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

PyObject* self_await(PyObject* self) { return Py_NewRef(self); }

// What coro.__await__() returns: an iterator over the coroutine, like CPython's
// coroutine_wrapper (a coroutine itself is awaitable but not an iterator).
struct WrapperObject {
  PyObject ob_base;
  PyObject* coro;
};

PyTypeObject* g_wrapper_type = nullptr;

PyObject* wrapped(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coro; }

PyObject* coro_await(PyObject* self) {
  auto* w = reinterpret_cast<WrapperObject*>(g_wrapper_type->tp_alloc(g_wrapper_type, 0));
  if (!w) return nullptr;
  w->coro = Py_NewRef(self);
  return reinterpret_cast<PyObject*>(w);
}

PyObject* wrapper_iternext(PyObject* self) { return coro_iternext(wrapped(self)); }
PyObject* wrapper_send(PyObject* self, PyObject* arg) { return coro_send(wrapped(self), arg); }
PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return coro_am_send(wrapped(self), arg, result);
}
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coro_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coro_close(wrapped(self), nullptr); }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(wrapped(self));
  return 0;
}

int wrapper_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coro);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  wrapper_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Driver* d = as_coro(self)->drv;
  return d ? d->traverse(visit, arg) : 0;
}

int coro_clear(PyObject* self) {
  if (Driver* d = as_coro(self)->drv) d->clear();
  return 0;
}

void coro_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  CoroObject* c = as_coro(self);
  // A coroutine dropped before it ever ran is almost always a missing `await`.
  if (c->drv && !c->drv->started() && !c->drv->finished() && c->qualname) {
    PyObject* exc = PyErr_GetRaisedException();
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", c->qualname) <
        0) {
      PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(exc);
  }
  delete c->drv;
  c->drv = nullptr;
  Py_CLEAR(c->qualname);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }

PyObject* coro_get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coro(self)->drv->running());
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_am_send, reinterpret_cast<void*>(wrapper_am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "talmek.core.steerix.coroutine_wrapper",
    sizeof(WrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next iterated value or "
     "raise\nStopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_qualname, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "talmek.core.steerix.coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

// ---------------------------------------------------------------------------------------------
// Async generator: what run_task returns.

struct AGenObject {
  PyObject ob_base;
  Driver* drv;
  PyObject* qualname;
  PyObject* finalizer;  // asyncio's (or another loop's) finalizer hook, kept at first use
  bool hooks_inited;
  bool closed;         // aclose() started, or the body ended by StopAsyncIteration/GeneratorExit
  bool running_async;  // an asend/athrow awaitable is being iterated
};

AGenObject* as_agen(PyObject* o) { return reinterpret_cast<AGenObject*>(o); }

// Calls the loop's first-iteration hook once and keeps its finalizer, as CPython's
// async_gen_init_hooks does: asyncio uses them to close generators left unfinished.
int agen_init_hooks(AGenObject* g) {
  if (g->hooks_inited) return 0;
  g->hooks_inited = true;
  PyObject* get_hooks = PySys_GetObject("get_asyncgen_hooks");  // borrowed
  if (!get_hooks) return 0;
  PyObject* hooks = PyObject_CallNoArgs(get_hooks);
  if (!hooks) return -1;
  PyObject* firstiter = PySequence_GetItem(hooks, 0);
  PyObject* finalizer = firstiter ? PySequence_GetItem(hooks, 1) : nullptr;
  Py_DECREF(hooks);
  if (!finalizer) {
    Py_XDECREF(firstiter);
    return -1;
  }
  if (finalizer != Py_None) {
    Py_XSETREF(g->finalizer, finalizer);
  } else {
    Py_DECREF(finalizer);
  }
  int rc = 0;
  if (firstiter != Py_None) {
    PyObject* r = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject*>(g));
    if (!r) rc = -1;
    Py_XDECREF(r);
  }
  Py_DECREF(firstiter);
  return rc;
}

// Resumes the generator body, as CPython's gen_send_ex2 does for an async generator.
Driver::Outcome agen_resume(AGenObject* g, PyObject* value, bool close_on_exit, PyObject** out) {
  *out = nullptr;
  Driver& d = *g->drv;
  if (d.finished()) {
    if (value) {
      *out = Py_NewRef(Py_None);
      return Driver::Outcome::Returned;
    }
    return Driver::Outcome::Failed;  // the thrown exception stays set
  }
  if (d.running()) {
    if (!value) PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "async generator already executing");
    return Driver::Outcome::Failed;
  }
  if (value && value != Py_None && !d.started()) {
    PyErr_SetString(PyExc_TypeError, kNonInitAgen);
    return Driver::Outcome::Failed;
  }
  return d.resume(value, close_on_exit, out);
}

// async_gen_unwrap_value: an event becomes StopIteration(event) of the awaitable; the end of
// the body becomes StopAsyncIteration. Returns what the awaitable yields (a future passed
// through), or nullptr with an exception set; *done tells that the awaitable is finished.
PyObject* agen_unwrap(AGenObject* g, Driver::Outcome o, PyObject* out, bool* done) {
  *done = true;
  switch (o) {
    case Driver::Outcome::Pass:
      *done = false;
      return out;
    case Driver::Outcome::Yielded:
      g->running_async = false;
      set_stop_iteration(out);
      Py_DECREF(out);
      return nullptr;
    case Driver::Outcome::Returned:
      Py_DECREF(out);
      PyErr_SetNone(PyExc_StopAsyncIteration);
      break;
    case Driver::Outcome::Failed:
      break;
  }
  if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    g->closed = true;
  }
  g->running_async = false;
  return nullptr;
}

int agen_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  AGenObject* g = as_agen(self);
  Py_VISIT(g->finalizer);
  return g->drv ? g->drv->traverse(visit, arg) : 0;
}

int agen_clear(PyObject* self) {
  AGenObject* g = as_agen(self);
  Py_CLEAR(g->finalizer);
  if (g->drv) g->drv->clear();
  return 0;
}

// An unfinished generator that the loop knows about is handed to the loop's finalizer, which
// schedules aclose(); the body holds no clean-up of its own, so without a finalizer dropping
// it is enough.
void agen_finalize(PyObject* self) {
  AGenObject* g = as_agen(self);
  if (!g->drv || g->drv->finished() || !g->finalizer || g->closed) return;
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* finalizer = Py_NewRef(g->finalizer);
  PyObject* r = PyObject_CallOneArg(finalizer, self);
  Py_DECREF(finalizer);
  if (!r) {
    PyErr_WriteUnraisable(self);
  } else {
    Py_DECREF(r);
  }
  PyErr_SetRaisedException(exc);
}

void agen_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the finalizer
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  AGenObject* g = as_agen(self);
  Py_CLEAR(g->finalizer);
  delete g->drv;
  g->drv = nullptr;
  Py_CLEAR(g->qualname);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* agen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<async_generator object %U at %p>", as_agen(self)->qualname, self);
}

PyObject* agen_get_qualname(PyObject* self, void*) { return Py_NewRef(as_agen(self)->qualname); }

PyObject* agen_get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_agen(self)->drv->running());
}

PyObject* new_asend(AGenObject* g, PyObject* value);
PyObject* new_athrow(AGenObject* g, PyObject* exc_args);

PyObject* agen_anext(PyObject* self) {
  AGenObject* g = as_agen(self);
  if (agen_init_hooks(g) < 0) return nullptr;
  return new_asend(g, Py_None);
}

PyObject* agen_asend(PyObject* self, PyObject* value) {
  AGenObject* g = as_agen(self);
  if (agen_init_hooks(g) < 0) return nullptr;
  return new_asend(g, value);
}

PyObject* agen_athrow(PyObject* self, PyObject* args) {
  AGenObject* g = as_agen(self);
  if (PyTuple_GET_SIZE(args) < 1 || PyTuple_GET_SIZE(args) > 3) {
    PyErr_Format(PyExc_TypeError, "athrow expected at least 1 argument, got %zd",
                 PyTuple_GET_SIZE(args));
    return nullptr;
  }
  if (agen_init_hooks(g) < 0) return nullptr;
  return new_athrow(g, args);
}

PyObject* agen_aclose(PyObject* self, PyObject*) {
  AGenObject* g = as_agen(self);
  if (agen_init_hooks(g) < 0) return nullptr;
  return new_athrow(g, nullptr);
}

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", agen_athrow, METH_VARARGS, "athrow(value)\n\nRaise exception in generator."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", agen_get_qualname, nullptr, nullptr, nullptr},
    {"__qualname__", agen_get_qualname, nullptr, nullptr, nullptr},
    {"ag_running", agen_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot agen_slots[] = {
    {Py_am_aiter, reinterpret_cast<void*>(self_await)},
    {Py_am_anext, reinterpret_cast<void*>(agen_anext)},
    {Py_tp_methods, agen_methods},
    {Py_tp_getset, agen_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(agen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(agen_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(agen_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(agen_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(agen_repr)},
    {0, nullptr},
};

PyType_Spec agen_spec = {
    "talmek.core.steerix.async_generator",
    sizeof(AGenObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_MANAGED_WEAKREF,
    agen_slots,
};

// ---------------------------------------------------------------------------------------------
// The awaitables of __anext__/asend and athrow/aclose.

enum class AwState { Init, Iter, Closed };

struct ASendObject {
  PyObject ob_base;
  AGenObject* gen;
  PyObject* sendval;
  AwState state;
};

ASendObject* as_asend(PyObject* o) { return reinterpret_cast<ASendObject*>(o); }

PyObject* new_asend(AGenObject* g, PyObject* value) {
  auto* o = reinterpret_cast<ASendObject*>(g_asend_type->tp_alloc(g_asend_type, 0));
  if (!o) return nullptr;
  o->gen = reinterpret_cast<AGenObject*>(Py_NewRef(reinterpret_cast<PyObject*>(g)));
  o->sendval = Py_NewRef(value);
  o->state = AwState::Init;
  return reinterpret_cast<PyObject*>(o);
}

PyObject* asend_send(PyObject* self, PyObject* arg) {
  ASendObject* o = as_asend(self);
  if (o->state == AwState::Closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return nullptr;
  }
  if (o->state == AwState::Init) {
    if (o->gen->running_async) {
      o->state = AwState::Closed;
      PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
      return nullptr;
    }
    if (!arg || arg == Py_None) arg = o->sendval;
    o->state = AwState::Iter;
  }
  o->gen->running_async = true;
  PyObject* out = nullptr;
  Driver::Outcome r = agen_resume(o->gen, arg ? arg : Py_None, false, &out);
  bool done = false;
  PyObject* res = agen_unwrap(o->gen, r, out, &done);
  if (done) o->state = AwState::Closed;
  return res;
}

PyObject* asend_iternext(PyObject* self) { return asend_send(self, nullptr); }

PyObject* asend_throw_exc(ASendObject* o, PyObject* exc) {
  if (o->state == AwState::Closed) {
    Py_DECREF(exc);
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return nullptr;
  }
  if (o->state == AwState::Init) {
    if (o->gen->running_async) {
      Py_DECREF(exc);
      o->state = AwState::Closed;
      PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
      return nullptr;
    }
    o->state = AwState::Iter;
    o->gen->running_async = true;
  }
  PyErr_SetRaisedException(exc);
  PyObject* out = nullptr;
  Driver::Outcome r = agen_resume(o->gen, nullptr, true, &out);
  bool done = false;
  PyObject* res = agen_unwrap(o->gen, r, out, &done);
  if (done) o->state = AwState::Closed;
  return res;
}

PyObject* asend_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* exc = exception_from_args(args, nargs, "throw");
  if (!exc) return nullptr;
  return asend_throw_exc(as_asend(self), exc);
}

// close() of an asend/athrow awaitable: GeneratorExit is thrown in; the stream ending or the exit
// coming back out means closed, anything else yielded means the exit was ignored.
template <class Obj>
PyObject* awaitable_close(Obj* o, PyObject* (*throw_exc)(Obj*, PyObject*)) {
  if (o->state == AwState::Closed) Py_RETURN_NONE;
  PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
  if (!exc) return nullptr;
  PyObject* r = throw_exc(o, exc);
  if (!r) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
        PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    return nullptr;
  }
  Py_DECREF(r);
  PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
  return nullptr;
}

PyObject* asend_close(PyObject* self, PyObject*) {
  return awaitable_close(as_asend(self), asend_throw_exc);
}

int asend_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PyObject*>(as_asend(self)->gen));
  Py_VISIT(as_asend(self)->sendval);
  return 0;
}

int asend_clear(PyObject* self) {
  ASendObject* o = as_asend(self);
  Py_CLEAR(o->gen);
  Py_CLEAR(o->sendval);
  return 0;
}

// An awaitable dropped before its first step never did its work: say so, as CPython does.
void warn_unawaited(PyObject* self, const char* method, AGenObject* gen) {
  if (!gen || !gen->qualname) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine method '%s' of '%U' was never awaited",
                       method, gen->qualname) < 0) {
    PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(exc);
}

void asend_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_asend(self)->state == AwState::Init) warn_unawaited(self, "asend", as_asend(self)->gen);
  asend_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef asend_methods[] = {
    {"send", asend_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asend_throw)),
     METH_FASTCALL,
     "throw(value)\n\nRaise exception in generator, return next yielded value or "
     "raise\nStopIteration."},
    {"close", asend_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot asend_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(self_await)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(asend_iternext)},
    {Py_tp_methods, asend_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(asend_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(asend_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(asend_dealloc)},
    {0, nullptr},
};

PyType_Spec asend_spec = {
    "talmek.core.steerix.async_generator_asend",
    sizeof(ASendObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    asend_slots,
};

struct AThrowObject {
  PyObject ob_base;
  AGenObject* gen;
  PyObject* args;  // athrow()'s argument tuple; nullptr for aclose()
  AwState state;
};

AThrowObject* as_athrow(PyObject* o) { return reinterpret_cast<AThrowObject*>(o); }

PyObject* new_athrow(AGenObject* g, PyObject* exc_args) {
  auto* o = reinterpret_cast<AThrowObject*>(g_athrow_type->tp_alloc(g_athrow_type, 0));
  if (!o) return nullptr;
  o->gen = reinterpret_cast<AGenObject*>(Py_NewRef(reinterpret_cast<PyObject*>(g)));
  o->args = Py_XNewRef(exc_args);
  o->state = AwState::Init;
  return reinterpret_cast<PyObject*>(o);
}

// What aclose() turns the generator's answer into: an event means the body ignored the
// GeneratorExit; its end (StopAsyncIteration or GeneratorExit) means closing is done.
PyObject* athrow_close_result(AThrowObject* o, Driver::Outcome r, PyObject* out) {
  if (r == Driver::Outcome::Pass) return out;
  o->gen->running_async = false;
  o->state = AwState::Closed;
  if (r == Driver::Outcome::Yielded) {
    Py_DECREF(out);
    PyErr_SetString(PyExc_RuntimeError, kIgnoredExit);
    return nullptr;
  }
  if (r == Driver::Outcome::Returned) {
    Py_DECREF(out);
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    PyErr_SetNone(PyExc_StopIteration);
  }
  return nullptr;
}

PyObject* athrow_throw_result(AThrowObject* o, Driver::Outcome r, PyObject* out) {
  bool done = false;
  PyObject* res = agen_unwrap(o->gen, r, out, &done);
  if (done) o->state = AwState::Closed;
  return res;
}

PyObject* athrow_send(PyObject* self, PyObject* arg) {
  AThrowObject* o = as_athrow(self);
  if (o->state == AwState::Closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    return nullptr;
  }
  if (o->gen->drv->finished()) {
    o->state = AwState::Closed;
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  PyObject* out = nullptr;
  if (o->state == AwState::Init) {
    if (o->gen->running_async) {
      o->state = AwState::Closed;
      PyErr_SetString(PyExc_RuntimeError,
                      o->args ? "athrow(): asynchronous generator is already running"
                              : "aclose(): asynchronous generator is already running");
      return nullptr;
    }
    if (o->gen->closed) {
      o->state = AwState::Closed;
      PyErr_SetNone(PyExc_StopAsyncIteration);
      return nullptr;
    }
    if (arg && arg != Py_None) {
      PyErr_SetString(PyExc_RuntimeError, kNonInitCoro);
      return nullptr;
    }
    o->state = AwState::Iter;
    o->gen->running_async = true;
    if (!o->args) {
      o->gen->closed = true;
      PyErr_SetNone(PyExc_GeneratorExit);
      Driver::Outcome r = agen_resume(o->gen, nullptr, false, &out);
      return athrow_close_result(o, r, out);
    }
    PyObject* exc =
        exception_from_args(&PyTuple_GET_ITEM(o->args, 0), PyTuple_GET_SIZE(o->args), "athrow");
    if (!exc) {
      o->gen->running_async = false;
      o->state = AwState::Closed;
      return nullptr;
    }
    PyErr_SetRaisedException(exc);
    Driver::Outcome r = agen_resume(o->gen, nullptr, false, &out);
    return athrow_throw_result(o, r, out);
  }
  Driver::Outcome r = agen_resume(o->gen, arg ? arg : Py_None, false, &out);
  return o->args ? athrow_throw_result(o, r, out) : athrow_close_result(o, r, out);
}

PyObject* athrow_iternext(PyObject* self) { return athrow_send(self, nullptr); }

PyObject* athrow_throw_exc(AThrowObject* o, PyObject* exc) {
  if (o->state == AwState::Closed) {
    Py_DECREF(exc);
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    return nullptr;
  }
  if (o->state == AwState::Init) {
    if (o->gen->running_async) {
      Py_DECREF(exc);
      o->state = AwState::Closed;
      PyErr_SetString(PyExc_RuntimeError,
                      o->args ? "athrow(): asynchronous generator is already running"
                              : "aclose(): asynchronous generator is already running");
      return nullptr;
    }
    o->state = AwState::Iter;
    o->gen->running_async = true;
  }
  PyErr_SetRaisedException(exc);
  PyObject* out = nullptr;
  Driver::Outcome r = agen_resume(o->gen, nullptr, true, &out);
  return o->args ? athrow_throw_result(o, r, out) : athrow_close_result(o, r, out);
}

PyObject* athrow_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* exc = exception_from_args(args, nargs, "throw");
  if (!exc) return nullptr;
  return athrow_throw_exc(as_athrow(self), exc);
}

PyObject* athrow_close(PyObject* self, PyObject*) {
  return awaitable_close(as_athrow(self), athrow_throw_exc);
}

int athrow_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PyObject*>(as_athrow(self)->gen));
  Py_VISIT(as_athrow(self)->args);
  return 0;
}

int athrow_clear(PyObject* self) {
  AThrowObject* o = as_athrow(self);
  Py_CLEAR(o->gen);
  Py_CLEAR(o->args);
  return 0;
}

void athrow_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  AThrowObject* o = as_athrow(self);
  if (o->state == AwState::Init) warn_unawaited(self, o->args ? "athrow" : "aclose", o->gen);
  athrow_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef athrow_methods[] = {
    {"send", athrow_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(athrow_throw)),
     METH_FASTCALL,
     "throw(value)\n\nRaise exception in generator, return next yielded value or "
     "raise\nStopIteration."},
    {"close", athrow_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot athrow_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(self_await)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(athrow_iternext)},
    {Py_tp_methods, athrow_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(athrow_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(athrow_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(athrow_dealloc)},
    {0, nullptr},
};

PyType_Spec athrow_spec = {
    "talmek.core.steerix.async_generator_athrow",
    sizeof(AThrowObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    athrow_slots,
};

}  // namespace

void init_async_types() {
  auto make = [](PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(nb::detail::raise_if_null(PyType_FromSpec(&spec)));
  };
  g_coro_type = make(coro_spec);
  g_wrapper_type = make(wrapper_spec);
  g_agen_type = make(agen_spec);
  g_asend_type = make(asend_spec);
  g_athrow_type = make(athrow_spec);
  nb::module_ abc = nb::module_::import_("collections.abc");
  abc.attr("Coroutine").attr("register")(nb::handle(reinterpret_cast<PyObject*>(g_coro_type)));
  abc.attr("AsyncGenerator").attr("register")(nb::handle(reinterpret_cast<PyObject*>(g_agen_type)));
}

nb::object new_coroutine(std::unique_ptr<Frame> frame, nb::handle qualname) {
  auto* o = reinterpret_cast<CoroObject*>(g_coro_type->tp_alloc(g_coro_type, 0));
  if (!o) throw nb::python_error();
  o->drv = new Driver(std::move(frame), false);
  o->qualname = nb::borrow(qualname).release().ptr();
  return nb::steal(reinterpret_cast<PyObject*>(o));
}

nb::object new_async_gen(std::unique_ptr<Frame> frame, nb::handle qualname) {
  auto* o = reinterpret_cast<AGenObject*>(g_agen_type->tp_alloc(g_agen_type, 0));
  if (!o) throw nb::python_error();
  o->drv = new Driver(std::move(frame), true);
  o->qualname = nb::borrow(qualname).release().ptr();
  o->finalizer = nullptr;
  o->hooks_inited = false;
  o->closed = false;
  o->running_async = false;
  return nb::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace talmek::steerix
