"""The WebSocket under both browsers' remote protocols (Chromium's DevTools,
Firefox's WebDriver BiDi): numbered commands, each waited for in bounded time,
with anything else the browser sends in between passed over."""

import json

try:
    import websocket
except ImportError:
    raise SystemExit("python3-websocket is not installed: run scripts/install-deps.sh --browser") from None

from bounded import StepTimeout


class RemoteSocket:
    def __init__(self, url, protocol, step, seconds):
        try:
            # Browsers refuse remote connections that carry an Origin header
            # they were not told to allow.
            self._socket = websocket.create_connection(url, timeout=seconds, suppress_origin=True)
        except (OSError, websocket.WebSocketException) as error:
            raise StepTimeout(f"{step}: no {protocol} connection within {seconds} s: {error}") from None
        self._next_id = 0

    def close(self):
        self._socket.close()

    def command(self, method, params, step, seconds):
        """The browser's whole reply to one command."""
        self._next_id += 1
        self._socket.settimeout(seconds)
        self._socket.send(json.dumps({"id": self._next_id, "method": method, "params": params}))
        try:
            while True:
                reply = json.loads(self._socket.recv())
                if reply.get("id") == self._next_id:
                    return reply
        except websocket.WebSocketTimeoutException:
            raise StepTimeout(f"{step}: no answer from the browser after {seconds} s") from None
