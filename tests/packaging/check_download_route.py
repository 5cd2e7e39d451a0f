#!/usr/bin/env python3
"""Fails unless the CAB's INF, the install page and the DLL's version resource
name one class and one version, as the browser's download route needs: the page
asks for the class at a version, and the INF must install a DLL of that class
and at least that version.

Usage: check_download_route.py INF PAGE DLL
"""
import re
import struct
import sys

CLSID = "9BAC30D5-A416-40C2-810B-D55B31413BB4"
VERSION = "1,0,0,4"


def dll_version(path):
    """FILEVERSION of the version resource: its fixed part starts with 0xFEEF04BD."""
    data = open(path, "rb").read()
    fixed = data.index(struct.pack("<I", 0xFEEF04BD))
    most, least = struct.unpack("<II", data[fixed + 8:fixed + 16])
    return "%d,%d,%d,%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def main():
    inf = open(sys.argv[1], encoding="ascii").read()
    page = open(sys.argv[2], encoding="utf-8").read()
    found = {
        "INF class": re.search(r"clsid=\{([0-9A-F-]+)\}", inf).group(1),
        "page class": re.search(r'classid="clsid:([0-9A-F-]+)"', page).group(1),
        "INF version": re.search(r"FileVersion=([0-9,]+)", inf).group(1),
        "page version": re.search(r'codebase="ieTalvenor\.cab#Version=([0-9,]+)"', page).group(1),
        "DLL version": dll_version(sys.argv[3]),
    }
    wrong = {fact: value for fact, value in found.items()
             if value != (CLSID if "class" in fact else VERSION)}
    if wrong:
        sys.exit("not %s / %s: %s" % (CLSID, VERSION, wrong))


if __name__ == "__main__":
    main()
