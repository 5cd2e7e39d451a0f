// Values shared by the engine's host tests: the token keys, and a volume serial
// and clock with the tokens and identifier that follow from them. The tokens
// and identifiers were computed by a separate Python script written from the
// derivation rules alone and pasted here as literals.
#pragma once

#include <ctime>

#include "platform.h"

namespace worked {

constexpr char kMachinePath[] = "SOFTWARE\\Kestrane\\RND";
constexpr char kUserPath[] = "Software\\Kestrane\\RND";

constexpr DWORD kSerial = 0x1234ABCD;
constexpr time_t kClock = 1700000000;
// The tokens that the seed 1700000000 generates: draws 1 to 20, then 21 to 40.
constexpr char kClockFirstToken[] = "nq6h61JcEU";
constexpr char kClockSecondToken[] = "hFmux0pkrR";
// Salt "abc" with serial 0x1234ABCD and the two tokens above.
constexpr char kClockTokensId[] =
    "2953515256222321270F13550954522B0126340A250C171B511208133051525B2427535751";

}  // namespace worked
