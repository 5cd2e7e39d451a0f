"""A small client of WebDriver BiDi, the remote protocol that Firefox serves
on --remote-debugging-port: the test opens pages, reads what they show and
answers the extension's question as a user would, as devtools.py does in
Chromium, with the same evaluate() for a page."""

from bounded import wait_for
from devtools import PageError
from remote_socket import RemoteSocket


class BiDi:
    """One session with the browser: its pages (browsing contexts), opening,
    closing and scripting them."""

    def __init__(self, port, step, seconds=10):
        self._socket = RemoteSocket(f"ws://127.0.0.1:{port}/session", "WebDriver BiDi", step, seconds)
        self.call("session.new", {"capabilities": {}}, step, seconds)

    def close(self):
        self._socket.close()

    def call(self, method, params, step, seconds):
        reply = self._socket.command(method, params, step, seconds)
        if reply.get("type") == "error":
            raise PageError(f"{step}: {method} failed: {reply.get('error')}: {reply.get('message')}")
        return reply["result"]

    def targets_at(self, url_prefix):
        """Every page and frame whose URL starts with url_prefix, as
        {"context", "url"}."""
        found = []
        pending = self.call("browsingContext.getTree", {}, "listing the browser's pages", 10)["contexts"]
        while pending:
            context = pending.pop()
            pending.extend(context.get("children") or [])
            if context["url"].startswith(url_prefix):
                found.append(context)
        return found

    def wait_for_target(self, step, seconds, url_prefix):
        """The first page or frame whose URL starts with url_prefix, once it exists."""
        return wait_for(step, seconds, lambda: next(iter(self.targets_at(url_prefix)), None))

    def open_session(self, target, step, seconds=10):
        return Page(self, target["context"])

    def close_target(self, target):
        """Closes a page or window as its user would."""
        self.call("browsingContext.close", {"context": target["context"]}, "closing a window", 10)

    def open_page(self, url, step, seconds=10):
        """Opens url in a new tab, without waiting for it to load."""
        context = self.call("browsingContext.create", {"type": "tab"}, step, seconds)["context"]
        self.call("browsingContext.navigate", {"context": context, "url": url, "wait": "none"}, step, seconds)
        return Page(self, context)


class Page:
    """One browsing context, scripted in its page's own realm."""

    def __init__(self, bidi, context):
        self._bidi = bidi
        self._context = context

    def close(self):
        """Nothing to release: the browser's one session serves every page."""

    def evaluate(self, expression, step, seconds):
        """The value of a JavaScript expression in the page, promises awaited."""
        result = self._bidi.call(
            "script.evaluate",
            {"expression": expression, "target": {"context": self._context}, "awaitPromise": True},
            step,
            seconds,
        )
        if result["type"] == "exception":
            raise PageError(f"{step}: the page's script failed: {result['exceptionDetails'].get('text')}")
        return python_value(result["result"])


def python_value(remote):
    """A BiDi remote value as the Python value that JSON would give."""
    kind = remote["type"]
    if kind in ("undefined", "null"):
        return None
    if kind == "array":
        return [python_value(item) for item in remote.get("value", [])]
    if kind == "object":
        return {key: python_value(value) for key, value in remote.get("value", [])}
    if kind in ("string", "boolean", "number"):
        return remote["value"]
    raise PageError(f"a page gave a value of type {kind}, which the tests do not read")
