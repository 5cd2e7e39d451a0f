"""The control in the platform's script host (cscript) in the test prefix:
registered for the run, and asked for its values as the reference that the
browser must match."""

from pathlib import Path

from bounded import run

SCRIPT = Path(__file__).with_name("control_values.js")


def windows_path(path):
    """The path as Wine sees it: the host's root is drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


class Control:
    def __init__(self, wine_run, prefix, dll):
        self._wine = [str(wine_run), str(prefix)]
        self._dll = windows_path(dll)

    def _run(self, step, *command):
        done = run(step, 120, [*self._wine, *command])
        if done.returncode != 0:
            raise AssertionError(f"{step}: exit status {done.returncode}: {done.stdout}{done.stderr}")
        return done.stdout

    def register(self):
        self._run("registering the control (regsvr32)", "regsvr32", "/s", self._dll)

    def unregister(self):
        self._run("unregistering the control (regsvr32 /u)", "regsvr32", "/u", "/s", self._dll)

    def values(self, salts):
        """The control's four values for each salt, in the shape the page
        library gives them (no identifier: None)."""
        arguments = ["".join(f"{unit:04X}" for unit in utf16_units(salt)) for salt in salts]
        output = self._run("reading the control in cscript", "cscript", "//nologo", windows_path(SCRIPT), *arguments)
        lines = dict(line.split("=", 1) for line in output.splitlines() if "=" in line)
        if lines.get("end") != "ok":
            raise AssertionError(f"cscript did not run to its end marker: {output}")
        return [
            {
                "identifier": lines[f"{n}.identifier"] or None,
                "computerName": lines[f"{n}.computerName"],
                "testInstallation": int(lines[f"{n}.testInstallation"]),
                "version": lines[f"{n}.version"],
            }
            for n in range(len(salts))
        ]


def utf16_units(text):
    # surrogatepass: a lone surrogate is a salt a page can pass, too.
    data = text.encode("utf-16-le", "surrogatepass")
    return [int.from_bytes(data[i : i + 2], "little") for i in range(0, len(data), 2)]
