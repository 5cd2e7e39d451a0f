// The one native messaging port to the host. Requests are numbered and their
// answers matched by number; each waits a bounded time; the port closes when
// no request has been pending for a while, and closing it ends the host.
import { browserApi } from "./browser-api.js";
import {
    failure,
    HOST_IDLE_CLOSE_MS,
    HOST_NAME,
    HOST_REQUEST_TIMEOUT_MS,
    PROTOCOL,
} from "./protocol.js";

const MAX_REQUEST_ID = 2 ** 31 - 1;

// What the browsers say when they find no host manifest for the name, or one
// that does not list this extension (Chrome's and Firefox's wording).
const NOT_REGISTERED = /not found|no such native application|forbidden/i;

// Host errors that describe the page's request reach the page; any other
// means that the extension and the host disagree: a failed host to the page.
const PAGE_CODE_OF_HOST_ERROR = {
    "bad-request": "bad-request",
    "unsupported-protocol": "unsupported-protocol",
};

export class HostConnection {
    #port = null;
    #pending = new Map(); // request id -> {settle, timer}
    #nextId = 0;
    #idleTimer = null;

    // Resolves to {values} or {error}, never rejects.
    request(salt) {
        return new Promise((settle) => {
            const id = this.#nextId;
            this.#nextId = id === MAX_REQUEST_ID ? 0 : id + 1;
            // Answers come in order: a request that outlives its time means the
            // host is stuck, and so is everything queued behind it.
            const timer = setTimeout(
                () =>
                    this.#close(
                        failure(
                            "timed-out",
                            `the ieTalvenor host did not answer within ${HOST_REQUEST_TIMEOUT_MS / 1000} s`,
                        ),
                    ),
                HOST_REQUEST_TIMEOUT_MS,
            );
            this.#pending.set(id, { settle, timer });
            try {
                this.#openPort().postMessage({ protocol: PROTOCOL, id, request: "values", salt });
            } catch (error) {
                this.#close(failure("host-failed", `the ieTalvenor host could not be reached: ${error.message}`));
            }
        });
    }

    #openPort() {
        clearTimeout(this.#idleTimer);
        if (this.#port === null) {
            const port = browserApi.runtime.connectNative(HOST_NAME);
            port.onMessage.addListener((message) => this.#answered(port, message));
            port.onDisconnect.addListener(() => this.#disconnected(port));
            this.#port = port;
        }
        return this.#port;
    }

    #answered(port, message) {
        if (port !== this.#port) {
            return;
        }
        if (message?.protocol !== PROTOCOL) {
            this.#close(failure("unsupported-protocol", "the ieTalvenor host speaks another protocol version"));
            return;
        }
        const request = this.#pending.get(message.id);
        if (request === undefined) {
            this.#close(failure("host-failed", "the ieTalvenor host answered a request it was not asked"));
            return;
        }
        this.#pending.delete(message.id);
        clearTimeout(request.timer);
        request.settle(this.#pageAnswer(message));
        if (this.#pending.size === 0) {
            this.#idleTimer = setTimeout(() => this.#close(null), HOST_IDLE_CLOSE_MS);
        }
    }

    #pageAnswer(message) {
        if (message.values !== null && typeof message.values === "object") {
            return { values: message.values };
        }
        const code = PAGE_CODE_OF_HOST_ERROR[message.error?.code] ?? "host-failed";
        return failure(code, `the ieTalvenor host refused the request: ${message.error?.message}`);
    }

    #disconnected(port) {
        if (port !== this.#port) {
            return;
        }
        // Chrome reports why in runtime.lastError, Firefox in port.error.
        const reason = browserApi.runtime.lastError?.message ?? port.error?.message ?? "";
        this.#port = null;
        this.#close(
            NOT_REGISTERED.test(reason)
                ? failure("host-not-registered", `no ieTalvenor host is registered for this browser (${reason})`)
                : failure("host-failed", `the ieTalvenor host ended before it answered (${reason})`),
        );
    }

    // Closes the port, which ends the host, and settles every pending request
    // with `result`.
    #close(result) {
        clearTimeout(this.#idleTimer);
        this.#port?.disconnect();
        this.#port = null;
        for (const { settle, timer } of this.#pending.values()) {
            clearTimeout(timer);
            settle(result);
        }
        this.#pending.clear();
    }
}
