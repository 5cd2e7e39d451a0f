// The question to the user about one site (site-prompt.js opens it): the
// answer is recorded for that site, then the window closes.
import { recordDecision } from "./site-access.js";

const origin = new URLSearchParams(location.search).get("origin");
document.getElementById("origin").textContent = origin;

for (const [button, allowed] of [
    ["allow", true],
    ["refuse", false],
]) {
    document.getElementById(button).addEventListener("click", async () => {
        await recordDecision(origin, allowed);
        window.close();
    });
}
