// The WebExtension API under the name each browser gives it: Firefox has the
// promise-based `browser`, Chrome and Edge `chrome`, whose Manifest V3 calls
// return promises too. The extension calls only what both provide.
export const browserApi = globalThis.browser ?? globalThis.chrome;
