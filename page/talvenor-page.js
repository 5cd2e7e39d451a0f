/*
 * ieTalvenor page library: one call that gives a page this computer's four
 * ieTalvenor values for a salt, in Internet Explorer 11 through the ieTalvenor
 * control and in Chrome, Edge and Firefox through the ieTalvenor extension.
 * Plain ES5, no build step: include it with a script element.
 *
 *   Talvenor.getValues("my-site-salt", function (error, values) { ... });
 *   Talvenor.getValues("my-site-salt").then(function (values) { ... });  // where Promise exists
 *
 * values: {identifier, computerName, testInstallation, version}; identifier is
 * null where the control gives no identifier for the salt. error: an Error
 * with a `code` (docs/browser-route.md lists them) and a `message`.
 * Options, before the callback: {timeout: milliseconds to wait for the
 * extension (default 60000)}.
 */
var Talvenor = (function () {
    "use strict";

    var PROTOCOL = 1;
    var PROG_ID = "IeTalvenor.Talvenor";
    var EXTENSION_MARK = "data-talvenor-extension";
    var DEFAULT_TIMEOUT_MS = 60000;

    var MESSAGES = {
        "control-not-installed": "The ieTalvenor control is not installed, or this site is not allowed to use it " +
            "(add the site to the Local intranet or Trusted sites zone).",
        "extension-not-installed": "This browser has neither the ieTalvenor control nor the ieTalvenor extension.",
        "site-not-allowed": "This site is not allowed to read the ieTalvenor values.",
        "timed-out": "The ieTalvenor extension did not answer in time.",
        "unsupported-protocol": "The ieTalvenor extension speaks another version of the protocol.",
        "bad-request": "The salt must be a string."
    };

    function talvenorError(code, message) {
        var error = new Error(message || MESSAGES[code] || code);
        error.name = "TalvenorError";
        error.code = code;
        return error;
    }

    // Answers always arrive after the call has returned, whichever route.
    function later(callback) {
        window.setTimeout(callback, 0);
    }

    // Internet Explorer 11 hides ActiveXObject from typeof and from
    // window.ActiveXObject, yet creates controls: only "in" finds it.
    function hasActiveX() {
        return "ActiveXObject" in window;
    }

    function fromControl(salt, done) {
        var control;
        try {
            control = new ActiveXObject(PROG_ID);
        } catch (e) {
            // The same error comes for a control that is missing and for one
            // the browser's security settings do not allow this site to create.
            later(function () {
                done(talvenorError("control-not-installed",
                                   MESSAGES["control-not-installed"] + " Details: " + (e.message || e)));
            });
            return;
        }
        var values = {
            identifier: control.getID(salt) || null,
            computerName: control.ComputerName,
            testInstallation: control.TestInstallation,
            version: control.Version
        };
        later(function () {
            done(null, values);
        });
    }

    // Requests waiting for the extension's answer, by id.
    var pending = {};
    var requestCount = 0;
    var listening = false;

    function settle(id, error, values) {
        var request = pending[id];
        if (request) {
            delete pending[id];
            window.clearTimeout(request.timer);
            request.done(error, values);
        }
    }

    // Only the content script of this window, in this origin, answers.
    function onMessage(event) {
        var answer = event.data;
        if (event.source !== window || event.origin !== window.location.origin || !answer ||
            answer.talvenor !== "response" || !pending.hasOwnProperty(answer.id)) {
            return;
        }
        if (answer.protocol !== PROTOCOL) {
            settle(answer.id, talvenorError("unsupported-protocol"));
        } else if (answer.error) {
            settle(answer.id, talvenorError(answer.error.code, answer.error.message));
        } else {
            settle(answer.id, null, answer.values);
        }
    }

    function fromExtension(salt, timeout, done) {
        var protocol = window.location.protocol;
        var mark = document.documentElement && document.documentElement.getAttribute(EXTENSION_MARK);
        var failure = null;
        // The extension answers web origins only: not file: pages, nor
        // sandboxed frames, whose origin is opaque.
        if ((protocol !== "http:" && protocol !== "https:") || window.location.origin === "null") {
            failure = "site-not-allowed";
        } else if (!mark) {
            failure = "extension-not-installed";
        } else if (mark !== String(PROTOCOL)) {
            failure = "unsupported-protocol";
        }
        if (failure) {
            later(function () {
                done(talvenorError(failure));
            });
            return;
        }
        if (!listening) {
            window.addEventListener("message", onMessage);
            listening = true;
        }
        requestCount += 1;
        var id = "t" + requestCount + "-" + new Date().getTime();
        pending[id] = {
            done: done,
            timer: window.setTimeout(function () {
                settle(id, talvenorError("timed-out"));
            }, timeout)
        };
        window.postMessage({talvenor: "request", protocol: PROTOCOL, id: id, salt: salt}, window.location.origin);
    }

    // getValues(salt[, options][, callback]): with a callback, calls it with
    // (error, values) and returns nothing; without, returns a Promise, or
    // throws where the browser has none (Internet Explorer 11).
    function getValues(salt, options, callback) {
        if (typeof options === "function") {
            callback = options;
            options = {};
        }
        options = options || {};
        var timeout = typeof options.timeout === "number" ? options.timeout : DEFAULT_TIMEOUT_MS;
        function run(done) {
            if (typeof salt !== "string") {
                later(function () {
                    done(talvenorError("bad-request"));
                });
            } else if (hasActiveX()) {
                fromControl(salt, done);
            } else {
                fromExtension(salt, timeout, done);
            }
        }
        if (typeof callback === "function") {
            run(callback);
            return undefined;
        }
        if (typeof Promise !== "function") {
            throw new Error("Talvenor.getValues: this browser has no Promise; pass a callback");
        }
        return new Promise(function (resolve, reject) {
            run(function (error, values) {
                if (error) {
                    reject(error);
                } else {
                    resolve(values);
                }
            });
        });
    }

    return {getValues: getValues, PROTOCOL: PROTOCOL};
})();
