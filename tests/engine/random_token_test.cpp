// The per-thread generator behind new tokens. Expected draws and tokens were
// worked out by a separate Python script that implements the generator from its
// definition (state = state * 214013 + 2531011 mod 2^32, draw = bits 16 to 30;
// per character: class = draw % 9, then letter = draw % 26 or digit = draw % 10)
// and were pasted here as literals.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine_text.h"
#include "random_token.h"

namespace {

using engine::UniqueText;

std::vector<int> Draw(int count) {
    std::vector<int> draws;
    for (int i = 0; i < count; ++i) {
        draws.push_back(engine::rand());
    }
    return draws;
}

std::string Token(std::int32_t length) {
    UniqueText token(engine::GenerateRandomToken(length));
    return token.get();
}

struct SeedCase {
    std::uint32_t seed;
    std::vector<int> firstDraws;
};

TEST(GeneratorDraws, FollowTheSeed) {
    const SeedCase cases[] = {
        {1, {41, 18467, 6334, 26500, 19169}},
        {0, {38, 7719, 21238, 2437, 8855}},
        {12345, {7584, 19164, 25795, 22125, 5828}},
        {0xFFFFFFFFu, {35, 29739, 3374, 11141, 31308}},
        {1700000000, {28462, 1027, 22663, 25444, 9533}},
    };
    for (const SeedCase& c : cases) {
        SCOPED_TRACE(c.seed);
        engine::srand(c.seed);
        EXPECT_EQ(Draw(5), c.firstDraws);
    }
}

struct TokenCase {
    std::uint32_t seed;
    std::vector<std::int32_t> lengths;  // tokens generated one after the other
    std::vector<std::string> tokens;
};

TEST(RandomToken, FollowsTheSeed) {
    const TokenCase cases[] = {
        // The second token continues the sequence; it does not repeat the first.
        {1, {10, 10}, {"7g4Ey5fxiC", "S3gW568W9o"}},
        {0, {10}, {"9t7tkU115Q"}},
        {12345, {10, 5}, {"Cz5F4gwKY9", "FW589"}},
        {42, {1, 1, 1}, {"k", "a", "J"}},
        // A length of 0 or less gives 10 characters.
        {7, {0}, {"c064mRrBJ2"}},
        {7, {-3}, {"c064mRrBJ2"}},
        {7, {INT32_MIN}, {"c064mRrBJ2"}},
    };
    for (const TokenCase& c : cases) {
        SCOPED_TRACE(c.seed);
        engine::srand(c.seed);
        std::vector<std::string> tokens;
        for (std::int32_t length : c.lengths) {
            tokens.push_back(Token(length));
        }
        EXPECT_EQ(tokens, c.tokens);
    }
}

TEST(RandomToken, EachCharacterCostsTwoDraws) {
    engine::srand(1700000000);
    Token(10);
    EXPECT_EQ(engine::rand(), 16288);  // the 21st draw from that seed
}

TEST(RandomToken, UsesLettersAndDigitsOnly) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::set<char> seen;
    engine::srand(0);
    for (int i = 0; i < 2000; ++i) {
        const std::string token = Token(10);
        ASSERT_EQ(token.size(), 10u);
        for (char c : token) {
            ASSERT_NE(alphabet.find(c), std::string::npos) << token;
            seen.insert(c);
        }
    }
    // 20000 characters reach every entry of all three alphabets.
    EXPECT_EQ(seen.size(), alphabet.size());
}

TEST(GeneratorThreads, SeedingAnotherThreadLeavesThisOneAlone) {
    engine::srand(12345);
    EXPECT_EQ(engine::rand(), 7584);
    std::vector<int> otherDraws;
    std::thread other([&otherDraws] {
        engine::srand(0);
        otherDraws = Draw(2);
    });
    other.join();
    EXPECT_EQ(otherDraws, (std::vector<int>{38, 7719}));
    EXPECT_EQ(Draw(2), (std::vector<int>{19164, 25795}));
}

TEST(GeneratorThreads, NewThreadStartsAtStateOne) {
    engine::srand(12345);
    std::vector<int> draws;
    std::string token;
    std::thread fresh([&] { draws = Draw(5); });
    fresh.join();
    std::thread freshForToken([&token] { token = Token(10); });
    freshForToken.join();
    EXPECT_EQ(draws, (std::vector<int>{41, 18467, 6334, 26500, 19169}));
    EXPECT_EQ(token, "7g4Ey5fxiC");
}

}  // namespace
