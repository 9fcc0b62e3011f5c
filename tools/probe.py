"""Checks the free-model catalogue against the relay, anonymously, model by model.

For every entry of get_free_model_choices() (selector index FREE_MODEL_BASE + i) it goes the
host's way: resolve_free_model, apply_optimal_params and build_endpoint give the configuration,
URL and headers; then it sends one minimal chat request, and one more that carries a small
`tools` parameter (the host's agent loop sends tools). Each is sent once, with a timeout, and
never retried; the second is skipped when the first got no answer at all. No request carries an
Authorization header: one that would is not sent, and the model fails.

It prints a table (model, HTTP status of each request, whether tools are accepted, latency), or
JSON with --json, and exits 1 when any model fails: a request not answered 200 with a completion,
tools refused, or an index that does not resolve.

By default the requests go to the relay stand-in of examples/relay.py, which the probe starts on
loopback; --real (or FREE_MODELS_REAL_RELAY=1) sends them to the real relay at FREE_API_BASE
(that needs a network), --base to a relay of your choice.
"""
import argparse
import json
import os
import pathlib
import sys
import time
import urllib.error
import urllib.request

import routes.free_models as free_models

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from relay import RelayStandIn  # noqa: E402

TIMEOUT = 30.0  # seconds per request
ALL_CONFIG = {"system_prompt": "You are a terse assistant."}
PROMPT = "Reply with the single word: ok"
TOOLS = [{"type": "function", "function": {
    "name": "get_time", "description": "The current UTC time.",
    "parameters": {"type": "object", "properties": {}, "required": []}}}]
HEADERS = {"Content-Type": "application/json"}  # what the host hands build_endpoint, minus keys
MAX_ANSWER = 256 * 1024  # bytes of an answer read at most
COLUMNS = ("model", "chat", "tools", "tools accepted", "latency ms", "verdict")


def send(opener, url, headers, payload, timeout):
    """POSTs payload once; {"status": int or None, "latency_ms": float, "error": str}.

    status is None when no HTTP answer came (refused, timed out, cut off); error is empty for a
    200 that holds a chat completion, else the relay's message or what went wrong."""
    request = urllib.request.Request(url, json.dumps(payload).encode(), headers, method="POST")
    started = time.monotonic()
    status, error = None, ""
    try:
        with opener.open(request, timeout=timeout) as answer:
            status, data = answer.status, answer.read(MAX_ANSWER)
    except urllib.error.HTTPError as exc:
        status = exc.code
        try:
            data = exc.read(MAX_ANSWER)
        except OSError:
            data = b""
        finally:
            exc.close()
    except OSError as exc:  # URLError, timeouts, refused or reset connections
        data, error = b"", f"no answer: {getattr(exc, 'reason', exc)}"
    latency_ms = round((time.monotonic() - started) * 1000, 1)
    if status is not None:
        error = _answer_error(status, data)
    return {"status": status, "latency_ms": latency_ms, "error": error}


def _answer_error(status, data):
    try:
        body = json.loads(data)
    except ValueError:
        body = None
    if status == 200:
        ok = isinstance(body, dict) and isinstance(body.get("choices"), list) and body["choices"]
        return "" if ok else "HTTP 200 without a chat completion"
    message = body.get("error") if isinstance(body, dict) else None
    if isinstance(message, dict):
        message = message.get("message")
    if not isinstance(message, str) or not message:
        message = data.decode(errors="replace").strip() or "(empty answer)"
    return " ".join(message.split())[:200]


def probe_model(opener, position, relay_base, timeout):
    """The host's road for the free model at `position`, then the two requests; one result."""
    index = free_models.FREE_MODEL_BASE + position
    result = {"index": index, "model": None, "chat": None, "tools": None,
              "tools_accepted": None, "verdict": "", "ok": False}
    config = free_models.resolve_free_model(index, ALL_CONFIG)
    config = free_models.apply_optimal_params(config)
    if config is None:
        result["verdict"] = f"index {index} does not resolve"
        return result
    result["model"] = config["model"]
    url, headers = free_models.build_endpoint(relay_base, HEADERS)
    if any(name.lower() == "authorization" for name in headers):
        result["verdict"] = "not sent: the headers carry Authorization"
        return result
    payload = {"model": config["model"],
               "messages": [{"role": "system", "content": config["system_prompt"]},
                            {"role": "user", "content": PROMPT}],
               "temperature": config.get("temperature"),
               "max_tokens": config.get("max_tokens"), "stream": False}
    if "_free_top_p" in config:
        payload["top_p"] = config["_free_top_p"]
    chat = result["chat"] = send(opener, url, headers, payload, timeout)
    if chat["status"] is not None:
        tools = result["tools"] = send(opener, url, headers, dict(payload, tools=TOOLS), timeout)
        if tools["status"] == 200 and not tools["error"]:
            result["tools_accepted"] = True
        elif chat["status"] == 200 and tools["status"] is not None and tools["status"] < 500:
            result["tools_accepted"] = False
    result["verdict"], result["ok"] = _verdict(result)
    return result


def _verdict(result):
    chat, tools = result["chat"], result["tools"]
    if chat["status"] is None:
        return chat["error"], False
    if chat["status"] == 401:
        return "paid (401)", False
    if chat["status"] == 403:
        return "restricted (403)", False
    if chat["error"]:
        return f"chat failed: HTTP {chat['status']}", False
    if result["tools_accepted"] is False:
        return f"rejects tools ({tools['status']})", False
    if tools["status"] is None:
        return f"tools request: {tools['error']}", False
    if tools["error"]:
        return f"tools request failed: HTTP {tools['status']}", False
    return "ok", True


def probe(relay_base, timeout=TIMEOUT, proxies=None):
    """Every catalogue model, in selector order; a list of results (see probe_model).

    proxies is urllib's proxy table; {} (the default for loopback) uses none."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler(
        {} if proxies is None else proxies))
    count = len(free_models.get_free_model_choices())
    return [probe_model(opener, position, relay_base, timeout) for position in range(count)]


def _cell(outcome, key):
    if outcome is None or outcome[key] is None:
        return "-"
    return str(outcome[key])


def print_table(results):
    rows = [list(COLUMNS)]
    for r in results:
        accepted = {True: "yes", False: "no", None: "-"}[r["tools_accepted"]]
        latency = " / ".join(_cell(r[kind], "latency_ms") for kind in ("chat", "tools"))
        rows.append([r["model"] or f"(index {r['index']})", _cell(r["chat"], "status"),
                     _cell(r["tools"], "status"), accepted, latency, r["verdict"]])
    widths = [max(len(row[i]) for row in rows) for i in range(len(COLUMNS))]
    for row in rows:
        print("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    for r in results:
        for kind in ("chat", "tools"):
            outcome = r[kind]
            if outcome is not None and outcome["error"] and outcome["status"] is not None:
                print(f"  {r['model']}, {kind} request: HTTP {outcome['status']}: "
                      f"{outcome['error']}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--real", action="store_true",
                       help="send to the real relay at FREE_API_BASE (needs a network)")
    where.add_argument("--base", metavar="URL",
                       help="send to the relay with this API base, directly (no proxy)")
    parser.add_argument("--timeout", type=float, default=TIMEOUT, metavar="SECONDS",
                        help=f"per request (default {TIMEOUT:g})")
    parser.add_argument("--json", action="store_true", help="print JSON instead of a table")
    args = parser.parse_args(argv)
    if args.timeout <= 0:
        parser.error("--timeout must be positive")
    real = args.real or (args.base is None and os.environ.get("FREE_MODELS_REAL_RELAY") == "1")
    stand_in = None if real or args.base else RelayStandIn().start()
    try:
        if stand_in is not None:
            base, kind = stand_in.base_url, "stand-in"
        else:
            base, kind = (args.base, "given") if args.base else (free_models.FREE_API_BASE, "real")
        # The real relay may sit behind the environment's proxy; loopback never does.
        results = probe(base, args.timeout, None if kind == "real" else {})
    finally:
        if stand_in is not None:
            stand_in.stop()
    failed = [r["model"] or f"index {r['index']}" for r in results if not r["ok"]]
    if args.json:
        print(json.dumps({"relay": base, "relay_kind": kind, "models": results,
                          "failed": failed}, indent=2))
    else:
        print(f"Relay ({kind}): {base}\n")
        print_table(results)
        print(f"\n{len(failed)} of {len(results)} model(s) failed: {', '.join(failed)}"
              if failed else f"\nAll {len(results)} models passed.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
