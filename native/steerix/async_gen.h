// Native coroutines and asynchronous generators: a C++ state machine (Frame) driven by one
// engine (Driver), wrapped in Python objects that speak the coroutine and async generator
// protocols. Modelled on CPython's genobject.c and on _asynciomodule.c's FutureIter: one
// state machine, with thin send/throw/close wrappers around it. Everything needs the GIL.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

namespace talmek::steerix {

// What a frame asks its driver to do when it gives control back.
enum class StepKind {
  Yield,   // hand `obj` (an event) to the async generator's consumer and suspend
  Await,   // await `obj`: delegate to its __await__ iterator until it returns
  Return,  // the body finished with `obj` as its value
  Error,   // the body raised; the exception is set
};

struct Step {
  StepKind kind;
  PyObject* obj;  // owned; nullptr for Error
};

inline Step step_yield(PyObject* o) { return o ? Step{StepKind::Yield, o} : Step{StepKind::Error, nullptr}; }
inline Step step_await(PyObject* o) { return o ? Step{StepKind::Await, o} : Step{StepKind::Error, nullptr}; }
inline Step step_return(PyObject* o) { return o ? Step{StepKind::Return, o} : Step{StepKind::Error, nullptr}; }
inline Step step_error() { return Step{StepKind::Error, nullptr}; }

// The body of a native coroutine or async generator, as an explicit state machine.
class Frame {
 public:
  virtual ~Frame() = default;
  // Resumes the body at its current suspension point. `value` (borrowed) is what the point
  // produced: the value sent in, or the result of the awaited operation. nullptr means an
  // exception is set and must be raised at that point.
  virtual Step resume(PyObject* value) = 0;
  virtual int traverse(visitproc visit, void* arg) = 0;
  // Drops every reference (garbage collection, or the end of the body).
  virtual void clear() = 0;
};

// A frame whose Python references live in N slots, so that traversal and clearing cannot
// forget one.
template <std::size_t N>
class SlotFrame : public Frame {
 public:
  ~SlotFrame() override { SlotFrame::clear(); }
  int traverse(visitproc visit, void* arg) override {
    for (PyObject* p : m_slot) Py_VISIT(p);
    return 0;
  }
  void clear() override {
    for (PyObject*& p : m_slot) Py_CLEAR(p);
  }

 protected:
  PyObject* slot(std::size_t i) const { return m_slot[i]; }
  // Stores a new reference (which may be nullptr) in slot i.
  void set(std::size_t i, PyObject* owned) { Py_XSETREF(m_slot[i], owned); }
  PyObject* m_slot[N] = {};
};

// The engine: runs a frame and delegates to the iterator it awaits ("yield from").
class Driver {
 public:
  enum class Outcome { Pass, Yielded, Returned, Failed };

  Driver(std::unique_ptr<Frame> frame, bool async_gen)
      : m_frame(std::move(frame)), m_async_gen(async_gen) {}
  ~Driver() { clear(); }

  bool finished() const { return !m_frame; }
  bool started() const { return m_started; }
  bool running() const { return m_running; }

  // Resumes with `value` sent in (borrowed), or, when value is nullptr, with the exception
  // that is set thrown in. `close_on_exit` closes an awaited iterator instead of throwing
  // GeneratorExit into it (coroutines do, async generators do not). On Pass, Yielded and
  // Returned, *out receives a new reference. Callers check running() and finished() first.
  Outcome resume(PyObject* value, bool close_on_exit, PyObject** out);

  // Ends the body without running it further (frame and awaited iterator dropped).
  void clear();
  int traverse(visitproc visit, void* arg);

 private:
  Outcome run_frame(PyObject* value, PyObject** out);
  PySendResult throw_into_sub(bool close_on_exit, PyObject** res);

  std::unique_ptr<Frame> m_frame;
  PyObject* m_sub = nullptr;  // the __await__ iterator being delegated to
  bool m_started = false;
  bool m_running = false;
  bool m_async_gen;  // error texts and StopAsyncIteration handling of async generators
};

// Creates the coroutine type and the async generator types; registers them with
// collections.abc. Returns false with an exception set on failure.
bool init_async_types();

// A new native coroutine object running `frame`; `qualname` names it in its repr.
PyObject* new_coroutine(std::unique_ptr<Frame> frame, const char* qualname);

// A new native async generator running `frame`.
PyObject* new_async_gen(std::unique_ptr<Frame> frame, const char* qualname);

// The iterator that `await obj` delegates to, as CPython's _PyCoro_GetAwaitableIter finds it.
PyObject* awaitable_iter(PyObject* obj);

}  // namespace talmek::steerix
