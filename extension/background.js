// The extension's background: takes the requests that the content script
// forwards from a page, decides whether the page's site may have the values,
// and asks the native host for them.
import { browserApi } from "./browser-api.js";
import { HostConnection } from "./host-connection.js";
import { failure, MAX_PENDING_PER_ORIGIN, MAX_SALT_FOR_HOST, PROTOCOL } from "./protocol.js";
import { policyOrigins, userDecisions } from "./site-access.js";
import { askUser } from "./site-prompt.js";

const host = new HostConnection();
const pendingByOrigin = new Map();

// The origin of the frame that sent a message, as the browser reports it: a
// web page's, where one of this extension's content scripts sent it; else null.
// Nothing the page wrote into the message counts.
function senderOrigin(sender) {
    if (sender.id !== browserApi.runtime.id || sender.tab === undefined) {
        return null;
    }
    let origin = sender.origin;
    if (origin === undefined) {
        // Firefox reports the frame's URL only.
        try {
            origin = new URL(sender.url).origin;
        } catch {
            return null;
        }
    }
    return /^https?:\/\//.test(origin) ? origin : null;
}

async function siteAllowed(origin) {
    if ((await policyOrigins()).includes(origin)) {
        return true;
    }
    const decisions = await userDecisions();
    return origin in decisions ? decisions[origin] === true : askUser(origin);
}

// Lone UTF-16 surrogates become U+FFFD, as the browser's conversion to UTF-8
// would make them: the control refuses both, and the host sees valid text.
function saltForHost(salt) {
    return salt
        .slice(0, MAX_SALT_FOR_HOST)
        .replace(/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g, "\uFFFD");
}

async function answer(message, origin) {
    if (message?.protocol !== PROTOCOL) {
        return failure("unsupported-protocol", `the ieTalvenor extension speaks protocol ${PROTOCOL}`);
    }
    if (typeof message.salt !== "string") {
        return failure("bad-request", "the salt must be a string");
    }
    const pending = pendingByOrigin.get(origin) ?? 0;
    if (pending >= MAX_PENDING_PER_ORIGIN) {
        return failure("busy", `${origin} has ${pending} requests pending; wait for their answers`);
    }
    pendingByOrigin.set(origin, pending + 1);
    try {
        if (!(await siteAllowed(origin))) {
            return failure("site-not-allowed", `${origin} is not allowed to read this computer's ieTalvenor values`);
        }
        return await host.request(saltForHost(message.salt));
    } finally {
        const left = pendingByOrigin.get(origin) - 1;
        if (left === 0) {
            pendingByOrigin.delete(origin);
        } else {
            pendingByOrigin.set(origin, left);
        }
    }
}

browserApi.runtime.onMessage.addListener((message, sender, sendResponse) => {
    const origin = senderOrigin(sender);
    if (origin === null) {
        return false;
    }
    answer(message, origin).then(sendResponse);
    return true;
});
