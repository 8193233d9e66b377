"""A local fake of the Anthropic Messages API, for running the real `anthropic` client end to end.

The server listens on 127.0.0.1 (an ephemeral port by default) in a background thread and
answers `POST /v1/messages` with scripted replies. Every request is recorded and held to what
the live service checks (`talmek.demo.service`: the model, the tool types and names it takes,
their beta flags, thinking blocks and toolset calls sent back as returned, the shape of every
tool result, the 32 MB limit), and to the request keys, a history that ends with a user turn
and answers each tool call of the model with a tool result, in order. A request that fails a
check is answered as the live service answers it (HTTP 400, 404 or 413 with its error type; the
client raises it as an API error) and the problem is kept in `problems`.

A scripted reply is given the shape the request's model would give it (`Service.answer`): a
`computer` call becomes a toolset member's call for a model that takes the toolset, the editor
is called by the name it was offered under, and a model that thinks by default answers with a
signed thinking block first.

Point a client at it with `base_url=server.base_url`, or `ANTHROPIC_BASE_URL`:

    with FakeMessagesServer([message(tool_use_block("t1", "computer", {"action": "screenshot"})),
                             message(text_block("done"))]) as server:
        os.environ["ANTHROPIC_BASE_URL"] = server.base_url
        ...
        assert server.problems == []

Besides the installed `talmek.demo.service` only the standard library is used, so the module
also serves demonstrations: run `python fake_messages_server.py --port 8765` for a server that
walks through a short task.
"""

from __future__ import annotations

import argparse
import itertools
import json
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from talmek.demo.service import Refusal, Service

# The beta flag of the default model's computer tool (computer_20251124).
COMPUTER_USE_BETA = "computer-use-2025-11-24"
REQUIRED_KEYS = ("model", "max_tokens", "messages")

_ids = itertools.count(1)


# ---------------------------------------------------------------------------------------------
# Reply builders


def text_block(text: str) -> dict[str, Any]:
    return {"type": "text", "text": text}


def tool_use_block(id: str, name: str, input: dict[str, Any]) -> dict[str, Any]:
    return {"type": "tool_use", "id": id, "name": name, "input": input}


def message(
    *blocks: dict[str, Any], stop_reason: str | None = None, model: str = "claude-sonnet-4-6"
) -> dict[str, Any]:
    """A complete Messages API response body holding `blocks`."""
    if stop_reason is None:
        stop_reason = "tool_use" if any(b["type"] == "tool_use" for b in blocks) else "end_turn"
    return {
        "id": f"msg_fake_{next(_ids)}",
        "type": "message",
        "role": "assistant",
        "model": model,
        "content": list(blocks),
        "stop_reason": stop_reason,
        "stop_sequence": None,
        "usage": {"input_tokens": 1, "output_tokens": 1},
    }


@dataclass
class ErrorReply:
    """An HTTP error answer. 4xx other than 408/409/429 are not retried by the client."""

    status: int
    message: str
    type: str = "invalid_request_error"

    def body(self) -> dict[str, Any]:
        return {"type": "error", "error": {"type": self.type, "message": self.message}}


def error(status: int, message: str, type: str = "invalid_request_error") -> ErrorReply:
    return ErrorReply(status, message, type)


# ---------------------------------------------------------------------------------------------
# Request checks


def check_request(headers: dict[str, str], body: Any, expected_beta: str | None) -> list[str]:
    """What is wrong with one Messages API request (an empty list when nothing is)."""
    problems: list[str] = []
    if expected_beta is not None:
        betas = [b.strip() for b in headers.get("anthropic-beta", "").split(",") if b.strip()]
        if expected_beta not in betas:
            problems.append(f"missing beta header {expected_beta!r} (got {betas!r})")
    if not isinstance(body, dict):
        return problems + ["body is not a JSON object"]
    for key in REQUIRED_KEYS:
        if key not in body:
            problems.append(f"missing key {key!r}")
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        return problems + ["messages must be a non-empty list"]
    if not isinstance(messages[-1], dict) or messages[-1].get("role") != "user":
        problems.append("the history must end with a user turn")
    for i, msg in enumerate(messages):
        if not isinstance(msg, dict) or list(msg) != ["role", "content"]:
            problems.append(f"message {i} must have exactly the keys role, content")
            continue
        if msg["role"] != "assistant" or not isinstance(msg["content"], list):
            continue
        asked = [
            b.get("id")
            for b in msg["content"]
            if isinstance(b, dict) and b.get("type") == "tool_use"
        ]
        if not asked:
            continue
        answer = messages[i + 1] if i + 1 < len(messages) else None
        content = answer.get("content") if isinstance(answer, dict) else None
        answered = [
            b.get("tool_use_id")
            for b in content or []
            if isinstance(b, dict) and b.get("type") == "tool_result"
        ]
        if answered != asked:
            problems.append(f"tool calls {asked!r} of message {i} answered by {answered!r}")
    return problems


# ---------------------------------------------------------------------------------------------
# Server


@dataclass
class RecordedRequest:
    method: str
    path: str
    headers: dict[str, str]
    body: Any
    size: int = 0


Reply = dict[str, Any] | ErrorReply
Responder = Callable[[RecordedRequest], Reply]


@dataclass
class FakeMessagesServer:
    """Scripted fake Messages API on 127.0.0.1. Use as a context manager, or start()/stop()."""

    script: list[Reply] = field(default_factory=list)
    responder: Responder | None = None  # consulted when the script is used up
    expected_beta: str | None = None  # a beta flag every request must carry, besides the rules
    service: Service = field(default_factory=Service)
    host: str = "127.0.0.1"
    port: int = 0
    requests: list[RecordedRequest] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._lock = threading.Lock()
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def base_url(self) -> str:
        assert self._httpd is not None, "server not started"
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def bodies(self) -> list[Any]:
        return [r.body for r in self.requests]

    def start(self) -> FakeMessagesServer:
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length)
                try:
                    body = json.loads(raw)
                except ValueError:
                    body = None
                headers = {k.lower(): v for k, v in self.headers.items()}
                status, reply = server._answer(
                    RecordedRequest("POST", self.path, headers, body, len(raw))
                )
                self._send(status, reply)

            def do_GET(self) -> None:
                self._send(404, ErrorReply(404, "not found", "not_found_error").body())

            def _send(self, status: int, payload: Any) -> None:
                data = json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.send_header("request-id", f"req_fake_{next(_ids)}")
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, format: str, *args: Any) -> None:
                pass  # keep test output clean

        self._httpd = ThreadingHTTPServer((self.host, self.port), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="fake-messages-api", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None
        if self._thread is not None:
            self._thread.join()
            self._thread = None

    def __enter__(self) -> FakeMessagesServer:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def _answer(self, req: RecordedRequest) -> tuple[int, Any]:
        with self._lock:
            self.requests.append(req)
            if not req.path.split("?")[0].endswith("/v1/messages"):
                return 404, ErrorReply(404, f"unknown path {req.path}", "not_found_error").body()
            try:
                self.service.check(req.headers, req.size, req.body)
            except Refusal as refusal:
                self.problems.append(refusal.message)
                return refusal.status, refusal.body()
            problems = check_request(req.headers, req.body, self.expected_beta)
            if problems:
                self.problems.extend(problems)
                return 400, ErrorReply(400, "; ".join(problems)).body()
            if self.script:
                reply = self.script.pop(0)
            elif self.responder is not None:
                reply = self.responder(req)
            else:
                self.problems.append("unscripted request")
                reply = ErrorReply(400, "no scripted reply left")
            if isinstance(reply, ErrorReply):
                return reply.status, reply.body()
            shaped = self.service.answer(req.body, reply["content"])
            shaped["id"] = reply["id"]
            return 200, shaped


def demo_script() -> list[Reply]:
    """A short task: look at the screen, run a command, report."""
    return [
        message(
            text_block("Let me look at the screen first."),
            tool_use_block("toolu_demo_1", "computer", {"action": "screenshot"}),
        ),
        message(tool_use_block("toolu_demo_2", "bash", {"command": "echo hello from the demo"})),
        message(text_block("All done: the screen was captured and the command ran.")),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    # Every task gets the demo walk-through, start to end.
    state = {"left": []}

    def responder(req: RecordedRequest) -> Reply:
        if len(req.body["messages"]) == 1 or not state["left"]:
            state["left"] = demo_script()
        return state["left"].pop(0)

    server = FakeMessagesServer(responder=responder, port=args.port).start()
    print(server.base_url, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        server.stop()


if __name__ == "__main__":
    main()
