"""A small client of Chromium's DevTools protocol: the test reads what pages
show and answers the extension's prompt as a user would, through
--remote-debugging-port."""

import json
import urllib.request

from bounded import StepTimeout, wait_for
from remote_socket import RemoteSocket


class PageError(AssertionError):
    pass


class Session:
    """A connection to one target (a page, or an extension's page)."""

    def __init__(self, url, step, seconds):
        self._socket = RemoteSocket(url, "DevTools", step, seconds)

    def close(self):
        self._socket.close()

    def call(self, method, params, step, seconds):
        reply = self._socket.command(method, params, step, seconds)
        if "error" in reply:
            raise PageError(f"{step}: {method} failed: {reply['error']}")
        return reply["result"]

    def evaluate(self, expression, step, seconds):
        """The value of a JavaScript expression in the page, promises awaited."""
        result = self.call(
            "Runtime.evaluate",
            {"expression": expression, "awaitPromise": True, "returnByValue": True},
            step,
            seconds,
        )
        if "exceptionDetails" in result:
            raise PageError(f"{step}: the page's script failed: {result['exceptionDetails']}")
        return result["result"].get("value")


class DevTools:
    """The browser's DevTools endpoint: its list of targets (pages, windows,
    workers), opening and closing them."""

    def __init__(self, port):
        self._port = port

    def _get(self, path, step, method="GET"):
        """The text of the endpoint's answer."""
        request = urllib.request.Request(f"http://127.0.0.1:{self._port}/json/{path}", method=method)
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.read().decode()
        except OSError as error:  # also a timeout
            raise StepTimeout(f"{step}: DevTools did not answer within 10 s: {error}") from None

    def targets(self):
        return json.loads(self._get("list", "listing the browser's targets"))

    def targets_at(self, url_prefix):
        return [t for t in self.targets() if t["url"].startswith(url_prefix)]

    def wait_for_target(self, step, seconds, url_prefix):
        """The first target whose URL starts with url_prefix, once it exists."""
        return wait_for(step, seconds, lambda: next(iter(self.targets_at(url_prefix)), None))

    def close_target(self, target):
        """Closes a page or window as its user would."""
        self._get(f"close/{target['id']}", "closing a window")

    def open_session(self, target, step, seconds=10):
        return Session(target["webSocketDebuggerUrl"], step, seconds)

    def open_page(self, url, step, seconds=10):
        """Opens url in a new tab and connects to it."""
        return self.open_session(json.loads(self._get(f"new?{url}", step, method="PUT")), step, seconds)
