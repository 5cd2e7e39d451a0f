// The message format shared with the page library and the native host, and
// the bounds the extension keeps (docs/browser-route.md).

export const PROTOCOL = 1;
export const HOST_NAME = "com.kestrane.talvenor";

// A page's pending requests per origin, counted from the moment the extension
// accepts one until it answers; more get `busy`.
export const MAX_PENDING_PER_ORIGIN = 16;
// How long a request may wait for the host; then the host is taken as stuck.
export const HOST_REQUEST_TIMEOUT_MS = 10000;
// How long the host is kept after its last answer, so that a page's next
// call does not pay for starting it again.
export const HOST_IDLE_CLOSE_MS = 3000;
// How long the question to the user stays open before it counts as "no".
export const PROMPT_TIMEOUT_MS = 45000;

// The longest salt passed to the host. The control takes 1 to 255 characters
// up to the first U+0000, so cutting a longer salt at 256 characters keeps
// every salt the control refuses refused and every salt it takes whole, while
// the message stays well under the host's limit.
export const MAX_SALT_FOR_HOST = 256;

export function failure(code, message) {
    return { error: { code, message } };
}
