// Which sites may read the values: the origins an administrator lists in
// managed storage (enterprise policy), and those the user allowed when asked.
// The user's answers, yes or no, are kept in local storage until the user
// forgets them on the options page.
import { browserApi } from "./browser-api.js";

export const DECISIONS_KEY = "siteDecisions";

// An origin as the browser writes it (scheme, host, port), or null for text
// that is none.
function normalOrigin(text) {
    try {
        const origin = new URL(text).origin;
        return origin === "null" ? null : origin;
    } catch {
        return null;
    }
}

export async function policyOrigins() {
    let listed;
    try {
        ({ allowedOrigins: listed } = await browserApi.storage.managed.get("allowedOrigins"));
    } catch {
        // Firefox rejects where no policy names the extension.
        return [];
    }
    return Array.isArray(listed) ? listed.map(normalOrigin).filter((origin) => origin) : [];
}

// origin -> true (allowed) or false (refused), as the user answered.
export async function userDecisions() {
    const stored = await browserApi.storage.local.get(DECISIONS_KEY);
    return stored[DECISIONS_KEY] ?? {};
}

export async function recordDecision(origin, allowed) {
    const decisions = await userDecisions();
    decisions[origin] = allowed;
    await browserApi.storage.local.set({ [DECISIONS_KEY]: decisions });
}

export async function forgetDecision(origin) {
    const decisions = await userDecisions();
    delete decisions[origin];
    await browserApi.storage.local.set({ [DECISIONS_KEY]: decisions });
}
