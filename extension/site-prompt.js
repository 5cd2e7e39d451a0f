// Asks the user whether a site may read the values, once per site, as
// Internet Explorer asked before a site first used an installed control: the
// extension's prompt page in a small window of its own. Requests of a site
// that arrive while its question is open wait for the same answer.
import { browserApi } from "./browser-api.js";
import { PROMPT_TIMEOUT_MS } from "./protocol.js";
import { DECISIONS_KEY, userDecisions } from "./site-access.js";

const openQuestions = new Map();

// Resolves to true when the user allows `origin`; false when the user
// refuses, closes the window or does not answer in time.
export function askUser(origin) {
    let question = openQuestions.get(origin);
    if (question === undefined) {
        question = ask(origin).finally(() => openQuestions.delete(origin));
        openQuestions.set(origin, question);
    }
    return question;
}

async function ask(origin) {
    const url = `${browserApi.runtime.getURL("prompt.html")}?origin=${encodeURIComponent(origin)}`;
    const { id: windowId } = await browserApi.windows.create({
        url,
        type: "popup",
        width: 480,
        height: 260,
    });
    return new Promise((resolve) => {
        const finish = (allowed) => {
            clearTimeout(timer);
            browserApi.storage.onChanged.removeListener(onDecision);
            browserApi.windows.onRemoved.removeListener(onClosed);
            resolve(allowed);
        };
        // The prompt page records the answer, then closes its window.
        const onDecision = (changes, area) => {
            const decisions = changes[DECISIONS_KEY]?.newValue;
            if (area === "local" && decisions !== undefined && origin in decisions) {
                finish(decisions[origin] === true);
            }
        };
        // Closed without an answer, or the answer's change not seen yet.
        const onClosed = (closedId) => {
            if (closedId === windowId) {
                userDecisions().then((decisions) => finish(decisions[origin] === true));
            }
        };
        const timer = setTimeout(() => {
            browserApi.windows.remove(windowId).catch(() => {});
            finish(false);
        }, PROMPT_TIMEOUT_MS);
        browserApi.storage.onChanged.addListener(onDecision);
        browserApi.windows.onRemoved.addListener(onClosed);
    });
}
