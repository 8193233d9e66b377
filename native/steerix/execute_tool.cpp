// Steerix._execute_tool and the two tool coroutines behind it (_execute_bash and
// _execute_text_editor): routes one tool call of the model by tool name.
#include <memory>

#include "steerix/agent.h"
#include "steerix/async_gen.h"
#include "steerix/confinement.h"
#include "steerix/tool_sets.h"
#include "steerix/tools.h"

namespace talmek::steerix {

namespace {

// executor.execute_action(action, **rest), called synchronously: the desktop work holds the
// loop until it returns. `rest` is every entry of the tool input but "action", in order.
nb::object run_computer(nb::handle self, nb::handle tool_input) {
  nb::object action = get(tool_input, g_names.action, g_names.empty);
  nb::dict kwargs = without_action(tool_input);
  nb::object executor = nb::getattr(self, g_names.executor);
  nb::object result = executor.attr(g_names.execute_action)(action, **kwargs);
  // An outcome that is not a dictionary would only fail later, far from its cause; None is
  // let through to the loop, which reports it where the outcome is read.
  if (!result.is_none() && !nb::isinstance<nb::dict>(result)) {
    raise(PyExc_TypeError,
          std::string("execute_action() must return a dict, not ") + short_type_name(result));
  }
  return result;
}

class ExecuteToolFrame final : public SlotFrame<3> {
 public:
  enum { kSelf, kName, kInput };
  ExecuteToolFrame(nb::handle self, nb::handle name, nb::handle input) {
    set(kSelf, nb::borrow(self));
    set(kName, nb::borrow(name));
    set(kInput, nb::borrow(input));
  }

  Step resume(nb::handle value) override {
    if (m_awaiting) return step_return(nb::borrow(value));
    const nb::object& name = slot(kName);
    if (equals(name, g_names.computer)) return step_return(run_computer(slot(kSelf), slot(kInput)));
    // The editor answers to both of its names: the one offered now, and the 2025-01-24 one
    // that older histories and hosts use.
    for (auto [tool, method] : {std::pair{g_names.bash, g_names.execute_bash},
                                std::pair{g_names.editor_v2, g_names.execute_text_editor},
                                std::pair{g_names.editor_v1, g_names.execute_text_editor}}) {
      if (equals(name, tool)) {
        m_awaiting = true;
        return step_await(slot(kSelf).attr(method)(slot(kInput)));
      }
    }
    nb::object error = nb::str("Unknown tool: ") + format(name);
    return step_return(new_dict({{g_names.type, g_names.error}, {g_names.error, error}}));
  }

 private:
  bool m_awaiting = false;
};

// The shell tool, under the agent's confinement when it has one.
class BashFrame final : public SlotFrame<1> {
 public:
  BashFrame(nb::handle input, std::shared_ptr<const Confinement> c) : m_confinement(std::move(c)) {
    set(0, nb::borrow(input));
  }
  Step resume(nb::handle) override {
    return step_return(run_bash_tool(slot(0), m_confinement.get()));
  }

 private:
  std::shared_ptr<const Confinement> m_confinement;
};

// The same for the editor, whose commands depend on the version the agent offers.
class EditorFrame final : public SlotFrame<1> {
 public:
  EditorFrame(nb::handle input, bool has_undo, std::shared_ptr<const Confinement> c)
      : m_has_undo(has_undo), m_confinement(std::move(c)) {
    set(0, nb::borrow(input));
  }
  Step resume(nb::handle) override {
    return step_return(run_editor_tool(slot(0), m_has_undo, m_confinement.get()));
  }

 private:
  bool m_has_undo;
  std::shared_ptr<const Confinement> m_confinement;
};

}  // namespace

nb::object execute_tool(nb::handle self, nb::handle tool_name, nb::handle tool_input) {
  return new_coroutine(std::make_unique<ExecuteToolFrame>(self, tool_name, tool_input),
                       g_names.q_execute_tool);
}

nb::object execute_bash(nb::handle self, nb::handle tool_input) {
  return new_coroutine(std::make_unique<BashFrame>(tool_input, confinement_of(self)),
                       g_names.q_execute_bash);
}

nb::object execute_text_editor(nb::handle self, nb::handle tool_input) {
  const ModelTraits traits = agent_traits(self);
  return new_coroutine(
      std::make_unique<EditorFrame>(tool_input, traits.tools->editor_undo, confinement_of(self)),
      g_names.q_execute_text_editor);
}

}  // namespace talmek::steerix
