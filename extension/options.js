// The extension's options page: the sites the administrator allows, and the
// user's remembered answers, each of which the user can forget (revoke).
import { browserApi } from "./browser-api.js";
import { forgetDecision, policyOrigins, userDecisions } from "./site-access.js";

function element(tag, text) {
    const created = document.createElement(tag);
    created.textContent = text;
    return created;
}

async function show() {
    const policy = await policyOrigins();
    document.getElementById("policy").replaceChildren(
        ...(policy.length > 0 ? policy.map((origin) => element("li", origin)) : [element("li", "none")]),
    );
    const rows = Object.entries(await userDecisions()).map(([origin, allowed]) => {
        const row = document.createElement("tr");
        row.dataset.origin = origin;
        const forget = element("button", "Forget");
        forget.addEventListener("click", () => forgetDecision(origin));
        const action = document.createElement("td");
        action.append(forget);
        row.append(element("td", origin), element("td", allowed ? "Allowed" : "Not allowed"), action);
        return row;
    });
    document.getElementById("decisions").replaceChildren(...rows);
}

browserApi.storage.onChanged.addListener(show);
show();
