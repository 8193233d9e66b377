// Steerix._emit: delivers one event to every registered handler, in order, awaiting the
// handlers' coroutines one after another.
#include <memory>

#include "steerix/agent.h"
#include "steerix/async_gen.h"

namespace talmek::steerix {

namespace {

class EmitFrame final : public SlotFrame<3> {
 public:
  enum { kSelf, kEvent, kHandlers };
  EmitFrame(nb::handle self, nb::handle event) {
    set(kSelf, nb::borrow(self));
    set(kEvent, nb::borrow(event));
  }

  // Calls the next handler; a handler that returns a coroutine is awaited before the one
  // after it is called.
  Step resume(nb::handle) override {
    if (!slot(kHandlers)) {
      // The walk goes by position to the current end of the live list (a list iterator does
      // exactly that), so handlers registered during the delivery are called too.
      set(kHandlers, nb::iter(nb::getattr(slot(kSelf), g_names.event_handlers)));
    }
    while (nb::object handler = next(slot(kHandlers))) {
      nb::object result = handler(slot(kEvent));
      if (truthy(g_module.asyncio.attr(g_names.iscoroutine)(result))) {
        return step_await(std::move(result));
      }
    }
    return step_return();
  }
};

}  // namespace

nb::object emit(nb::handle self, nb::handle event) {
  return new_coroutine(std::make_unique<EmitFrame>(self, event), g_names.q_emit);
}

}  // namespace talmek::steerix
