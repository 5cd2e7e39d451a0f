#!/usr/bin/env python3
"""Checks the extension's packages and the host manifests that scripts/package.sh
wrote into DIST, read as the browsers read them:

- the CRX is a CRX3 (magic "Cr24", version 3) whose signature verifies with
  the RSA key in its header (openssl), fails on one changed byte, whose id is
  the one that key gives, and which holds the extension (every file of
  extension/ but the Firefox manifest, the manifest's key the signing key);
  a release CRX has the id of the key in extension/manifest.json, a test one
  is named and noted as such;
- the update manifest names that id, the extension's version and the CRX;
- the XPI holds the same files with the Firefox manifest, gecko id
  talvenor@kestrane.com;
- each package holds the host for its Windows (a PE of the right machine,
  the signed file of dist/ARCH) and the two host manifests, which name it
  beside them and allow the CRX's id (Chrome, Edge) and the gecko id
  (Firefox);
- SHA256SUMS lists every file of DIST.

Prints "N passed, N failed". With --print-id DIST it prints the CRX's id
and nothing else, for the other checks.

Usage: check_extension_packages.py DIST WORK | --print-id DIST
"""
import base64
import glob
import hashlib
import io
import json
import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bounded  # noqa: E402
import check_report  # noqa: E402

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXTENSION = os.path.join(SOURCE, "extension")
GECKO_ID = "talvenor@kestrane.com"
# The CRX3 header's fields (Chromium's crx3.proto): CrxFileHeader.sha256_with_rsa,
# .signed_header_data; AsymmetricKeyProof.public_key, .signature; SignedData.crx_id.
RSA_PROOF, SIGNED_HEADER_DATA = 2, 10000
PUBLIC_KEY, SIGNATURE = 1, 2
CRX_ID = 1
SIGNED_PREFIX = b"CRX3 SignedData\x00"
# IMAGE_FILE_HEADER.Machine of each package's host.
MACHINES = {"x86": 0x14C, "x64": 0x8664}


def fields(data):
    """The (number, bytes) of a protobuf message's length-delimited fields."""
    found, at = [], 0

    def varint():
        nonlocal at
        value, shift = 0, 0
        while True:
            byte = data[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    while at < len(data):
        tag = varint()
        if tag & 7 != 2:
            raise ValueError(f"field {tag >> 3} has wire type {tag & 7}, not a length-delimited one")
        length = varint()
        found.append((tag >> 3, data[at:at + length]))
        at += length
    return found


def extension_id(digest_bytes):
    return "".join(chr(ord("a") + int(digit, 16)) for digit in digest_bytes.hex()[:32])


class Crx:
    def __init__(self, data):
        if data[:4] != b"Cr24":
            raise ValueError(f"magic {data[:4]!r}, not Cr24")
        self.version, header_size = struct.unpack("<II", data[4:12])
        header = data[12:12 + header_size]
        self.archive = data[12 + header_size:]
        parts = fields(header)
        self.proofs = [dict(fields(proof)) for number, proof in parts if number == RSA_PROOF]
        signed = [value for number, value in parts if number == SIGNED_HEADER_DATA]
        self.signed_header_data = signed[0] if len(signed) == 1 else b""
        self.crx_id = dict(fields(self.signed_header_data)).get(CRX_ID, b"")
        # The one proof whose key the crx_id names.
        self.key = next((proof[PUBLIC_KEY] for proof in self.proofs
                         if hashlib.sha256(proof[PUBLIC_KEY]).digest()[:16] == self.crx_id), None)
        self.signature = next((proof.get(SIGNATURE) for proof in self.proofs
                               if proof.get(PUBLIC_KEY) == self.key), None)

    def id(self):
        return extension_id(self.crx_id)

    def signed_bytes(self):
        return (SIGNED_PREFIX + struct.pack("<I", len(self.signed_header_data))
                + self.signed_header_data + self.archive)


def signature_verifies(crx, signed_bytes, work):
    """openssl checks the RSA SHA-256 signature of signed_bytes."""
    paths = {name: os.path.join(work, name) for name in ("key.der", "signature", "signed")}
    for name, data in (("key.der", crx.key), ("signature", crx.signature), ("signed", signed_bytes)):
        open(paths[name], "wb").write(data)
    done = bounded.run("openssl dgst -verify", 60,
                       ["openssl", "dgst", "-sha256", "-keyform", "DER", "-verify", paths["key.der"],
                        "-signature", paths["signature"], paths["signed"]],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode == 0


def only(pattern):
    found = glob.glob(pattern)
    if len(found) != 1:
        raise SystemExit(f"{len(found)} files match {pattern}")
    return found[0]


def extension_files(leave_out):
    return {name: open(os.path.join(EXTENSION, name), "rb").read()
            for name in os.listdir(EXTENSION) if name not in leave_out}


def archive_differences(archive, expected):
    """How a zip's files differ from `expected` (name to bytes), manifest aside."""
    names = set(archive.namelist()) - {"manifest.json"}
    problems = [f"{name} missing" for name in sorted(set(expected) - names)]
    problems += [f"{name} not in extension/" for name in sorted(names - set(expected))]
    problems += [f"{name} differs" for name in sorted(names & set(expected))
                 if archive.read(name) != expected[name]]
    return problems


def crx_checks(dist, work, crx_path):
    name = os.path.basename(crx_path)
    data = open(crx_path, "rb").read()
    try:
        crx = Crx(data)
    except (ValueError, IndexError) as problem:
        return [(f"{name} is a CRX3", False, str(problem))], None
    source_manifest = json.load(open(os.path.join(EXTENSION, "manifest.json")))
    published = extension_id(hashlib.sha256(base64.b64decode(source_manifest["key"])).digest())
    changed = bytearray(crx.signed_bytes())
    changed[len(changed) - len(crx.archive) // 2] ^= 0xFF
    archive = zipfile.ZipFile(io.BytesIO(crx.archive))
    manifest = json.loads(archive.read("manifest.json"))
    test = "TEST-SIGNED-NOT-FOR-RELEASE" in dist
    marked = os.path.join(dist, "TEST-SIGNED-NOT-FOR-RELEASE.txt")
    checks = [
        (f"{name} is a CRX3 (Cr24, version 3)", crx.version == 3, f"version {crx.version}"),
        (f"{name} has one RSA key whose SHA-256 is its id", crx.key is not None and len(crx.crx_id) == 16,
         f"{len(crx.proofs)} proofs, crx_id {crx.crx_id.hex()}"),
        (f"{name}: the signature verifies with that key",
         crx.key is not None and signature_verifies(crx, crx.signed_bytes(), work), ""),
        (f"{name}: a changed byte breaks the signature",
         crx.key is not None and not signature_verifies(crx, bytes(changed), work), ""),
        (f"{name} holds every file of extension/ but the Firefox manifest",
         not archive_differences(archive, extension_files({"manifest.json", "manifest-firefox.json"})),
         archive_differences(archive, extension_files({"manifest.json", "manifest-firefox.json"}))),
        (f"{name}: its manifest's key is the signing key, its version the extension's",
         crx.key is not None and manifest.get("key") == base64.b64encode(crx.key).decode()
         and manifest.get("version") == source_manifest["version"],
         {field: manifest.get(field) for field in ("key", "version")}),
    ]
    if test:
        checks.append((f"{name} is marked as signed with a test key",
                       "TEST" in name and crx.id() in open(marked).read(), open(marked).read()))
    else:
        checks.append((f"{name} has the published id {published}", crx.id() == published, crx.id()))
    return checks, crx


def update_manifest_checks(dist, crx):
    path = os.path.join(dist, "ieTalvenor-update.xml")
    namespace = "{http://www.google.com/update2/response}"
    root = ElementTree.parse(path).getroot()
    apps = root.findall(f"{namespace}app")
    checks = []
    app = apps[0] if len(apps) == 1 else None
    update = app.find(f"{namespace}updatecheck") if app is not None else None
    version = json.load(open(os.path.join(EXTENSION, "manifest.json")))["version"]
    crx_name = os.path.basename(only(os.path.join(dist, "*.crx")))
    checks.append(("the update manifest is a gupdate response of protocol 2.0",
                   root.tag == f"{namespace}gupdate" and root.get("protocol") == "2.0" and app is not None,
                   root.tag))
    checks.append(("the update manifest's appid is the CRX's id",
                   app is not None and crx is not None and app.get("appid") == crx.id(),
                   app.get("appid") if app is not None else None))
    checks.append(("the update manifest offers the extension's version from a URL of the CRX",
                   update is not None and update.get("version") == version
                   and update.get("codebase", "").startswith("https://")
                   and update.get("codebase", "").endswith("/" + crx_name),
                   update.attrib if update is not None else None))
    return checks


def xpi_checks(dist):
    archive = zipfile.ZipFile(os.path.join(dist, "ieTalvenor.xpi"))
    manifest = json.loads(archive.read("manifest.json"))
    firefox_manifest = json.load(open(os.path.join(EXTENSION, "manifest-firefox.json")))
    expected = extension_files({"manifest.json", "manifest-firefox.json"})
    return [
        ("the XPI's manifest is the Firefox manifest, gecko id talvenor@kestrane.com",
         manifest == firefox_manifest
         and manifest.get("browser_specific_settings", {}).get("gecko", {}).get("id") == GECKO_ID,
         manifest.get("browser_specific_settings")),
        ("the XPI holds every other file of extension/", not archive_differences(archive, expected),
         archive_differences(archive, expected)),
    ]


def pe_machine(data):
    offset = struct.unpack("<I", data[0x3C:0x40])[0]
    if data[:2] != b"MZ" or data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack("<H", data[offset + 4:offset + 6])[0]


def package_checks(dist, work, crx):
    checks = []
    for arch, machine in MACHINES.items():
        msi = only(os.path.join(dist, f"ieTalvenor-{arch}*.msi"))
        name = os.path.basename(msi)
        folder = os.path.join(work, f"extracted-{arch}")
        os.makedirs(folder)
        bounded.run(f"msiextract {name}", 60, ["msiextract", "-C", folder, msi],
                    stdout=subprocess.DEVNULL, check=True)
        found = {}
        for directory, _, files in os.walk(folder):
            for file in files:
                found.setdefault(file, []).append(os.path.join(directory, file))
        hosts = found.get("talvenor-host.exe", [])
        host = open(hosts[0], "rb").read() if len(hosts) == 1 else b""
        checks.append((f"{name} holds the signed host of dist/{arch}, a PE for machine {machine:#x}",
                       host == open(os.path.join(dist, arch, "talvenor-host.exe"), "rb").read()
                       and pe_machine(host) == machine, f"{len(hosts)} hosts"))
        manifests = {"com.kestrane.talvenor.json": ("allowed_origins", [f"chrome-extension://{crx.id()}/"]),
                     "com.kestrane.talvenor.firefox.json": ("allowed_extensions", [GECKO_ID])}
        for manifest_name, (field, allowed) in manifests.items():
            paths = found.get(manifest_name, [])
            manifest = json.load(open(paths[0])) if len(paths) == 1 else {}
            beside = len(paths) == 1 and len(hosts) == 1 and os.path.dirname(paths[0]) == os.path.dirname(hosts[0])
            expected = {"name": "com.kestrane.talvenor", "description": "ieTalvenor native host",
                        "path": "talvenor-host.exe", "type": "stdio", field: allowed}
            checks.append((f"{name}: {manifest_name} names the host beside it and allows {allowed[0]}",
                           manifest == expected and beside, manifest))
    return checks


def sums_checks(dist):
    listed = {line.split(None, 1)[1].strip() for line in open(os.path.join(dist, "SHA256SUMS"))}
    files = {os.path.relpath(os.path.join(directory, file), dist)
             for directory, _, names in os.walk(dist) for file in names} - {"SHA256SUMS"}
    return [("SHA256SUMS lists every file", listed == files,
             {"unlisted": sorted(files - listed), "not there": sorted(listed - files)})]


def main():
    if sys.argv[1] == "--print-id":
        print(Crx(open(only(os.path.join(sys.argv[2], "*.crx")), "rb").read()).id())
        return 0
    dist, work = sys.argv[1:3]
    checks, crx = crx_checks(dist, work, only(os.path.join(dist, "*.crx")))
    checks += update_manifest_checks(dist, crx) + xpi_checks(dist) + sums_checks(dist)
    if crx is not None:
        checks += package_checks(dist, work, crx)
    return check_report.report(checks)


if __name__ == "__main__":
    sys.exit(main())
