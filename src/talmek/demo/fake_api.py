"""A local stand-in for the Anthropic Messages API, for the demo and the tests.

It serves POST /v1/messages on 127.0.0.1 and answers every request with whatever its `reply`
function returns for the decoded request body, so the real `anthropic` client package (pointed
at it through ANTHROPIC_BASE_URL) runs end to end with no key and no network. Every request is
first held to what the live service checks (`talmek.demo.service`) and refused as the live
service refuses it; every answer is given the shape the request's model would give it.
"""

from __future__ import annotations

import json
import threading
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Self

from talmek.demo.service import Refusal, Service

Reply = Callable[[dict[str, Any]], dict[str, Any]]


class FakeAPIError(Exception):
    """Raised by a `reply` to answer with an API error of the given HTTP status and kind.
    Statuses of 500 and above are retried by the client; 400 is not."""

    def __init__(self, message: str, status: int = 400, kind: str = "invalid_request_error"):
        super().__init__(message)
        self.status, self.kind = status, kind


def message(
    content: list[dict[str, Any]], *, model: str = "fake-model", number: int = 0
) -> dict[str, Any]:
    """A complete Messages API response holding `content`."""
    uses_tool = any(block.get("type") == "tool_use" for block in content)
    return {
        "id": f"msg_fake_{number:04d}",
        "type": "message",
        "role": "assistant",
        "model": model,
        "content": content,
        "stop_reason": "tool_use" if uses_tool else "end_turn",
        "stop_sequence": None,
        "usage": {"input_tokens": 1, "output_tokens": 1},
    }


class FakeMessagesServer:
    """Serves `reply(request) -> response` on an ephemeral port of 127.0.0.1 until closed.

    Every decoded request is kept in `requests`, in order. A `reply` that raises FakeAPIError
    gets that error's answer; any other exception becomes a 500 "api_error" answer.
    """

    def __init__(self, reply: Reply):
        self.reply = reply
        self.requests: list[dict[str, Any]] = []
        self.service = Service()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                if not self.path.split("?")[0].endswith("/v1/messages"):
                    self._send(404, _api_error("not_found_error", f"No route {self.path}"))
                    return
                try:
                    try:
                        request = json.loads(body)
                    except ValueError:
                        request = None
                    headers = {k.lower(): v for k, v in self.headers.items()}
                    server.service.check(headers, len(body), request)
                    server.requests.append(request)
                    response = server.reply(request)
                    shaped = server.service.answer(request, response["content"])
                    shaped["id"] = response["id"]
                    self._send(200, shaped)
                except Refusal as exc:
                    self._send(exc.status, exc.body())
                except FakeAPIError as exc:
                    self._send(exc.status, _api_error(exc.kind, str(exc)))
                except Exception as exc:  # noqa: BLE001
                    self._send(500, _api_error("api_error", f"{type(exc).__name__}: {exc}"))

            def _send(self, status: int, payload: dict[str, Any]) -> None:
                data = json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args: Any) -> None:
                pass  # the demo's output is the agent's events, not an access log

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, daemon=True, name="fake-messages-api"
        )
        self._thread.start()

    @property
    def url(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _api_error(kind: str, text: str) -> dict[str, Any]:
    return {"type": "error", "error": {"type": kind, "message": text}}
