// Native coroutines and asynchronous generators: a C++ state machine (Frame) driven by one
// engine, wrapped in Python objects that speak the coroutine and async generator protocols.
// Modelled on CPython's genobject.c and on _asynciomodule.c's FutureIter: each awaitable is one
// state machine, with the same thin send/throw/close/__next__ wrappers around all of them.
// Everything needs the GIL.
#pragma once

#include <cstddef>
#include <memory>

#include "steerix/py_support.h"

namespace talmek::steerix {

// What a frame asks its driver to do when it gives control back. A body that raises throws
// nb::python_error (or std::bad_alloc) out of resume(); the driver raises it in Python.
enum class StepKind {
  Yield,   // hand `obj` (an event) to the async generator's consumer and suspend
  Await,   // await `obj`: delegate to its __await__ iterator until it returns
  Return,  // the body finished with `obj` as its value
};

struct Step {
  StepKind kind;
  nb::object obj;
};

inline Step step_yield(nb::object o) { return {StepKind::Yield, std::move(o)}; }
inline Step step_await(nb::object o) { return {StepKind::Await, std::move(o)}; }
inline Step step_return(nb::object o = nb::none()) { return {StepKind::Return, std::move(o)}; }

// The body of a native coroutine or async generator, as an explicit state machine. An
// exception thrown in at a suspension point never reaches the body: none of the bodies has
// clean-up of its own, so the driver raises it there and ends the body.
class Frame {
 public:
  virtual ~Frame() = default;
  // Resumes the body at its current suspension point with what the point produced: the
  // value sent in, or the result of the awaited operation (borrowed).
  virtual Step resume(nb::handle value) = 0;
  virtual int traverse(visitproc visit, void* arg) = 0;
  // Drops every reference (garbage collection, or the end of the body).
  virtual void clear() = 0;
};

// Visits `obj` for the garbage collector, as Py_VISIT does inside a tp_traverse slot.
inline int visit(visitproc visit, void* arg, nb::handle obj) {
  Py_VISIT(obj.ptr());
  return 0;
}

// A frame whose Python references live in N slots, so that traversal and clearing cannot
// forget one: every Python object the frame holds is in a slot.
template <std::size_t N>
class SlotFrame : public Frame {
 public:
  int traverse(visitproc visit_fn, void* arg) override {
    for (const nb::object& p : m_slot) {
      if (int rc = visit(visit_fn, arg, p)) return rc;
    }
    return 0;
  }
  void clear() override {
    // Each slot is emptied before its object is released, as Py_CLEAR does: releasing may run
    // code that comes back to the frame.
    for (nb::object& p : m_slot) nb::object dropped = std::move(p);
  }

 protected:
  const nb::object& slot(std::size_t i) const { return m_slot[i]; }
  void set(std::size_t i, nb::object value) {
    nb::object old = std::move(m_slot[i]);
    m_slot[i] = std::move(value);
  }

 private:
  nb::object m_slot[N];
};

// Creates the coroutine type and the async generator types; registers them with
// collections.abc.
void init_async_types();

// A new native coroutine object running `frame`; `qualname` (borrowed) names it in its repr.
nb::object new_coroutine(std::unique_ptr<Frame> frame, nb::handle qualname);

// A new native async generator running `frame`.
nb::object new_async_gen(std::unique_ptr<Frame> frame, nb::handle qualname);

}  // namespace talmek::steerix
