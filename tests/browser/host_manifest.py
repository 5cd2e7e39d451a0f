"""The native messaging host manifests that the packages install
(packaging/host-manifest-chromium.json and host-manifest-firefox.json),
registered for a test's browser: the shipped name, type and allowed
extensions, so that the tests exercise what ships, with `path` naming the
test's host and the extension id filled in as packaging/build-msi.sh fills
it."""

import json
from pathlib import Path

PACKAGING = Path(__file__).resolve().parents[2] / "packaging"
EXTENSION_ID_PLACEHOLDER = "@EXTENSION_ID@"


def write_host_manifest(browser, folder, host_path, extension_id=None):
    """Writes the shipped manifest for `browser` ("chromium" or "firefox")
    into `folder`, named by its host as the browsers look it up."""
    shipped = (PACKAGING / f"host-manifest-{browser}.json").read_text()
    if extension_id is not None:
        shipped = shipped.replace(EXTENSION_ID_PLACEHOLDER, extension_id)
    manifest = json.loads(shipped)
    manifest["path"] = str(host_path)
    (Path(folder) / f"{manifest['name']}.json").write_text(json.dumps(manifest))
