#!/usr/bin/python3
"""The browser route in real browsers: Debian's Chromium with the unpacked
extension and Debian's Firefox ESR with its package of the extension,
headless, with a fresh profile for each case, pages served on 127.0.0.1, and
the Windows host under wine64 in the test prefix, where the control is
registered too, so that the browsers' values can be compared with what the
control gives the platform's script host.

Usage: browser_test.py --source-dir DIR --work-dir DIR --wine-prefix DIR
                       --host-exe FILE --dll FILE [unittest options]
"""

import argparse
import json
import os
import shutil
import signal
import sys
import tempfile
import time
import unittest
import uuid
from pathlib import Path

from bounded import StepTimeout, wait_for
from chromium import Chromium, extension_id
from control import Control
from devtools import PageError
from firefox import Firefox, gecko_id
from firefox_policy import FirefoxPolicy
from host_processes import host_processes, wait_for_no_hosts
from launcher_environment import LAUNCHER, launcher_environment
from managed_policy import ManagedPolicy, remove_stale_policies
from page_server import PageServer

OPTIONS = None  # the command line, parsed in main()

# Salts whose values the browser must give exactly as the control gives them,
# those the control refuses among them (it gives no identifier for them).
SALTS = {
    "plain": "abc",
    "one character": "a",
    "255 characters, the longest taken": "s" * 255,
    "256 characters": "s" * 256,
    "empty": "",
    "U+00FF, the highest character taken": "caf\u00ff",
    "a character above U+00FF": "ab\u0100",
    "a lone surrogate": "\ud800",
    "U+0000 inside: the salt ends there": "ab\u0000cd",
    "U+0000 first": "\u0000abc",
    # Over the host's limit of 4,096 bytes a message unless the extension cuts
    # them: U+0001 is six bytes in JSON.
    "U+0000 after 2 characters, then 700 x U+0001": "ab\u0000" + "\u0001" * 700,
    "700 x U+0001": "\u0001" * 700,
}
EXAMPLE_SALT = "intranet.example"  # the example page's own
MARK = "data-talvenor-extension"  # the content script's on every page

# Waits, each bound named by its step when it fires.
PAGE_LOAD_S = 20
ANSWER_S = 30
PROMPT_S = 15
# The extension gives up on a stuck host after 10 s.
STUCK_HOST_ANSWER_S = 20
HOSTS_GONE_S = 15


class Run:
    """What the cases share: the page server, the control registered in the
    prefix with its values for every salt the cases use, and the mark that
    the launcher gives the run's host processes."""

    def __init__(self):
        self.work_dir = Path(tempfile.mkdtemp(prefix="browser-", dir=OPTIONS.work_dir))
        self.extension_dir = Path(OPTIONS.source_dir) / "extension"
        self.extension_id = extension_id(self.extension_dir)
        self.gecko_id = gecko_id(self.extension_dir)
        self.server = PageServer(OPTIONS.source_dir)
        self.mark = uuid.uuid4().hex
        self.control = Control(Path(OPTIONS.source_dir) / "scripts/wine-run.sh", OPTIONS.wine_prefix, OPTIONS.dll)
        self.control.register()
        salts = [EXAMPLE_SALT, *SALTS.values()]
        try:
            self.expected = dict(zip(salts, self.control.values(salts)))
        except BaseException:
            self.close()
            raise

    def close(self):
        self.server.close()
        self.control.unregister()
        shutil.rmtree(self.work_dir)


RUN = None


def setUpModule():
    global RUN
    remove_stale_policies()
    RUN = Run()


def tearDownModule():
    # No case, whichever browser it ran, leaves a host behind.
    try:
        wait_for_hosts_gone()
    finally:
        RUN.close()


def wait_for_hosts_gone():
    try:
        wait_for_no_hosts(RUN.mark, "waiting for the host processes to end", HOSTS_GONE_S)
    except StepTimeout as timeout:
        raise AssertionError(f"{timeout}: still running: {host_processes(RUN.mark)}") from None


class BrowserCase(unittest.TestCase):
    """A case with its own browser (BROWSER unless it names another) and
    profile; `host` is "host" for the Windows host, "stuck" for a stand-in
    that never answers, None for no host registered."""

    BROWSER = Chromium

    def start_browser(self, host="host", browser=None):
        browser = browser or self.BROWSER
        self.launch_log = RUN.work_dir / f"launches-{self.id().rsplit('.', 1)[-1]}-{browser.__name__}.log"
        self.launch_log.write_text("")
        environment = launcher_environment(
            run_mark=RUN.mark,
            launch_log=self.launch_log,
            host_mode=host or "none",
            wine_run=Path(OPTIONS.source_dir) / "scripts/wine-run.sh",
            wine_prefix=OPTIONS.wine_prefix,
            host_exe=OPTIONS.host_exe,
        )
        launcher = LAUNCHER if host else None
        self.browser = self.enterContext(browser(RUN.work_dir, RUN.extension_dir, launcher, environment))
        return self.browser

    def host_starts(self):
        return [int(line) for line in self.launch_log.read_text().split()]

    def open_page(self, path, host="127.0.0.1"):
        """A page of the server, once loaded with the extension's mark.
        Firefox starts its extensions after its first window: a page loaded
        before the content script was registered is loaded again."""
        url = RUN.server.url(path, host)
        page = self.browser.remote.open_page(url, f"opening {url}")
        self.addCleanup(page.close)

        def marked():
            self.wait_until_loaded(page, url)
            if page.evaluate(f"document.documentElement.hasAttribute({json.dumps(MARK)})", f"loading {url}", 5):
                return True
            page.evaluate("location.reload(), true", f"loading {url} again", 5)
            return None

        wait_for(f"the extension marking {url}", PAGE_LOAD_S, marked, interval=0.5)
        return page

    def open_frame(self, url):
        """The frame showing url in a page already open, once loaded."""
        target = self.browser.remote.wait_for_target(f"finding the frame of {url}", PAGE_LOAD_S, url)
        frame = self.browser.remote.open_session(target, f"connecting to the frame of {url}")
        self.addCleanup(frame.close)
        self.wait_until_loaded(frame, url)
        return frame

    def wait_until_loaded(self, session, url):
        expression = f"location.href === {json.dumps(url)} && document.readyState === 'complete' || null"
        wait_for(f"loading {url}", PAGE_LOAD_S, lambda: self.evaluate_loading(session, expression, f"loading {url}"))

    @staticmethod
    def evaluate_loading(session, expression, step):
        """The expression's value in a page that may still be loading: None
        while its document is being replaced."""
        try:
            return session.evaluate(expression, step, 5)
        except PageError:
            return None

    def begin(self, page, call):
        """Starts one of the test page's calls (pages/calls.html)."""
        page.evaluate(f"begin({call})", f"calling {call}", 5)

    def finished(self, page, step, seconds=ANSWER_S):
        """The outcomes of the call begun last, once it has them all."""
        return wait_for(step, seconds, lambda: page.evaluate("finished", step, 5))

    def ask(self, page, salts, timeout_ms=20000, seconds=ANSWER_S):
        """The outcomes of the library's call for each salt, made all at once;
        the page gives up on each after timeout_ms, the test after seconds."""
        self.begin(page, f"ask({json.dumps(salts)}, {timeout_ms})")
        return self.finished(page, f"waiting for the page's answers for {len(salts)} salts", seconds)

    def prompt(self, page):
        """The extension's question to the user about the call that `page`
        began, once it is open: its target, its session and the origin it
        names. A page answered without a question fails the case."""
        def question():
            asked = self.open_prompts()
            if not asked:
                answered = page.evaluate("finished", "reading the page's answers", 5)
                self.assertIsNone(answered, "the page was answered without a question to the user")
            return next(iter(asked), None)

        target = wait_for("waiting for the extension's question to the user", PROMPT_S, question)
        session = self.browser.remote.open_session(target, "connecting to the question")
        self.addCleanup(session.close)
        wait_for(
            "showing the question",
            PROMPT_S,
            lambda: self.evaluate_loading(
                session, "document.getElementById('origin')?.textContent || null", "the question"
            ),
        )
        return target, session, session.evaluate("document.getElementById('origin').textContent", "the question", 5)

    def answer_prompt(self, page, origin, button):
        """Answers the question like a user, clicking "allow" or "refuse",
        after checking that it asks about `origin`."""
        target, session, asked = self.prompt(page)
        self.assertEqual(asked, origin, "the question names the site that asked")
        session.evaluate(f"document.getElementById('{button}').click(), true", f"clicking {button}", 5)
        self.wait_for_no_prompt()

    def open_prompts(self):
        return self.browser.remote.targets_at(self.browser.extension_origin + "prompt.html")

    def wait_for_no_prompt(self):
        wait_for("closing the question", PROMPT_S, lambda: True if not self.open_prompts() else None)

    def example_page(self):
        """What the example page shows once it has its values, or its problem."""
        page = self.open_page("examples/talvenor.html")
        return wait_for(
            "waiting for the example page to show its values",
            ANSWER_S,
            lambda: page.evaluate(
                """(() => {
                    const text = (id) => document.getElementById(id).textContent;
                    if (document.getElementById("status").className === "problem") return {problem: text("status")};
                    if (document.getElementById("values").style.display !== "") return null;
                    return {salt: text("salt"), getID: text("getID"), ComputerName: text("ComputerName"),
                            TestInstallation: text("TestInstallation"), Version: text("Version")};
                })()""",
                "reading the example page",
                5,
            ),
        )

    def assert_refused(self, outcomes, code="site-not-allowed"):
        for outcome in outcomes:
            self.assertEqual(outcome.get("error", {}).get("code"), code, outcome)


class AllowedByPolicy(BrowserCase):
    """Chromium: the administrator's managed policy allows the server's
    127.0.0.1 origin."""

    def setUp(self):
        self.enterContext(ManagedPolicy(RUN.extension_id, [RUN.server.origin()]))

    def test_salts_give_what_the_control_gives(self):
        # All at once: each answer must reach the request that asked for it.
        self.start_browser()
        page = self.open_page("tests/browser/pages/calls.html")
        outcomes = self.ask(page, list(SALTS.values()))
        for (name, salt), outcome in zip(SALTS.items(), outcomes):
            with self.subTest(salt=name):
                self.assertEqual(outcome, {"values": RUN.expected[salt]})
        self.assertEqual(len(self.host_starts()), 1, "one host for requests made together")

    def test_origin_is_the_frames_not_the_one_a_page_claims(self):
        # A page of another origin (localhost) that claims the allowed one in
        # its message is asked about as itself, and refused.
        self.start_browser()
        page = self.open_page("tests/browser/pages/calls.html", host="localhost")
        self.begin(page, f"askClaiming({json.dumps(RUN.server.origin())}, 'forged')")
        self.answer_prompt(page, RUN.server.origin("localhost"), "refuse")
        self.assert_refused(self.finished(page, "waiting for the answer to the claiming page"))
        self.assertEqual(self.host_starts(), [], "the refused site's salt never reaches a host")

    def test_answer_reaches_only_the_frame_that_asked(self):
        # The allowed origin's page in a frame of a page of another origin:
        # the frame gets its values, the page around it sees no answer.
        self.start_browser()
        frame_url = RUN.server.url("tests/browser/pages/calls.html")
        page = self.open_page(f"tests/browser/pages/framed.html?frame={frame_url}", host="localhost")
        outcomes = self.ask(self.open_frame(frame_url), ["abc"], timeout_ms=10000)
        self.assertEqual(page.evaluate("seen", "reading what the framing page saw", 5), [])
        self.assertEqual(outcomes, [{"values": RUN.expected["abc"]}])

    def test_no_host_registered(self):
        self.start_browser(host=None)
        page = self.open_page("tests/browser/pages/calls.html")
        self.assert_refused(self.ask(page, ["abc"]), "host-not-registered")

    def test_host_killed_mid_request_is_an_error_not_a_hang(self):
        self.start_browser(host="stuck")
        page = self.open_page("tests/browser/pages/calls.html")
        self.begin(page, "ask(['abc'], 60000)")
        host = wait_for("waiting for the host to start", ANSWER_S, lambda: (self.host_starts() or [None])[0])
        os.kill(host, signal.SIGKILL)
        # Well before the extension's own limit for a stuck host.
        self.assert_refused(self.finished(page, "waiting for the answer after the host was killed", 5), "host-failed")

    def test_stuck_host_times_out_and_is_ended(self):
        self.start_browser(host="stuck")
        page = self.open_page("tests/browser/pages/calls.html")
        # The page would wait a minute: the extension's own limit answers first.
        started = time.monotonic()
        outcomes = self.ask(page, ["abc"], timeout_ms=60000, seconds=STUCK_HOST_ANSWER_S)
        self.assert_refused(outcomes, "timed-out")
        self.assertGreaterEqual(time.monotonic() - started, 9, "not before the extension's limit of 10 s")
        wait_for_hosts_gone()

    def test_flood_is_answered_in_bounded_time_and_leaves_no_host(self):
        expected = RUN.expected["abc"]
        self.start_browser()
        page = self.open_page("tests/browser/pages/calls.html")
        outcomes = self.ask(page, ["abc"] * 300)
        answered = [outcome for outcome in outcomes if "values" in outcome]
        refused = [outcome for outcome in outcomes if "values" not in outcome]
        self.assertTrue(answered, "some requests are answered")
        for outcome in answered:
            self.assertEqual(outcome["values"], expected)
        self.assertTrue(refused, "the flood meets the limit of pending requests")
        self.assert_refused(refused, "busy")
        self.assertEqual(len(self.host_starts()), 1, "one host for the whole flood")
        wait_for_hosts_gone()


class FirefoxAllowedByPolicy(BrowserCase):
    """Firefox ESR with the Firefox package of the extension: the
    administrator's policies.json allows the server's 127.0.0.1 origin."""

    BROWSER = Firefox

    def setUp(self):
        self.enterContext(FirefoxPolicy(RUN.gecko_id, [RUN.server.origin()]))

    def test_example_page_shows_what_the_control_and_chromium_show(self):
        expected = RUN.expected[EXAMPLE_SALT]
        self.assertEqual(len(expected["identifier"]), 74)
        control = {
            "salt": EXAMPLE_SALT,
            "getID": expected["identifier"],
            "ComputerName": expected["computerName"],
            "TestInstallation": "installed (1)",
            "Version": expected["version"],
        }
        self.enterContext(ManagedPolicy(RUN.extension_id, [RUN.server.origin()]))
        shown = {}
        for browser in (Chromium, Firefox):
            self.start_browser(browser=browser)
            shown[browser.__name__] = self.example_page()
            self.assertEqual(len(self.host_starts()), 1, f"one host for {browser.__name__}")
        self.assertEqual(shown, {"Chromium": control, "Firefox": control})

    # The same cases as in Chromium: the values for every kind of salt, the
    # answer reaching only the frame that asked, a site that policy does not
    # allow refused without a host, and Firefox's own report of a missing host.
    test_salts_give_what_the_control_gives = AllowedByPolicy.test_salts_give_what_the_control_gives
    test_answer_reaches_only_the_frame_that_asked = AllowedByPolicy.test_answer_reaches_only_the_frame_that_asked
    test_origin_is_the_frames_not_the_one_a_page_claims = (
        AllowedByPolicy.test_origin_is_the_frames_not_the_one_a_page_claims
    )
    test_no_host_registered = AllowedByPolicy.test_no_host_registered


class AskingTheUser(BrowserCase):
    """No policy: the user answers for each site, once."""

    def test_allowed_by_the_user_remembered_and_revoked(self):
        expected = RUN.expected["abc"]
        self.start_browser()
        page = self.open_page("tests/browser/pages/calls.html")
        self.begin(page, "ask(['abc'], 60000)")
        self.answer_prompt(page, RUN.server.origin(), "allow")
        self.assertEqual(self.finished(page, "waiting for the answer once allowed"), [{"values": expected}])

        # Remembered: no question the second time.
        self.assertEqual(self.ask(page, ["abc"]), [{"values": expected}])
        self.assertEqual(self.open_prompts(), [])

        # Forgotten on the options page: asked again, and refused this time.
        options_url = self.browser.extension_origin + "options.html"
        options = self.browser.remote.open_page(options_url, "opening the options page")
        self.addCleanup(options.close)
        wait_for(
            "forgetting the answer on the options page",
            PAGE_LOAD_S,
            lambda: options.evaluate(
                f"""(() => {{
                    const row = document.querySelector('tr[data-origin={json.dumps(RUN.server.origin())}]');
                    return row ? (row.querySelector("button").click(), true) : null;
                }})()""",
                "the options page",
                5,
            ),
        )
        self.begin(page, "ask(['abc'], 60000)")
        self.answer_prompt(page, RUN.server.origin(), "refuse")
        self.assert_refused(self.finished(page, "waiting for the answer once refused"))

    def test_refused_by_default_and_the_host_never_starts(self):
        self.start_browser()
        page = self.open_page("tests/browser/pages/calls.html")
        # The question closed unanswered: refused, and asked again next time.
        self.begin(page, "ask(['abc'], 60000)")
        target, _, _ = self.prompt(page)
        self.browser.remote.close_target(target)
        self.wait_for_no_prompt()
        self.assert_refused(self.finished(page, "waiting for the answer after the question was closed"))

        self.begin(page, "ask(['abc'], 60000)")
        self.answer_prompt(page, RUN.server.origin(), "refuse")
        self.assert_refused(self.finished(page, "waiting for the answer once refused"))

        # Remembered: refused at once, without a question.
        self.assert_refused(self.ask(page, ["abc", "def"]))
        self.assertEqual(self.open_prompts(), [])
        self.assertEqual(self.host_starts(), [], "no host started for a refused site")


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--source-dir", "--work-dir", "--wine-prefix", "--host-exe", "--dll"):
        parser.add_argument(option, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
