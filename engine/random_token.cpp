#include "random_token.h"

#include "engine_text.h"

namespace engine {

namespace {

constexpr std::int32_t kDefaultTokenLength = 10;
constexpr char kUpperCase[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr char kLowerCase[] = "abcdefghijklmnopqrstuvwxyz";
constexpr char kDigits[] = "0123456789";

// The slot holds the state XOR 1, so that a thread that never seeded, whose
// slot reads 0, starts at state 1.
constexpr std::uint32_t kInitialState = 1;

std::uint32_t ReadState() {
    return static_cast<std::uint32_t>(g_generatorStateSlot.Read()) ^ kInitialState;
}

void WriteState(std::uint32_t state) {
    g_generatorStateSlot.Write(state ^ kInitialState);
}

char DrawTokenCharacter() {
    // The class remainders 0, 3, 6 pick upper case; 1, 4, 7 lower case; 2, 5, 8 digits.
    switch (rand() % 9 % 3) {
        case 0:
            return kUpperCase[rand() % 26];
        case 1:
            return kLowerCase[rand() % 26];
        default:
            return kDigits[rand() % 10];
    }
}

}  // namespace

ThreadSlot g_generatorStateSlot;

void srand(std::uint32_t seed) {
    WriteState(seed);
}

int rand() {
    const std::uint32_t state = ReadState() * 214013u + 2531011u;
    WriteState(state);
    return static_cast<int>((state >> 16) & 0x7FFF);
}

const char* GenerateRandomToken(std::int32_t length) {
    if (length <= 0) {
        length = kDefaultTokenLength;
    }
    const std::size_t size = static_cast<std::size_t>(length);
    char* token = AllocateText(size);
    if (token == nullptr) {
        return kEmptyText;
    }
    for (std::size_t position = 0; position < size; ++position) {
        token[position] = DrawTokenCharacter();
    }
    token[size] = '\0';
    return token;
}

}  // namespace engine
