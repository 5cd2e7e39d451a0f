#!/usr/bin/python3
"""The browser route's speed under wine64, printed beside a bare getID in the
same prefix; nothing is asserted. Run by scripts/bench-browser.sh, which
builds the programs and prepares the prefix with the control registered.

Each figure adds one stage to the one before it:
  bare getID       the control in one process, called by name as a script does
  host, pipes      talvenor-host.exe alone: a request written to its input, the
                   answer read back (JSON, the pipes, the engine)
  bridge           the page to the extension's background and back, no host
  page call        Talvenor.getValues in Chromium: library, content script,
                   background, the native port, the host and back
"""

import argparse
import json
import os
import select
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests/browser"))

from bounded import StepTimeout, run, wait_for  # noqa: E402
from chromium import Chromium, extension_id  # noqa: E402
from host_processes import wait_for_no_hosts  # noqa: E402
from launcher_environment import LAUNCHER, launcher_environment  # noqa: E402
from managed_policy import ManagedPolicy, remove_stale_policies  # noqa: E402
from page_server import PageServer  # noqa: E402

SALT = "abc"
WINE_RUN = SOURCE / "scripts/wine-run.sh"


def summary(times_ms):
    """Median and 95th percentile of a list of times in milliseconds."""
    ordered = sorted(times_ms)
    p95 = ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))]
    return f"median {statistics.median(ordered):.2f} ms, 95th percentile {p95:.2f} ms (n={len(ordered)})"


def say(text):
    print(f"bench-browser: {text}", flush=True)


def bare_getid(options):
    """The baseline: bare_getid's own figures, and its whole run as a
    program started under wine64."""
    walls = []
    for _ in range(5):
        started = time.monotonic()
        done = run("running bare_getid under wine64", 120,
                   [WINE_RUN, options.wine_prefix, options.bare_getid, str(options.calls), SALT])
        walls.append(1000 * (time.monotonic() - started))
        if done.returncode != 0:
            raise SystemExit(f"bare_getid failed: {done.stdout}{done.stderr}")
    figures = dict(line.split("=", 1) for line in done.stdout.splitlines() if "=" in line)
    say(f"bare getID on the control, by name through IDispatch: median {float(figures['median_us']) / 1000:.3f} ms, "
        f"95th percentile {float(figures['p95_us']) / 1000:.3f} ms (n={options.calls}); "
        f"first call {float(figures['first_us']) / 1000:.1f} ms after the program's start")
    say(f"a Windows program's whole run under wine64 (bare_getid, start to exit): {summary(walls)}")


class PipedHost:
    """talvenor-host.exe under wine64 with pipes for its input and output."""

    ANSWER_S = 30

    def __init__(self, options):
        self._process = subprocess.Popen([WINE_RUN, options.wine_prefix, options.host_exe], bufsize=0,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._next_id = 0

    def _read(self, count):
        data = b""
        while len(data) < count:
            if not select.select([self._process.stdout], [], [], self.ANSWER_S)[0]:
                raise StepTimeout(f"reading the piped host's answer: nothing after {self.ANSWER_S} s")
            chunk = os.read(self._process.stdout.fileno(), count - len(data))
            if not chunk:
                raise SystemExit("bench-browser: the piped host ended before it answered")
            data += chunk
        return data

    def ask(self, salt):
        self._next_id += 1
        body = json.dumps({"protocol": 1, "id": self._next_id, "request": "values", "salt": salt}).encode()
        self._process.stdin.write(struct.pack("<I", len(body)) + body)
        return json.loads(self._read(struct.unpack("<I", self._read(4))[0]))

    def close(self):
        self._process.stdin.close()
        try:
            self._process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self._process.kill()
            raise StepTimeout("ending the piped host: still running 30 s after its input closed") from None


def host_through_pipes(options):
    firsts = []
    for _ in range(5):
        started = time.monotonic()
        host = PipedHost(options)
        host.ask(SALT)
        firsts.append(1000 * (time.monotonic() - started))
        host.close()
    host = PipedHost(options)
    warm = []
    for _ in range(options.calls):
        started = time.monotonic()
        host.ask(SALT)
        warm.append(1000 * (time.monotonic() - started))
    host.close()
    say(f"the host alone through pipes, warm round trip: {summary(warm)}")
    say(f"the host alone through pipes, start to first answer: {summary(firsts)}")
    return statistics.median(warm), statistics.median(firsts)


def in_chromium(options, server, environment, run_mark):
    extension_dir = SOURCE / "extension"
    page_url = server.url("benchmarks/browser/bench.html")

    def open_bench_page(browser):
        page = browser.devtools.open_page(page_url, "opening the benchmark page")
        wait_for("loading the benchmark page", 20,
                 lambda: page.evaluate("typeof timeCalls === 'function' || null", "loading the benchmark page", 5))
        return page

    def timed(page, call, count):
        return page.evaluate(call, f"timing {call}", 60 + count)

    def host_gone():
        wait_for_no_hosts(run_mark, "waiting for the idle host to end", 30)

    # In a browser just started, the bridge's first message may wake the
    # extension's service worker; the first call also waits until Chromium has
    # loaded the extension's managed policy, seconds after its start on a busy
    # machine, and starts the host.
    fresh_bridge, fresh = [], []
    for _ in range(3):
        with Chromium(options.work_dir, extension_dir, LAUNCHER, environment) as browser:
            page = open_bench_page(browser)
            fresh_bridge += timed(page, "timeBridge(1)", 1)
            fresh += timed(page, f"timeCalls(1, {json.dumps(SALT)})", 1)
            host_gone()
    with Chromium(options.work_dir, extension_dir, LAUNCHER, environment) as browser:
        page = open_bench_page(browser)
        bridge = timed(page, f"timeBridge({options.calls})", options.calls)
        # Not counted: the first call of a browser just started also waits for
        # its policy, which the fresh browsers above measure.
        timed(page, f"timeCalls(1, {json.dumps(SALT)})", 1)
        cold = []
        for _ in range(options.cold):
            host_gone()
            cold += timed(page, f"timeCalls(1, {json.dumps(SALT)})", 1)
        warm = timed(page, f"timeCalls({options.calls}, {json.dumps(SALT)})", options.calls)
        host_gone()
    say(f"page to extension and back, no host (bridge): {summary(bridge)}")
    say(f"page call, warm (host running): {summary(warm)}")
    say(f"page call, first with the host stopped (extension running): {summary(cold)}")
    say(f"in a fresh browser and profile: first bridge message {', '.join(f'{t:.0f}' for t in fresh_bridge)} ms, "
        f"then the first page call {', '.join(f'{t:.0f}' for t in fresh)} ms")
    return statistics.median(warm), statistics.median(bridge), statistics.median(cold)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--wine-prefix", "--host-exe", "--bare-getid", "--work-dir"):
        parser.add_argument(option, required=True)
    parser.add_argument("--calls", type=int, default=500, help="warm calls timed per figure")
    parser.add_argument("--cold", type=int, default=10, help="first calls timed with the host stopped")
    options = parser.parse_args()

    remove_stale_policies()
    bare_getid(options)
    host_warm, host_first = host_through_pipes(options)

    server = PageServer(SOURCE)
    run_mark = uuid.uuid4().hex
    work = tempfile.mkdtemp(prefix="bench-", dir=options.work_dir)
    environment = launcher_environment(
        run_mark=run_mark,
        launch_log=Path(work) / "launches.log",
        host_mode="host",
        wine_run=WINE_RUN,
        wine_prefix=options.wine_prefix,
        host_exe=options.host_exe,
    )
    try:
        with ManagedPolicy(extension_id(SOURCE / "extension"), [server.origin()]):
            page_warm, bridge, page_first = in_chromium(options, server, environment, run_mark)
    finally:
        server.close()
        shutil.rmtree(work)
    say(f"what the browser adds, warm: {page_warm - host_warm:.2f} ms (median page call {page_warm:.2f} ms - "
        f"median host round trip {host_warm:.2f} ms), of which the page to background bridge {bridge:.2f} ms")
    say(f"with the host stopped, the first page call (median {page_first:.0f} ms) starts the host, as the "
        f"host's own start to first answer does (median {host_first:.0f} ms)")


if __name__ == "__main__":
    main()
