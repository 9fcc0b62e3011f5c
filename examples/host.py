"""The least of the host application's chat road, with the free models wired in.

GET /api/llm/config lists the user's own models and then the free models, each free entry under
the selector index FREE_MODEL_BASE + i. POST /api/chat/send and POST /api/chat/stream take
{"model_index", "message"}, resolve a free model, fill in its sampling values, build the relay's
URL and headers and forward the chat-completions request. The lines that the free models add to
the host are marked "# [FREE MODELS]", as in the real host.

The file is type-checked with `mypy --strict` against routes/free_models.pyi (`make test`).
"""
from __future__ import annotations

import json
import urllib.error
import urllib.request
from collections.abc import Callable, Mapping
from http.client import HTTPResponse
from http.server import ThreadingHTTPServer
from typing import TYPE_CHECKING, Any

from loopback import LoopbackService, QuietJSONHandler

from routes.free_models import (  # [FREE MODELS]
    FREE_API_BASE, FREE_MODEL_BASE, FREE_PROVIDER_TYPE, apply_optimal_params, build_endpoint,
    get_free_model_choices, resolve_free_model)

MAX_BODY = 64 * 1024
TEAM_API = "https://llm.team.example/v1"
USER_MODELS: list[dict[str, Any]] = [  # the user's own models, from the host's configuration
    {"name": "Team Large", "model": "team-large", "provider": "team", "api_base": TEAM_API,
     "max_context": 128000, "max_tokens": 4096, "temperature": 1.0, "top_p": 1.0},
    {"name": "Team Small", "model": "team-small", "provider": "team", "api_base": TEAM_API,
     "max_context": 32000, "max_tokens": 2048, "temperature": 0.8, "top_p": 1.0},
]
# The host sends its own provider key with every request by default; the free branch drops it.
DEFAULT_HEADERS = {"Content-Type": "application/json", "Authorization": "Bearer team-key"}


class HostError(Exception):
    """A request the host refuses; status and message go back to the front end."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


if TYPE_CHECKING:
    class _HostServer(ThreadingHTTPServer):  # the server, with the host hung on it
        host: ChatHost


class ChatHost(LoopbackService):
    """The host on 127.0.0.1 at an ephemeral port, forwarding free-model chats to relay_base."""

    server: _HostServer

    def __init__(self, relay_base: str = FREE_API_BASE,
                 default_headers: Mapping[str, str] | None = None) -> None:
        super().__init__(_Handler)
        self.relay_base = relay_base
        if default_headers is None:
            default_headers = DEFAULT_HEADERS
        self.default_headers = dict(default_headers)
        self.all_config: dict[str, Any] = {"system_prompt": "You are a helpful assistant.",
                                           "models": USER_MODELS}
        self.server.host = self
        self.base_url = self.origin

    def llm_config_list(self) -> dict[str, list[dict[str, Any]]]:
        models = [dict(m, index=i) for i, m in enumerate(self.all_config["models"])]
        for i, entry in enumerate(get_free_model_choices()):  # [FREE MODELS]
            models.append({**entry, "index": FREE_MODEL_BASE + i})  # [FREE MODELS]
        return {"models": models}

    def llm_config_for(self, model_index: int) -> Mapping[str, Any]:
        llm_config: Mapping[str, Any] | None  # a free model's, or one of the user's own
        llm_config = resolve_free_model(model_index, self.all_config)  # [FREE MODELS]
        llm_config = apply_optimal_params(llm_config)  # [FREE MODELS]
        if llm_config is None:  # the host's ordinary handling of an index
            models = self.all_config["models"]
            if not 0 <= model_index < len(models):
                raise HostError(404, f"no model at index {model_index}")
            llm_config = dict(models[model_index], system_prompt=self.all_config["system_prompt"])
        return llm_config

    def _get_llm_endpoint(self, llm_config: Mapping[str, Any]) -> tuple[str, dict[str, str]]:
        if llm_config.get("provider") == FREE_PROVIDER_TYPE:  # [FREE MODELS]
            return build_endpoint(self.relay_base, self.default_headers)  # [FREE MODELS]
        return llm_config["api_base"].rstrip("/") + "/chat/completions", dict(self.default_headers)

    def open_chat(self, model_index: int, message: str, stream: bool) -> HTTPResponse:
        """Sends one message upstream; returns the open response."""
        llm_config = self.llm_config_for(model_index)
        url, headers = self._get_llm_endpoint(llm_config)
        payload = {"model": llm_config["model"],
                   "messages": [{"role": "system", "content": llm_config["system_prompt"]},
                                {"role": "user", "content": message}],
                   "temperature": llm_config.get("temperature"),
                   "max_tokens": llm_config.get("max_tokens"), "stream": stream}
        if "_free_top_p" in llm_config:  # [FREE MODELS]
            payload["top_p"] = llm_config["_free_top_p"]  # [FREE MODELS]
        # urllib title-cases header names (the relay sees "Http-Referer"); HTTP ignores the case.
        request = urllib.request.Request(url, json.dumps(payload).encode(), headers, method="POST")
        try:
            response: HTTPResponse = urllib.request.urlopen(request, timeout=30)
            return response
        except urllib.error.HTTPError as exc:
            detail = exc.read().decode(errors="replace")
            raise HostError(502, f"{url} answered {exc.code}: {detail}") from None
        except OSError as exc:
            raise HostError(502, f"{url} could not be reached: {exc}") from None


def _chat_request(raw: bytes) -> tuple[int, str]:
    """model_index and message of a chat request body, or HostError 400."""
    try:
        body = json.loads(raw)
    except ValueError as exc:
        raise HostError(400, f"malformed JSON: {exc}") from None
    if not isinstance(body, dict):
        raise HostError(400, "the body must be a JSON object")
    for field in ("model_index", "message"):
        if field not in body:
            raise HostError(400, f"missing field: {field}")
    index, message = body["model_index"], body["message"]
    if isinstance(index, bool) or not isinstance(index, int):
        raise HostError(400, "model_index must be an integer")
    if not isinstance(message, str):
        raise HostError(400, "message must be a string")
    return index, message


class _Handler(QuietJSONHandler):
    server: _HostServer

    def do_GET(self) -> None:
        self._serve(self._config if self.path == "/api/llm/config" else self._not_found)

    def do_POST(self) -> None:
        self._serve({"/api/chat/send": self._send,
                     "/api/chat/stream": self._stream}.get(self.path, self._not_found))

    def _serve(self, action: Callable[[], None]) -> None:
        self.streaming = False
        try:
            action()
        except Exception as exc:  # a fault in one request must not take the server down
            if self.streaming:
                return  # the answer has begun; closing the connection ends it
            if not isinstance(exc, HostError):
                exc = HostError(500, f"internal error: {exc!r}")
            self.send_json(exc.status, {"error": str(exc)})

    def _not_found(self) -> None:
        raise HostError(404, f"no route for {self.command} {self.path}")

    def _read_chat(self) -> tuple[int, str]:
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            raise HostError(411, "a Content-Length header is required") from None
        if length > MAX_BODY:
            raise HostError(413, f"the body exceeds {MAX_BODY} bytes")
        return _chat_request(self.rfile.read(max(length, 0)))

    def _send(self) -> None:
        with self.server.host.open_chat(*self._read_chat(), stream=False) as upstream:
            answer = json.load(upstream)
        self.send_json(200, {"reply": answer["choices"][0]["message"]["content"]})

    def _config(self) -> None:
        self.send_json(200, self.server.host.llm_config_list())

    def _stream(self) -> None:
        with self.server.host.open_chat(*self._read_chat(), stream=True) as upstream:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.end_headers()
            self.streaming = True
            for line in upstream:
                data = line[len(b"data:"):].strip() if line.startswith(b"data:") else b""
                if data in (b"", b"[DONE]"):
                    continue
                for choice in json.loads(data).get("choices") or []:
                    content = (choice.get("delta") or {}).get("content")
                    if content:
                        event = json.dumps({"content": content}).encode()
                        self.wfile.write(b"data: %s\n\n" % event)
                        self.wfile.flush()
            self.wfile.write(b"data: [DONE]\n\n")

