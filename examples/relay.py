"""A loopback stand-in for the relay's keyless free tier.

It speaks the OpenAI-compatible chat-completions protocol the way the free tier does towards the
host: POST {base}/chat/completions answers 401 to any request carrying an Authorization header
(in any letter case), 400 to a body that is not JSON or names no known model, and otherwise a
completion, or a server-sent-events stream when "stream" is true. The answer's text reports the
model and the sampling values the relay received. Every request is recorded (method, URL,
headers as sent, parsed body) so a caller can see what reached the relay.

Like the real free tier, it also knows models that left the catalogue: per model id, `states`
says how it answers a well-formed anonymous request instead of a completion: "paid" (401, the
model turned paid), "region" (403, restricted to some regions) or "no-tools" (400 when the
request carries a `tools` parameter). STATES holds the ids last seen paid and region-restricted;
a caller adds its own states to them, and may put any model, a catalogue model included, into any
state, also while the stand-in runs (the `states` dict is live).

Run on its own, it serves until Ctrl-C or SIGTERM:

    python examples/relay.py --port 8089 [--state MODEL=STATE ...]
"""
import argparse
import json
import os
import signal
import sys
import threading
import time

from loopback import LoopbackService, QuietJSONHandler

try:
    from routes import free_models
except ImportError:  # run from a clone without PYTHONPATH: the module as `make build` left it
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                                    "lib"))
    from routes import free_models

BASE_PATH = "/zen/v1"
# The models the free tier serves: the module's catalogue as shipped.
KNOWN_MODELS = tuple(model_id for _, model_id, _ in free_models.FREE_MODELS)
STATES = {"x-preview-f-free": "paid", "muse-spark-1.2-contributor-free": "region"}
STATE_NAMES = ("paid", "region", "no-tools")


class _Handler(QuietJSONHandler):
    def do_POST(self):
        length = self.headers.get("Content-Length", "")
        length = int(length) if length.isdigit() else 0
        raw = self.rfile.read(length)
        try:
            body = json.loads(raw)
        except ValueError:
            body = None
        self._record(body)
        if "authorization" in {name.lower() for name in self.headers.keys()}:
            return self._answer_error(401, "authentication_error",
                                      "Invalid API key (the free tier takes no Authorization)")
        if self.path != BASE_PATH + "/chat/completions":
            return self._answer_error(404, "not_found", f"no route for POST {self.path}")
        if not isinstance(body, dict):
            return self._answer_error(400, "invalid_request_error",
                                      "request body must be a JSON object")
        model = body.get("model")
        state = self.server.states.get(model) if isinstance(model, str) else None
        if model not in KNOWN_MODELS and state is None:
            return self._answer_error(400, "invalid_request_error",
                                      f"unknown or missing model: {model!r}")
        if not isinstance(body.get("messages"), list):
            return self._answer_error(400, "invalid_request_error", "messages must be a list")
        if "tools" in body and not isinstance(body["tools"], list):
            return self._answer_error(400, "invalid_request_error", "tools must be a list")
        if state == "paid":
            return self._answer_error(401, "authentication_error",
                                      f"{model} is no longer free: an API key is required")
        if state == "region":
            return self._answer_error(403, "permission_error",
                                      f"{model} is not available in your region")
        if state == "no-tools" and "tools" in body:
            return self._answer_error(400, "invalid_request_error",
                                      f"{model} does not support tools")
        text = _reply_text(body)
        if body.get("stream"):
            self._answer_stream(model, text)
        else:
            self.send_json(200, {
                "id": "chatcmpl-standin", "object": "chat.completion",
                "created": int(time.time()), "model": model,
                "choices": [{"index": 0, "message": {"role": "assistant", "content": text},
                             "finish_reason": "stop"}]})

    def _record(self, body):
        entry = {"method": self.command, "url": self.server.origin + self.path,
                 "headers": list(self.headers.items()), "body": body}
        with self.server.lock:
            self.server.requests.append(entry)


    def _answer_error(self, status, kind, message):
        self.send_json(status, {"error": {"message": message, "type": kind, "code": status}})

    def _answer_stream(self, model, text):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.end_headers()
        pieces = [{"role": "assistant", "content": ""}]
        pieces += [{"content": text[i:i + 16]} for i in range(0, len(text), 16)]
        for delta in pieces:
            self._event({"object": "chat.completion.chunk", "model": model,
                         "choices": [{"index": 0, "delta": delta, "finish_reason": None}]})
        self._event({"object": "chat.completion.chunk", "model": model,
                     "choices": [{"index": 0, "delta": {}, "finish_reason": "stop"}]})
        self.wfile.write(b"data: [DONE]\n\n")

    def _event(self, chunk):
        self.wfile.write(b"data: " + json.dumps(chunk).encode() + b"\n\n")
        self.wfile.flush()


def _reply_text(body):
    said = next((m.get("content") for m in reversed(body["messages"])
                 if isinstance(m, dict) and m.get("role") == "user"), "")
    return (f"{body['model']} received temperature={body.get('temperature')} "
            f"top_p={body.get('top_p')} max_tokens={body.get('max_tokens')}; you said: {said}")


class RelayStandIn(LoopbackService):
    """The stand-in on 127.0.0.1 at an ephemeral port, between start() and stop()."""

    def __init__(self, states=None, port=0):
        states = {**STATES, **(states or {})}
        unknown = sorted(set(states.values()) - set(STATE_NAMES))
        if unknown:
            raise ValueError(f"unknown model state(s) {unknown}; known: {STATE_NAMES}")
        super().__init__(_Handler, port)
        self.server.origin = self.origin
        self.server.states = self.states = states
        self.server.requests = []
        self.server.lock = threading.Lock()
        self.base_url = self.origin + BASE_PATH

    @property
    def requests(self):
        """A copy of the recorded requests, oldest first."""
        with self.server.lock:
            return list(self.server.requests)


def main(argv=None):
    parser = argparse.ArgumentParser(description="The relay's free tier, standing in on "
                                     "127.0.0.1 until Ctrl-C or SIGTERM.")
    parser.add_argument("--port", type=int, default=0,
                        help="the port to listen on (default: any free one)")
    parser.add_argument("--state", action="append", default=[], metavar="MODEL=STATE",
                        help=f"answer for MODEL as in STATE, one of {', '.join(STATE_NAMES)}")
    args = parser.parse_args(argv)
    states = {}
    for item in args.state:
        model, sep, state = item.partition("=")
        if not sep or state not in STATE_NAMES:
            parser.error(f"--state {item}: give MODEL=STATE, STATE one of {STATE_NAMES}")
        states[model] = state
    try:
        relay = RelayStandIn(states, args.port)
    except OSError as exc:
        parser.exit(1, f"relay.py: cannot listen on port {args.port}: {exc}\n")
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    with relay:
        print(f"relay stand-in: POST {relay.base_url}/chat/completions (Ctrl-C stops it)",
              flush=True)
        stop.wait()


if __name__ == "__main__":
    main()
