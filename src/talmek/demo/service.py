"""What the live Messages API checks in a computer-use request, and how its models shape their
answers: the rules that the local fakes (the demo's and the tests') hold every request to.

They are written from the vendor's documentation (the computer use, text editor and bash tool
pages, the tool reference, the "What's new" pages of the 5.5 models and the pages on preserved
thinking), separately from the agent's own table, so that a request the live service would
refuse is refused here too, with the same status, error type and form of message:

- the model must exist (404 not_found_error);
- the tool types must be ones the model takes (400 "'<model>' does not support tool types: ...
  Did you mean one of ...?"), each with its fixed name, a single computer tool with its display
  size and its beta flag in the anthropic-beta header, a toolset entry with no name;
- thinking settings the model refuses (disabled or a manual budget on the 5.5 models);
- every block of the history: assistant blocks as the service returned them (a thinking block
  with its text and signature, checked against everything before it; a toolset member's call
  with its toolset_name), every tool call answered in the next user turn, and every tool result
  of a valid shape, its images decodable and of the media type they claim;
- requests over 32 MB (413 request_too_large).

`Service.answer` shapes a scripted answer the way the model of the request would give it: a
computer call becomes a member call of the toolset for a model that takes the toolset, the editor
is called by the name it was offered under, and a model that thinks by default answers with a
signed thinking block first, whose text carries the notes it writes between tool calls (empty
unless the request asked for summarised thinking).
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import json
from dataclasses import dataclass, field
from typing import Any

MAX_REQUEST_BYTES = 32_000_000

TOOLSET = "computer_toolset_20260801"
TOOLSET_MEMBERS = (
    "key",
    "hold_key",
    "type",
    "cursor_position",
    "mouse_move",
    "left_mouse_down",
    "left_mouse_up",
    "left_click",
    "left_click_drag",
    "right_click",
    "middle_click",
    "double_click",
    "triple_click",
    "scroll",
    "wait",
    "screenshot",
    "zoom",
)
EDITOR_NAMES = {
    "text_editor_20250124": "str_replace_editor",
    "text_editor_20250728": "str_replace_based_edit_tool",
}
BASH = {"bash_20250124": "bash"}
# Server tools the service lists among the types a model takes.
SERVER_TOOLS = ("web_search_20250305",)
IMAGE_MAGIC = {
    "image/png": (b"\x89PNG\r\n\x1a\n",),
    "image/jpeg": (b"\xff\xd8\xff",),
    "image/gif": (b"GIF87a", b"GIF89a"),
    "image/webp": (b"RIFF",),
}


@dataclass(frozen=True)
class ModelRules:
    computer: dict[str, str | None]  # computer tool type -> the beta flag it needs (None: none)
    editor: str  # the text editor type the model takes
    thinks_by_default: bool = False  # answers carry thinking blocks without being asked
    preserved_thinking: bool = False  # thinking blocks are checked against their prefix

    def tool_types(self) -> set[str]:
        return {*self.computer, self.editor, *BASH, *SERVER_TOOLS}


_LEGACY = ModelRules({"computer_20250124": "computer-use-2025-01-24"}, "text_editor_20250124")
_CLAUDE_4 = ModelRules({"computer_20250124": "computer-use-2025-01-24"}, "text_editor_20250728")
_ZOOM = ModelRules({"computer_20251124": "computer-use-2025-11-24"}, "text_editor_20250728")
_TOOLSET = ModelRules(
    {TOOLSET: None}, "text_editor_20250728", thinks_by_default=True, preserved_thinking=True
)

FAMILIES: dict[str, ModelRules] = {
    "claude-3-7-sonnet": _LEGACY,
    "claude-sonnet-4": _CLAUDE_4,
    "claude-opus-4": _CLAUDE_4,
    "claude-opus-4-1": _CLAUDE_4,
    "claude-sonnet-4-5": _CLAUDE_4,
    "claude-haiku-4-5": _CLAUDE_4,
    "claude-sonnet-4-6": _ZOOM,
    "claude-opus-4-5": _ZOOM,
    "claude-opus-4-6": _ZOOM,
    "claude-opus-4-7": _ZOOM,
    "claude-sonnet-5-5": _TOOLSET,
    "claude-opus-5-5": _TOOLSET,
    "claude-haiku-5-5": _TOOLSET,
}
# The names the service answers to besides the families themselves.
ALIASES: dict[str, str] = {
    "claude-3-7-sonnet-20250219": "claude-3-7-sonnet",
    "claude-3-7-sonnet-latest": "claude-3-7-sonnet",
    "claude-sonnet-4-20250514": "claude-sonnet-4",
    "claude-sonnet-4-0": "claude-sonnet-4",
    "claude-opus-4-20250514": "claude-opus-4",
    "claude-opus-4-0": "claude-opus-4",
    "claude-opus-4-1-20250805": "claude-opus-4-1",
    "claude-sonnet-4-5-20250929": "claude-sonnet-4-5",
    "claude-haiku-4-5-20251001": "claude-haiku-4-5",
    "claude-opus-4-5-20251101": "claude-opus-4-5",
}


def rules_for(model: Any) -> ModelRules | None:
    if not isinstance(model, str):
        return None
    return FAMILIES.get(ALIASES.get(model, model))


class Refusal(Exception):
    """An error answer of the service: HTTP status, error type, message."""

    def __init__(self, message: str, status: int = 400, kind: str = "invalid_request_error"):
        super().__init__(message)
        self.status, self.kind, self.message = status, kind, message

    def body(self) -> dict[str, Any]:
        return {"type": "error", "error": {"type": self.kind, "message": self.message}}


def _canon(value: Any) -> bytes:
    return json.dumps(value, sort_keys=True, ensure_ascii=False, separators=(",", ":")).encode()


@dataclass
class Service:
    """The service's checks and its models' shaping of answers, with the memory a fake needs:
    the calls of toolset members it gave out, by id."""

    secret: bytes = b"fake-service-signing-key"
    issued_toolset: dict[str, str] = field(default_factory=dict)

    # ---- signatures -----------------------------------------------------------------------

    def _sign(self, prefix: bytes, payload: str) -> str:
        mac = hmac.new(
            self.secret, prefix + b"\0" + payload.encode("utf-8", "surrogatepass"), hashlib.sha256
        )
        return base64.b64encode(mac.digest()).decode("ascii")

    @staticmethod
    def _prefixes(body: dict[str, Any]):
        """A running digest: of system and tools, then of each message in turn."""
        digest = hashlib.sha256(_canon({"system": body.get("system"), "tools": body.get("tools")}))
        yield digest.digest()
        for message in body.get("messages", []):
            digest.update(_canon(message))
            yield digest.digest()

    @staticmethod
    def _block_prefix(before: bytes, blocks: list[Any]) -> bytes:
        return hashlib.sha256(before + _canon(blocks)).digest()

    # ---- checks ---------------------------------------------------------------------------

    def check(self, headers: dict[str, str], size: int, body: Any) -> None:
        """Raises Refusal for a request the live service would refuse."""
        if size > MAX_REQUEST_BYTES:
            raise Refusal(
                "Request exceeds the maximum allowed number of bytes.", 413, "request_too_large"
            )
        if not isinstance(body, dict):
            raise Refusal("The request body is not valid JSON.")
        model = body.get("model")
        rules = rules_for(model)
        if rules is None:
            raise Refusal(f"model: {model}", 404, "not_found_error")
        betas = {b.strip() for b in headers.get("anthropic-beta", "").split(",") if b.strip()}
        offered = self._check_tools(model, rules, body.get("tools", []), betas)
        self._check_thinking(rules, body.get("thinking"))
        messages = body.get("messages")
        if not isinstance(messages, list) or not messages:
            raise Refusal("messages: at least one message is required")
        self._check_messages(rules, body, offered)

    def _check_tools(
        self, model: str, rules: ModelRules, tools: Any, betas: set[str]
    ) -> dict[str, str]:
        """The tools offered, as {name the model calls: tool type}; toolset members by name."""
        if not isinstance(tools, list):
            raise Refusal("tools: Input should be a valid list")
        # Tools of the request's own making (no type, or "custom") are not the service's to know.
        unsupported = sorted(
            {t.get("type") for t in tools if isinstance(t, dict)}
            - rules.tool_types()
            - {None, "custom"},
            key=str,
        )
        if unsupported:
            raise Refusal(
                f"'{model}' does not support tool types: "
                f"{', '.join(map(str, unsupported))}. Did you mean one of "
                f"{', '.join(sorted(rules.tool_types()))}?"
            )
        offered: dict[str, str] = {}
        for i, tool in enumerate(tools):
            kind = tool.get("type")
            if kind == TOOLSET:
                extra = set(tool) - {"type", "configs", "cache_control"}
                if extra:
                    raise Refusal(f"tools.{i}.{sorted(extra)[0]}: Extra inputs are not permitted")
                configs = tool.get("configs") or {}
                if not isinstance(configs, dict):
                    raise Refusal(f"tools.{i}.configs: Input should be a valid dictionary")
                for member, config in configs.items():
                    if member not in TOOLSET_MEMBERS:
                        raise Refusal(f"tools.{i}.configs.{member}: Extra inputs are not permitted")
                    if not isinstance(config, dict) or set(config) - {"enabled", "defer_loading"}:
                        raise Refusal(
                            f"tools.{i}.configs.{member}: Input should be an object "
                            "with the fields enabled and defer_loading"
                        )
                for member in TOOLSET_MEMBERS:
                    if (configs.get(member) or {}).get("enabled", True) is not False:
                        offered[member] = TOOLSET
                continue
            name = tool.get("name")
            if kind in (None, "custom"):
                offered[str(name)] = "custom"
                continue
            if kind in rules.computer:
                flag = rules.computer[kind]
                if flag and flag not in betas:
                    raise Refusal(
                        f"tools.{i}: the tool type '{kind}' requires the beta header "
                        f"'{flag}' (anthropic-beta: {flag})"
                    )
                if name != "computer":
                    raise Refusal(f"tools.{i}.name: Input should be 'computer'")
                for key in ("display_width_px", "display_height_px"):
                    value = tool.get(key)
                    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
                        raise Refusal(
                            f"tools.{i}.{key}: Field required"
                            if value is None
                            else f"tools.{i}.{key}: Input should be a positive integer"
                        )
                allowed = {
                    "type",
                    "name",
                    "display_width_px",
                    "display_height_px",
                    "display_number",
                    "cache_control",
                }
                if kind == "computer_20251124":
                    allowed.add("enable_zoom")
                extra = set(tool) - allowed
                if extra:
                    raise Refusal(f"tools.{i}.{sorted(extra)[0]}: Extra inputs are not permitted")
            else:
                expected = {**EDITOR_NAMES, **BASH}.get(kind)
                if expected is not None and name != expected:
                    raise Refusal(f"tools.{i}.name: Input should be '{expected}'")
                allowed = {"type", "name", "cache_control"}
                if kind == "text_editor_20250728":
                    allowed.add("max_characters")
                extra = set(tool) - allowed
                if expected is not None and extra:
                    raise Refusal(f"tools.{i}.{sorted(extra)[0]}: Extra inputs are not permitted")
            offered[str(name)] = str(kind)
        return offered

    @staticmethod
    def _check_thinking(rules: ModelRules, thinking: Any) -> None:
        if thinking is None:
            return
        if not isinstance(thinking, dict):
            raise Refusal("thinking: Input should be a valid dictionary")
        kind = thinking.get("type")
        if rules.thinks_by_default and kind in ("disabled", "enabled"):
            raise Refusal(
                f'"thinking.type.{kind}" is not supported for this model. Use '
                '"thinking.type.adaptive" and "output_config.effort" to control '
                "thinking behavior."
            )
        if kind not in ("adaptive", "enabled", "disabled"):
            raise Refusal(
                f"thinking.type: Input tag '{kind}' found using 'type' does not match "
                "any of the expected tags: 'adaptive', 'disabled', 'enabled'"
            )
        if thinking.get("display") not in (None, "summarized", "omitted"):
            raise Refusal("thinking.display: Input should be 'summarized' or 'omitted'")

    def _check_messages(
        self, rules: ModelRules, body: dict[str, Any], offered: dict[str, str]
    ) -> None:
        messages = body["messages"]
        # The running digests cost a pass over the whole body: made only when a thinking block
        # needs them.
        prefixes: list[bytes] = []

        def prefix(i: int) -> bytes:
            if not prefixes:
                prefixes.extend(self._prefixes(body))
            return prefixes[i]

        if not isinstance(messages[-1], dict) or messages[-1].get("role") != "user":
            raise Refusal(
                "This model does not support assistant message prefill. The "
                "conversation must end with a user message."
            )
        for i, message in enumerate(messages):
            if not isinstance(message, dict) or set(message) != {"role", "content"}:
                raise Refusal(f"messages.{i}: a message has exactly the fields role and content")
            role, content = message["role"], message["content"]
            if role not in ("user", "assistant"):
                raise Refusal(f"messages.{i}.role: Input should be 'user' or 'assistant'")
            if (role == "user") != (i % 2 == 0):
                raise Refusal(
                    f'messages.{i}: roles must alternate between "user" and '
                    '"assistant", starting with "user"'
                )
            if isinstance(content, str):
                continue
            if not isinstance(content, list) or not content:
                raise Refusal(
                    f"messages.{i}.content: Input should be a string or a non-empty "
                    "list of content blocks"
                )
            if role == "assistant":
                self._check_assistant(rules, i, content, lambda i=i: prefix(i), offered)
                asked = [b["id"] for b in content if b.get("type") == "tool_use"]
                if asked:
                    following = messages[i + 1] if i + 1 < len(messages) else {}
                    answers = following.get("content") if isinstance(following, dict) else None
                    answered = [
                        b.get("tool_use_id")
                        for b in answers or []
                        if isinstance(b, dict) and b.get("type") == "tool_result"
                    ]
                    if answered[: len(asked)] != asked:
                        raise Refusal(
                            f"messages.{i + 1}: `tool_use` ids were found without "
                            "`tool_result` blocks immediately after: "
                            f"{', '.join(a for a in asked if a not in answered)}. "
                            "Each `tool_use` block must have a corresponding "
                            "`tool_result` block in the next message."
                            if set(asked) - set(answered)
                            else f"messages.{i + 1}: tool results must answer the tool "
                            f"calls {asked!r} in order, got {answered!r}"
                        )
            else:
                for j, block in enumerate(content):
                    self._check_user_block(i, j, block)

    def _check_assistant(
        self, rules: ModelRules, i: int, content: list[Any], before: Any, offered: dict[str, str]
    ) -> None:
        thinking_seen = False
        for j, block in enumerate(content):
            where = f"messages.{i}.content.{j}"
            if not isinstance(block, dict):
                raise Refusal(f"{where}: Input should be a valid dictionary")
            kind = block.get("type")
            fields = {
                "text": {"type", "text"},
                "tool_use": {"type", "id", "name", "input", "toolset_name", "caller"},
                "thinking": {"type", "thinking", "signature"},
                "redacted_thinking": {"type", "data"},
            }.get(kind)
            if fields is None:
                raise Refusal(
                    f"{where}.type: Input tag '{kind}' found using 'type' does not "
                    "match any of the expected tags"
                )
            extra = set(block) - fields
            if extra:
                raise Refusal(f"{where}.{sorted(extra)[0]}: Extra inputs are not permitted")
            if kind in ("thinking", "redacted_thinking"):
                thinking_seen = True
                for key in sorted(fields - {"type"}):
                    if not isinstance(block.get(key), str):
                        raise Refusal(f"{where}.{kind}.{key}: Field required")
                prefix = self._block_prefix(before(), content[:j])
                payload = block["thinking"] if kind == "thinking" else ""
                expected = self._sign(prefix, payload)
                got = block["signature"] if kind == "thinking" else block["data"]
                if not hmac.compare_digest(expected, got):
                    raise Refusal(
                        f"{where}: Invalid `signature` in `{kind}` block. The block is "
                        "bound to a different conversation. Remove the block, or set "
                        "`thinking.block_binding.prefix_mismatch_behavior` to "
                        '"drop_block".'
                        if rules.preserved_thinking
                        else f"{where}: Invalid `signature` in `{kind}` block"
                    )
            elif kind == "tool_use":
                if not isinstance(block.get("id"), str) or not isinstance(block.get("input"), dict):
                    raise Refusal(
                        f"{where}: a tool_use block needs a string id and an object input"
                    )
                name, toolset = block.get("name"), block.get("toolset_name")
                issued = self.issued_toolset.get(block["id"])
                if issued is not None and toolset != issued:
                    raise Refusal(
                        f"{where}: `tool_use` block `{block['id']}` calls `{name}`, a "
                        f"member of the `{issued}` toolset, and must carry "
                        f'"toolset_name": "{issued}" as it was returned'
                    )
                # A call of a name the tools do not have is the model's own mistake and goes
                # back as it came; a toolset member's call is one only with its toolset_name.
                if toolset is not None:
                    if toolset != "computer" or offered.get(name) != TOOLSET:
                        raise Refusal(f"{where}: `{name}` is not a member of a toolset in `tools`")
                elif offered.get(name) == TOOLSET:
                    raise Refusal(
                        f"{where}: `tool_use` block `{name}` names a member of the "
                        '`computer` toolset without its "toolset_name"'
                    )
                if rules.thinks_by_default and not thinking_seen:
                    raise Refusal(
                        f"messages.{i}.content.0: Expected `thinking` or "
                        "`redacted_thinking`, but found `tool_use`. When `thinking` is "
                        "enabled, a final `assistant` message must start with a "
                        "thinking block (preceeding the lastmost set of `tool_use` and "
                        "`tool_result` blocks)."
                    )
            elif not isinstance(block.get("text"), str):
                raise Refusal(f"{where}.text: Field required")

    @staticmethod
    def _check_user_block(i: int, j: int, block: Any) -> None:
        where = f"messages.{i}.content.{j}"
        if not isinstance(block, dict):
            raise Refusal(f"{where}: Input should be a valid dictionary")
        if block.get("type") != "tool_result":
            if block.get("type") == "text" and isinstance(block.get("text"), str):
                return
            if block.get("type") == "image":
                Service._check_image(where, block)
                return
            raise Refusal(
                f"{where}.type: Input tag '{block.get('type')}' found using 'type' "
                "does not match any of the expected tags"
            )
        extra = set(block) - {"type", "tool_use_id", "content", "is_error", "cache_control"}
        if extra:
            raise Refusal(f"{where}.{sorted(extra)[0]}: Extra inputs are not permitted")
        if not isinstance(block.get("tool_use_id"), str):
            raise Refusal(f"{where}.tool_use_id: Field required")
        if "is_error" in block and not isinstance(block["is_error"], bool):
            raise Refusal(f"{where}.is_error: Input should be a valid boolean")
        content = block.get("content", "")
        if isinstance(content, str):
            return
        if not isinstance(content, list):
            raise Refusal(f"{where}.content: Input should be a valid string or list")
        for k, part in enumerate(content):
            inner = f"{where}.content.{k}"
            if not isinstance(part, dict):
                raise Refusal(f"{inner}: Input should be a valid dictionary")
            if part.get("type") == "text":
                if set(part) - {"type", "text", "cache_control"} or not isinstance(
                    part.get("text"), str
                ):
                    raise Refusal(f"{inner}: a text block has a string text and nothing else")
            elif part.get("type") == "image":
                Service._check_image(inner, part)
            else:
                raise Refusal(
                    f"{inner}.type: Input tag '{part.get('type')}' found using 'type' "
                    "does not match any of the expected tags: 'text', 'image'"
                )

    @staticmethod
    def _check_image(where: str, part: dict[str, Any]) -> None:
        source = part.get("source")
        if set(part) - {"type", "source", "cache_control"} or not isinstance(source, dict):
            raise Refusal(f"{where}.source: Field required")
        if source.get("type") != "base64" or set(source) != {"type", "media_type", "data"}:
            raise Refusal(
                f"{where}.source: a base64 image source has exactly type, media_type and data"
            )
        media_type = source.get("media_type")
        if media_type not in IMAGE_MAGIC:
            raise Refusal(
                f"{where}.source.media_type: Input should be 'image/jpeg', "
                "'image/png', 'image/gif' or 'image/webp'"
            )
        try:
            data = base64.b64decode(source.get("data", ""), validate=True)
        except binascii.Error, ValueError, TypeError:
            raise Refusal(f"{where}.source.data: The image data is not valid base64") from None
        if not data.startswith(IMAGE_MAGIC[media_type]) or (
            media_type == "image/webp" and data[8:12] != b"WEBP"
        ):
            raise Refusal(
                f"{where}.source: Image does not match the provided media type {media_type}"
            )

    # ---- answers --------------------------------------------------------------------------

    def answer(
        self, body: dict[str, Any], blocks: list[dict[str, Any]], *, number: int = 0
    ) -> dict[str, Any]:
        """The complete response of the request's model for the scripted `blocks`."""
        rules = rules_for(body.get("model")) or _ZOOM
        tools = {t.get("name"): t.get("type") for t in body.get("tools", []) if isinstance(t, dict)}
        toolset = any(
            isinstance(t, dict) and t.get("type") == TOOLSET for t in body.get("tools", [])
        )
        editor = next((name for name, kind in tools.items() if kind in EDITOR_NAMES), None)
        shaped = [self._shape(block, toolset, editor, tools.get(editor)) for block in blocks]
        if rules.thinks_by_default:
            shaped = self._think(body, shaped)
        uses_tool = any(b.get("type") == "tool_use" for b in shaped)
        return {
            "id": f"msg_fake_{number:04d}",
            "type": "message",
            "role": "assistant",
            "model": body.get("model"),
            "content": shaped,
            "stop_reason": "tool_use" if uses_tool else "end_turn",
            "stop_sequence": None,
            "usage": {"input_tokens": 1, "output_tokens": 1},
        }

    def _shape(
        self, block: dict[str, Any], toolset: bool, editor: str | None, editor_type: str | None
    ) -> dict[str, Any]:
        block = dict(block)
        if block.get("type") != "tool_use":
            return block
        name, tool_input = block.get("name"), dict(block.get("input") or {})
        if name == "computer" and toolset:
            member = tool_input.pop("action", "")
            block.update(name=member, input=tool_input, toolset_name="computer")
            self.issued_toolset[block["id"]] = "computer"
        elif name in ("editor", *EDITOR_NAMES.values()) and editor is not None:
            if tool_input.get("command") == "insert":
                text = tool_input.pop("insert_text", tool_input.pop("new_str", None))
                if text is not None:
                    key = "insert_text" if editor_type == "text_editor_20250728" else "new_str"
                    tool_input[key] = text
            block.update(name=editor, input=tool_input)
        elif block.get("toolset_name") is not None:
            self.issued_toolset[block["id"]] = block["toolset_name"]
        return block

    def _think(self, body: dict[str, Any], shaped: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """A thinking model's answer: a thinking block first, signed against everything before
        it. Text before the first tool call is the model's note, which the service returns in
        the thinking block (as its summarised text) rather than as text."""
        uses_tool = any(b.get("type") == "tool_use" for b in shaped)
        notes, rest = [], []
        for block in shaped:
            if uses_tool and block.get("type") == "text" and not rest:
                notes.append(block["text"])
            elif block.get("type") in ("thinking", "redacted_thinking"):
                continue
            else:
                rest.append(block)
        note = " ".join(notes) if notes else "Checking the result before I answer."
        thinking = body.get("thinking") or {}
        shown = note if thinking.get("display") == "summarized" else ""
        before = list(self._prefixes(body))[-1]
        first = {
            "type": "thinking",
            "thinking": shown,
            "signature": self._sign(self._block_prefix(before, []), shown),
        }
        out = [first]
        for block in shaped:
            if block.get("type") == "redacted_thinking":
                out.append(
                    {
                        "type": "redacted_thinking",
                        "data": self._sign(self._block_prefix(before, out), ""),
                    }
                )
        return out + rest
