"""An HTTP service on 127.0.0.1 at an ephemeral port (or a given one), served by a thread between
start() and stop() (or inside a `with` block): the host and relay stand-ins are both one."""
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Self


class QuietJSONHandler(BaseHTTPRequestHandler):
    """A handler that logs nothing (the demo's output stays readable) and answers JSON."""
    timeout = 30  # a client that stalls mid-body loses its connection, not a thread for good

    def log_message(self, format: str, *args: object) -> None:
        pass

    def send_json(self, status: int, payload: object) -> None:
        data = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class LoopbackService:
    def __init__(self, handler: type[BaseHTTPRequestHandler], port: int = 0) -> None:
        self.server = ThreadingHTTPServer(("127.0.0.1", port), handler)
        self.server.daemon_threads = True
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]
        self._thread = threading.Thread(target=self.server.serve_forever, args=(0.05,),
                                        daemon=True)

    def start(self) -> Self:
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._thread.is_alive():
            self.server.shutdown()
            self._thread.join()
        self.server.server_close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
