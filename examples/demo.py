"""Walks chat requests through the host and the free models, end to end over loopback HTTP.

Starts the relay stand-in and the host stand-in on 127.0.0.1, prints the model drop-down, sends
one message through each free model (the last one streamed) and shows the answer with the URL and
headers that reached the relay, shows that an unknown index takes the host's error path, then
stops both. Exits 0 when every step went as expected, 1 otherwise. With --real (or
FREE_MODELS_REAL_RELAY=1) the host talks to the real relay at FREE_API_BASE instead of the
stand-in; that needs a network.
"""
import argparse
import json
import logging
import os
import sys
import urllib.error
import urllib.request

from host import ChatHost
from relay import RelayStandIn
from routes.free_models import FREE_API_BASE, FREE_MODEL_BASE

COLUMNS = (("index", "index"), ("name", "name"), ("model", "model"), ("context", "max_context"),
           ("temperature", "temperature"), ("top_p", "top_p"), ("max_tokens", "max_tokens"))


def call(url, body=None):
    """GET url, or POST body as JSON; returns (status, answer dict).

    An event stream is read to its end and answered as {"reply": the joined content pieces}.
    """
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data, {"Content-Type": "application/json"})
    try:
        answer = urllib.request.urlopen(request, timeout=60)
    except urllib.error.HTTPError as exc:
        answer = exc
    with answer:
        if answer.headers.get_content_type() != "text/event-stream":
            return answer.status, json.load(answer)
        events = [line[len(b"data:"):].strip() for line in answer if line.startswith(b"data:")]
        return answer.status, {"reply": "".join(json.loads(event)["content"]
                                                for event in events if event != b"[DONE]")}


def print_table(models):
    rows = [[title for title, _ in COLUMNS]]
    rows += [[str(model.get(key, "")) for _, key in COLUMNS] for model in models]
    widths = [max(len(row[i]) for row in rows) for i in range(len(COLUMNS))]
    for row in rows:
        print("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def run(host, relay):
    """Every step of the walk-through; returns the list of steps that went wrong."""
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("  FAILED:", what)

    status, config = call(host.base_url + "/api/llm/config")
    check(status == 200, "GET /api/llm/config answers 200")
    print("Model drop-down:")
    print_table(config["models"])
    free = [model for model in config["models"] if model["index"] >= FREE_MODEL_BASE]
    check(len(free) > 0, "the drop-down offers free models")

    for position, model in enumerate(free):
        route = "/api/chat/stream" if position == len(free) - 1 else "/api/chat/send"
        seen = len(relay.requests) if relay else 0
        print(f"\n{model['name']} (index {model['index']}) via POST {route}")
        status, answer = call(host.base_url + route,
                              {"model_index": model["index"], "message": "Hello there!"})
        reply = answer.get("reply") or answer.get("error")
        print(f"  HTTP {status}: {reply}")
        check(status == 200 and bool(reply), f"{model['model']} answers through {route}")
        if relay is None:
            continue
        check(model["model"] in reply, f"the relay answered for {model['model']}")
        for request in relay.requests[seen:]:
            print("  relay saw", request["method"], request["url"])
            for name, value in request["headers"]:
                print(f"    {name}: {value}")
            names = {name.lower() for name, _ in request["headers"]}
            check("authorization" not in names, "no Authorization header reaches the relay")
            check({"http-referer", "x-title"} <= names, "the attribution headers reach the relay")

    bogus = FREE_MODEL_BASE + len(free)
    print(f"\nAn index that designates no model ({bogus}) via POST /api/chat/send")
    status, answer = call(host.base_url + "/api/chat/send", {"model_index": bogus, "message": "?"})
    print(f"  HTTP {status}: {answer.get('error')}")
    check(status == 404, "an unknown index gets the host's 404")
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--real", action="store_true",
                        help="talk to the real relay at FREE_API_BASE (needs a network)")
    real = parser.parse_args(argv).real or os.environ.get("FREE_MODELS_REAL_RELAY") == "1"
    logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="  log: %(message)s")
    relay = None if real else RelayStandIn().start()
    try:
        with ChatHost(FREE_API_BASE if real else relay.base_url) as host:
            print(f"Host at {host.base_url}, relay at {host.relay_base}\n")
            failures = run(host, relay)
    finally:
        if relay is not None:
            relay.stop()
    print(f"\n{len(failures)} step(s) failed" if failures else "\nEvery step went as expected.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
