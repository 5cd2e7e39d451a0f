"""The pages of the browser tests, served from the source tree on 127.0.0.1:
the example page, the page library and the test pages."""

import functools
import http.server
import threading


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


class PageServer:
    def __init__(self, root):
        handler = functools.partial(QuietHandler, directory=str(root))
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def url(self, path, host="127.0.0.1"):
        """A page's address; host "localhost" reaches the same server under
        another origin."""
        return f"http://{host}:{self.port}/{path}"

    def origin(self, host="127.0.0.1"):
        return f"http://{host}:{self.port}"

    def close(self):
        self._server.shutdown()
        self._server.server_close()
