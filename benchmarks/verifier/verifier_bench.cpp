// How many identifiers the verifier checks per second on one thread: a valid
// one (decoded into its parts), one whose last digit was changed (refused at
// the checksum) and a text of a million digits (refused on its length before
// any of it is read). The cases take turns, one timed batch each per round; a
// round's figure is its batch's rate, and the median and best of the rounds
// are printed. Nothing is asserted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "verify.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 21;
constexpr double kBatchSeconds = 0.01;

// Salt "abc", serial C0FFEE42, tokens "Q7mZk2PxT9" and "b4RnW8cLy1"
// (the verifier tests' worked value).
constexpr char kSalt[] = "abc";
constexpr char kValidId[] =
    "29215327242624565130550E3B0951311A37580057330C3459012F185351525B2427535624";

// Keeps the results alive, so that no call can be left out.
volatile std::size_t sink = 0;

double BatchSeconds(const std::string& identifier, long calls) {
    std::size_t seen = 0;
    const auto start = Clock::now();
    for (long i = 0; i < calls; ++i) {
        const verifier::Verification verification = verifier::Verify(identifier, kSalt);
        seen += verification.volumeSerial + verification.joined.size() +
                static_cast<std::size_t>(verification.reason);
    }
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    sink = sink + seen;
    return elapsed.count();
}

// Calls per batch so that a batch lasts about kBatchSeconds.
long CalibratedCalls(const std::string& identifier) {
    long calls = 1000;
    double seconds = BatchSeconds(identifier, calls);
    while (seconds < kBatchSeconds / 4) {
        calls *= 4;
        seconds = BatchSeconds(identifier, calls);
    }
    return std::max(1L, static_cast<long>(calls * kBatchSeconds / seconds));
}

// A whole number with its thousands grouped: 1234567 as "1,234,567".
std::string Grouped(double value) {
    std::string digits = std::to_string(static_cast<long long>(value + 0.5));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

struct Case {
    const char* name;
    std::string identifier;
    verifier::Reason expected;
    long calls;
    std::vector<double> rates;
};

}  // namespace

int main() {
    std::string corrupted = kValidId;
    corrupted.back() = '5';
    std::vector<Case> cases = {
        {"valid, decoded (74 characters)", kValidId, verifier::Reason::kNone, 0, {}},
        {"checksum mismatch (74 characters)",
         corrupted,
         verifier::Reason::kChecksumMismatch,
         0,
         {}},
        {"over-long (1,000,000 characters)",
         std::string(1000000, '0'),
         verifier::Reason::kWrongLength,
         0,
         {}},
    };
    for (Case& c : cases) {
        const verifier::Reason reason = verifier::Verify(c.identifier, kSalt).reason;
        if (reason != c.expected) {
            std::fprintf(stderr, "verifier_bench: \"%s\" gave %s; not measuring\n", c.name,
                         std::string(verifier::ReasonName(reason)).c_str());
            return 1;
        }
        c.calls = CalibratedCalls(c.identifier);
    }
    for (int round = 0; round < kRounds; ++round) {
        for (Case& c : cases) {
            c.rates.push_back(c.calls / BatchSeconds(c.identifier, c.calls));
        }
    }

    std::printf(
        "Identifiers checked per second, one thread (%d rounds of about %.0f ms per case)\n",
        kRounds, kBatchSeconds * 1000);
    for (Case& c : cases) {
        std::sort(c.rates.begin(), c.rates.end());
        const double median = c.rates[c.rates.size() / 2];
        std::printf("  %-36s %12s/s median %12s/s best %7.1f ns/identifier\n", c.name,
                    Grouped(median).c_str(), Grouped(c.rates.back()).c_str(), 1e9 / median);
    }
    double slowest = cases[0].rates[kRounds / 2];
    for (const Case& c : cases) {
        slowest = std::min(slowest, c.rates[kRounds / 2]);
    }
    std::printf("  -> target at least 1,000,000/s: %s\n", slowest >= 1e6 ? "met" : "not met");
    return 0;
}
