#!/usr/bin/env python3
"""Writes the identifier vectors (verifier/identifier-vectors.json) to standard output.

Identifiers are derived here from the format's rules alone (docs/identifier.md),
never by the verifier: the joined text is mixed with the salt byte by byte, the
check text summed from the character codes of that first segment and mixed again
with the salt index restarted at 0. Each expected verdict is the rule that the
vector was built to meet or break. Run once; its output is committed:

    python3 tests/verifier/make_identifier_vectors.py > verifier/identifier-vectors.json
"""
import json

VOLUME_TOKEN = b"HC0FFEE42"
MACHINE = b"Q7mZk2PxT9"
USER = b"b4RnW8cLy1"
GENERATED_JOINED_LENGTH = 29
LONGEST_TOKEN = 1024


def mixed(text: bytes, salt: bytes) -> str:
    return "".join("%02X" % (b ^ salt[k % len(salt)]) for k, b in enumerate(text))


def derive(salt: bytes, joined: bytes) -> str:
    first = mixed(joined, salt)
    even = sum(map(ord, first[0::2])) & 0xFFFFFFFF
    odd = sum(map(ord, first[1::2])) & 0xFFFFFFFF
    check = b"%08X" % ((even ^ 0x04071FF1) ^ (odd ^ 0x0489FC0D))
    return first + mixed(check, salt)


def text(data: bytes) -> str:
    """Bytes as a JSON string: each byte the character of the same number."""
    return data.decode("latin-1")


def valid(joined: bytes) -> dict:
    """The verdict talvenor-verify prints for a valid identifier of this joined text."""
    verdict = {"valid": True, "reason": "none", "volumeSerial": text(joined[1:9]),
               "joined": text(joined), "splitKnown": len(joined) == GENERATED_JOINED_LENGTH}
    if verdict["splitKnown"]:
        verdict["machineToken"] = text(joined[9:19])
        verdict["userToken"] = text(joined[19:])
    return verdict


def invalid(reason: str) -> dict:
    return {"valid": False, "reason": reason}


vectors = []


def made(name, salt, volume=VOLUME_TOKEN, machine=MACHINE, user=USER, reason="none", made_with=None):
    """A vector derived from its parts; checked with `salt`, made with `made_with` or `salt`."""
    made_with = made_with or salt
    joined = volume + machine + user
    identifier = derive(made_with, joined)
    if reason != "none":
        expected = invalid(reason)
    elif made_with == salt:
        expected = valid(joined)
    else:
        # Checked with another salt: the first segment unmixed with that one.
        unmixed = bytes(int(identifier[2 * k:2 * k + 2], 16) ^ salt[k % len(salt)]
                        for k in range(len(joined)))
        expected = valid(unmixed)
    parts = {"volumeToken": text(volume), "machineToken": text(machine), "userToken": text(user)}
    if made_with != salt:
        parts["salt"] = text(made_with)
    vectors.append({"name": name, "salt": text(salt), "madeFrom": parts,
                    "identifier": identifier, "expected": expected})
    return identifier


def edited(name, salt, identifier, reason):
    """A vector that is not a derivation: a changed, cut or made-up text."""
    vectors.append({"name": name, "salt": text(salt), "identifier": text(identifier),
                    "expected": invalid(reason)})


EVERY_BYTE = bytes((7 * i) % 255 + 1 for i in range(255))  # 0x01 to 0xFF, each once
HIGH = b"\xE9\x80\xFF "
ODD_TOKEN = b'\xE9\x01\x7F"\\\xFFA\n\x809'

# Valid: salts of 1, 3, 8, 9 and 255 bytes, bytes above 0x7F, L from 9 to 2057.
ABC = made("salt abc: the worked example of docs/identifier.md", b"abc")
made("salt of 1 byte", b"K")
made("salt of 8 bytes", b"intranet")
made("salt of 9 bytes: its last byte meets the joined text only", b"portal-09")
made("salt of 255 bytes, every byte from 0x01 to 0xFF", EVERY_BYTE)
made("salt bytes above 0x7F, serial 00000000", HIGH, volume=b"H00000000")
made("token bytes of any value but 0", HIGH, machine=ODD_TOKEN)
made("machine token of 20 characters: L = 39, the two tokens cannot be told apart", b"abc",
     volume=b"HFFFFFFFF", machine=b"A1b2C3d4E5f6G7h8I9j0")
made("tokens of 1 byte each: L = 11, the shortest identifier the component gives", b"portal-09",
     machine=b"7", user=b"x")
made("no token bytes: L = 9, the shortest the format allows", b"abc", machine=b"", user=b"")
made("the engine's worked value (tests/engine/worked_values.h)", b"abc", volume=b"H1234ABCD",
     machine=b"nq6h61JcEU", user=b"hFmux0pkrR")
LONG_MACHINE = bytes((13 * i) % 255 + 1 for i in range(LONGEST_TOKEN))
LONG_USER = b"Talvenor" * (LONGEST_TOKEN // 8)
made("tokens of 1,024 bytes: L = 2057, the longest identifier (4,130 characters)", b"portal-09",
     machine=LONG_MACHINE, user=LONG_USER)
made("made with example.com-2024", b"example.com-2024")
made("made with example.com-2024, checked with example.com-2025: the check text meets only the"
     " salts' first 8 bytes, which agree, so it is valid (joined byte 15 decodes 1 bit off)",
     b"example.com-2025", made_with=b"example.com-2024")

# refused-salt: the salt is checked before the identifier.
edited("empty salt", b"", ABC.encode(), "refused-salt")
edited("salt of 256 bytes", b"a" * 256, ABC.encode(), "refused-salt")
edited("salt holding a zero byte", b"a\0c", ABC.encode(), "refused-salt")
edited("empty salt and a malformed identifier", b"", b"xyz", "refused-salt")

# wrong-length: odd, shorter than 34 or longer than 4,130 characters.
edited("empty identifier", b"abc", b"", "wrong-length")
edited("one character short", b"abc", ABC[:-1].encode(), "wrong-length")
edited("one character long", b"abc", ABC.encode() + b"0", "wrong-length")
edited("32 characters: L = 8", b"abc", b"0" * 32, "wrong-length")
made("4,132 characters, made by the rules from a machine token of 1,025 bytes", b"portal-09",
     machine=LONG_MACHINE + b"Z", user=LONG_USER, reason="wrong-length")
edited("4,132 characters of x: refused on its length alone", b"abc", b"x" * 4132,
       "wrong-length")
edited("lower case and one character short: the length is checked first", b"abc",
       ABC[:-1].lower().encode(), "wrong-length")

# not-hexadecimal
edited("lower case", b"abc", ABC.lower().encode(), "not-hexadecimal")
edited("letter G", b"abc", (ABC[:10] + "G" + ABC[11:]).encode(), "not-hexadecimal")
edited("space", b"abc", (ABC[:73] + " ").encode(), "not-hexadecimal")
edited("byte above 0x7F", b"abc", b"\xC1" + ABC[1:].encode(), "not-hexadecimal")

# checksum-mismatch
edited("another salt: abd", b"abd", ABC.encode(), "checksum-mismatch")
edited("last digit changed", b"abc", (ABC[:-1] + "5").encode(), "checksum-mismatch")
edited("two digits appended", b"abc", ABC.encode() + b"00", "checksum-mismatch")
edited("zeros of a valid length", b"abc", b"0" * 34, "checksum-mismatch")

# not-a-volume-token: the checksum holds, the first 9 bytes are not "H%08X".
made("X instead of H", b"abc", volume=b"X1234ABCD", reason="not-a-volume-token")
made("serial in lower case", b"abc", volume=b"Hc0ffee42", reason="not-a-volume-token")
made("serial of 7 digits", b"abc", volume=b"H1234ABC", reason="not-a-volume-token")

# zero-byte-in-token: a stored token is read up to its first zero byte.
made("zero byte in the machine token", b"abc", machine=b"Q7mZ\x002PxT9", reason="zero-byte-in-token")
made("zero byte ending the user token", b"K", user=b"b4RnW8cLy\x00", reason="zero-byte-in-token")

print(json.dumps({
    "about": "Identifiers of the ieTalvenor component with the verdicts of talvenor-verify;"
             " see docs/identifier.md, 'The vectors file'.",
    "vectors": vectors,
}, indent=1))
