// Steerix._emit: delivers one event to every registered handler, in order, awaiting the
// handlers' coroutines one after another.
#include <memory>

#include "steerix/agent.h"
#include "steerix/async_gen.h"
#include "steerix/py.h"

namespace talmek::steerix {

namespace {

class EmitFrame final : public SlotFrame<3> {
 public:
  enum { kSelf, kEvent, kIter };
  EmitFrame(PyObject* self, PyObject* event) {
    set(kSelf, Py_NewRef(self));
    set(kEvent, Py_NewRef(event));
  }

  Step resume(PyObject* value) override {
    if (!value) return step_error();
    if (m_state == 0) {
      // The walk goes by position to the current end of the live list (a list iterator does
      // exactly that), so handlers registered during the delivery are called too.
      Ref handlers = Ref::steal(PyObject_GetAttr(slot(kSelf), g_names.event_handlers));
      if (!handlers) return step_error();
      PyObject* it = PyObject_GetIter(handlers.get());
      if (!it) return step_error();
      set(kIter, it);
      m_state = 1;
    }
    for (;;) {
      Ref handler = Ref::steal(PyIter_Next(slot(kIter)));
      if (!handler) {
        if (PyErr_Occurred()) return step_error();
        return step_return(Py_NewRef(Py_None));
      }
      Ref result = Ref::steal(PyObject_CallOneArg(handler.get(), slot(kEvent)));
      if (!result) return step_error();
      Ref iscoroutine = Ref::steal(PyObject_GetAttr(g_module.asyncio, g_names.iscoroutine));
      if (!iscoroutine) return step_error();
      Ref is_coro = Ref::steal(PyObject_CallOneArg(iscoroutine.get(), result.get()));
      if (!is_coro) return step_error();
      int truth = PyObject_IsTrue(is_coro.get());
      if (truth < 0) return step_error();
      if (truth) return step_await(result.release());
    }
  }

 private:
  int m_state = 0;
};

}  // namespace

PyObject* emit(PyObject* self, PyObject* event) {
  return new_coroutine(std::make_unique<EmitFrame>(self, event), "Steerix._emit");
}

}  // namespace talmek::steerix
