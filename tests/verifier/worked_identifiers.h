// Identifiers with the salts and parts they come from, computed by a separate
// Python script written from the identifier's format alone (join "H%08X" of
// the serial with the two tokens, XOR byte k with salt byte k % n as "%02X",
// sum the character codes of that text at even and odd positions, format
// (E ^ 0x04071FF1) ^ (O ^ 0x0489FC0D) as "%08X" and mix it again with the salt
// index restarted at 0), and pasted here as literals.
#pragma once

#include <string>

namespace worked {

// Two generated tokens of 10 characters: a joined text of 29 bytes.
constexpr char kMachineToken[] = "Q7mZk2PxT9";
constexpr char kUserToken[] = "b4RnW8cLy1";
constexpr char kJoined[] = "HC0FFEE42Q7mZk2PxT9b4RnW8cLy1";  // serial C0FFEE42

// Salt "abc".
constexpr char kAbcId[] =
    "29215327242624565130550E3B0951311A37580057330C3459012F185351525B2427535624";

// A token of other bytes (as a stored token may hold) with salt bytes E9 80 FF 20.
constexpr char kHighByteSalt[] = "\xE9\x80\xFF ";
constexpr char kOddMachineToken[] =
    "\xE9\x01\x7F\"\\\xFF"
    "A\n\x80"
    "9";
constexpr char kOddTokenId[] =
    "A1C3CF66AFC5BA14DB69FE5FCBDC0061E300C642DDD29177D1E3B359D8D9B0C765ACB3C966";

// Salt byte i is (7i mod 255) + 1: all 255 byte values from 0x01 to 0xFF.
inline std::string EveryByteSalt() {
    std::string salt;
    for (int i = 0; i < 255; ++i) {
        salt.push_back(static_cast<char>((i * 7) % 255 + 1));
    }
    return salt;
}

}  // namespace worked
