// The bridge between a page and the extension, in every http and https frame.
// It marks the document so that the page library knows the extension is
// there, forwards the page's requests to the background and posts each answer
// back to this same window and origin only. A content script cannot import
// modules: the protocol number is repeated here (protocol.js has it).
(() => {
    const PROTOCOL = 1;
    const MAX_ID_LENGTH = 64;
    const browserApi = globalThis.browser ?? globalThis.chrome;
    const origin = window.location.origin;
    // A frame of opaque origin (sandboxed) cannot be answered by origin.
    if (origin === "null") {
        return;
    }
    document.documentElement.setAttribute("data-talvenor-extension", String(PROTOCOL));

    window.addEventListener("message", (event) => {
        const request = event.data;
        if (
            event.source !== window ||
            event.origin !== origin ||
            request === null ||
            typeof request !== "object" ||
            request.talvenor !== "request" ||
            typeof request.id !== "string" ||
            request.id.length > MAX_ID_LENGTH
        ) {
            return;
        }
        // answer: {values} or {error}; the fields that route it are set last.
        const reply = (answer) =>
            window.postMessage({ ...answer, talvenor: "response", protocol: PROTOCOL, id: request.id }, origin);
        if (request.protocol !== PROTOCOL) {
            const message = `the ieTalvenor extension speaks protocol ${PROTOCOL}`;
            reply({ error: { code: "unsupported-protocol", message } });
            return;
        }
        const unanswered = (why) =>
            reply({ error: { code: "host-failed", message: `the ieTalvenor extension did not answer: ${why}` } });
        browserApi.runtime
            .sendMessage({ protocol: PROTOCOL, salt: request.salt })
            .then(
                (answer) => (answer?.values || answer?.error ? reply(answer) : unanswered("no answer")),
                (error) => unanswered(error.message),
            );
    });
})();
