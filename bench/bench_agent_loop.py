"""The agent's task loop against the same loop written as a plain Python async generator, as ratios.

Run:  .venv/bin/python bench/bench_agent_loop.py [--runs N]

Both loops talk to a minimal in-process stand-in for the `anthropic` package (scripted responses,
nothing recorded) and drive an executor that answers at once, with no pause after tool calls, so
that only the loop itself is measured: events, history, tool-result blocks, the awaits of the tool
coroutine and of asyncio.sleep(0).

Workloads (each timed N times, baseline and native interleaved, median taken):
  tools-2000   one task of 500 responses with 4 tool calls each (2,000 tool calls, 4,504 events).
  tasks-2000   2,000 tasks whose first response is a single text block (start-up of a task).
Ratios are baseline time / native time: above 1 means the native loop is faster.
"""

import argparse
import asyncio
import statistics
import sys
import time
import types

import common  # noqa: F401 - puts the tests' support package on the path
from support.fake_anthropic import response, text, tool_use
from talmek.core.steerix import ComputerUseEvent, Steerix


class ScriptedPackage:
    """Just enough of the client package: Anthropic(...).beta.messages.create(**kw) -> next."""

    def __init__(self, script):
        self.script = iter(script)
        self.module = types.ModuleType("anthropic")
        pkg = self

        class Anthropic:
            def __init__(self, api_key):
                self.beta = self
                self.messages = self

            def create(self, **kwargs):
                return next(pkg.script)

        self.module.Anthropic = Anthropic
        self.module.APIError = Exception


class Executor:
    def get_tool_definition(self):
        return {"type": "computer_20250124", "name": "computer"}

    def execute_action(self, action, **kwargs):
        return {"type": "text", "text": action}


class PyAgent:
    """The baseline: the task loop as straightforward Python."""

    ACTION_DELAY = 0

    def __init__(self, api_key, executor, max_iterations=50):
        self._api_key = api_key
        self._model = "claude-sonnet-4-6"
        self._executor = executor
        self._max_iterations = max_iterations
        self._messages = []
        self._running = False
        self._iteration_count = 0

    def get_tool_definitions(self):
        return [
            self._executor.get_tool_definition(),
            {"type": "bash_20250124", "name": "bash"},
            {"type": "text_editor_20250124", "name": "str_replace_editor"},
        ]

    def _build_system_prompt(self):
        return "prompt"

    async def _execute_tool(self, name, tool_input):
        if name == "computer":
            action = tool_input.get("action", "")
            rest = {k: v for k, v in tool_input.items() if k != "action"}
            return self._executor.execute_action(action, **rest)
        return {"type": "error", "error": f"Unknown tool: {name}"}

    def _serialize_block(self, block):
        if block.type == "text":
            return {"type": "text", "text": block.text}
        if block.type == "tool_use":
            return {"type": "tool_use", "id": block.id, "name": block.name, "input": block.input}
        return {"type": block.type}

    async def run_task(self, user_message):
        self._running = True
        self._iteration_count = 0
        yield ComputerUseEvent("thinking", {"message": f"Starting task: {user_message}"})
        self._messages = [{"role": "user", "content": user_message}]
        import anthropic

        client = anthropic.Anthropic(api_key=self._api_key)
        tools = self.get_tool_definitions()
        system_prompt = self._build_system_prompt()
        for iteration in range(self._max_iterations):
            if not self._running:
                yield ComputerUseEvent("cancelled", {"message": "Task cancelled by user"})
                return
            self._iteration_count = iteration + 1
            yield ComputerUseEvent(
                "iteration", {"number": iteration + 1, "max": self._max_iterations}
            )
            try:
                resp = client.beta.messages.create(
                    model=self._model,
                    max_tokens=4096,
                    system=system_prompt,
                    tools=tools,
                    messages=self._messages,
                    betas=["computer-use-2025-01-24"],
                )
            except Exception as e:  # noqa: BLE001
                yield ComputerUseEvent("error", {"message": f"Unexpected error: {e}"})
                return
            content = resp.content
            has_tool_use = any(b.type == "tool_use" for b in content)
            for b in content:
                if b.type == "text":
                    yield ComputerUseEvent("text", {"content": b.text})
            if not has_tool_use:
                yield ComputerUseEvent(
                    "done", {"iterations": iteration + 1, "message": "Task completed"}
                )
                return
            self._messages.append(
                {"role": "assistant", "content": [self._serialize_block(b) for b in content]}
            )
            results = []
            for b in content:
                if b.type != "tool_use":
                    continue
                name, tool_input, tool_id = b.name, b.input, b.id
                yield ComputerUseEvent(
                    "tool_call", {"id": tool_id, "tool": name, "input": tool_input}
                )
                result = await self._execute_tool(name, tool_input)
                yield ComputerUseEvent(
                    "tool_result", {"id": tool_id, "tool": name, "result": result}
                )
                kind = result.get("type")
                if kind == "image":
                    block = {
                        "type": "tool_result",
                        "tool_use_id": tool_id,
                        "content": [
                            {
                                "type": "image",
                                "source": {
                                    "type": "base64",
                                    "media_type": result["media_type"],
                                    "data": result["base64"],
                                },
                            }
                        ],
                    }
                elif kind == "error":
                    block = {
                        "type": "tool_result",
                        "tool_use_id": tool_id,
                        "content": result.get("error", "Unknown error"),
                        "is_error": True,
                    }
                else:
                    block = {
                        "type": "tool_result",
                        "tool_use_id": tool_id,
                        "content": result.get("text", str(result)),
                    }
                results.append(block)
                await asyncio.sleep(self.ACTION_DELAY)
            self._messages.append({"role": "user", "content": results})
        yield ComputerUseEvent(
            "error",
            {
                "message": f"Reached maximum iterations ({self._max_iterations}). "
                "Task may be incomplete."
            },
        )


class NativeAgent(Steerix):
    ACTION_DELAY = 0

    def _build_system_prompt(self):
        return "prompt"


def tools_script():
    return [
        response(
            *[
                tool_use(f"t{i}_{j}", "computer", {"action": f"a{j}", "coordinate": [i, j]})
                for j in range(4)
            ]
        )
        for i in range(500)
    ] + [response(text("done"))]


async def drain(stream):
    n = 0
    async for _ in stream:
        n += 1
    return n


def run_tools(make_agent):
    fake = ScriptedPackage(tools_script())
    sys.modules["anthropic"] = fake.module
    agent = make_agent(max_iterations=1000)
    start = time.perf_counter()
    n = asyncio.run(drain(agent.run_task("t")))
    elapsed = time.perf_counter() - start
    assert n == 4504, n
    return elapsed


def run_tasks(make_agent):
    fake = ScriptedPackage([response(text("ok")) for _ in range(2000)])
    sys.modules["anthropic"] = fake.module
    agent = make_agent(max_iterations=50)

    async def main():
        for _ in range(2000):
            await drain(agent.run_task("t"))

    start = time.perf_counter()
    asyncio.run(main())
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    makers = {
        "baseline": lambda max_iterations: PyAgent("k", Executor(), max_iterations),
        "native": lambda max_iterations: NativeAgent(
            "k", executor=Executor(), max_iterations=max_iterations
        ),
    }
    print(f"{'workload':<12} {'ratio':>7}   (baseline time / native time, median of {args.runs})")
    for name, fn in (("tools-2000", run_tools), ("tasks-2000", run_tasks)):
        times = {"baseline": [], "native": []}
        for _ in range(args.runs):
            for which, make in makers.items():
                times[which].append(fn(make))
        ratio = statistics.median(times["baseline"]) / statistics.median(times["native"])
        print(f"{name:<12} {ratio:>7.2f}")


if __name__ == "__main__":
    main()
