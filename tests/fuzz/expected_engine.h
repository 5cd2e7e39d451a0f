// What the identifier engine must do in a fuzz scenario, worked out from the
// identifier's rules step by step against a model of the platform stand-in:
// every registry, volume and clock call the engine should make with its
// expected outcome, every allocation from the engine's heap, the tokens it
// should find or generate, and the identifier it should return.
//
// The model shares no code with the engine. Its platform half follows the
// stand-in's documented behaviour (fake_platform.h): keys by root, values in
// insertion order with names that match without regard to case, access masks,
// read-only keys, and injected failures tried in the order they were added, the
// first one that applies winning.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fuzz_scenario.h"

namespace fuzz {

constexpr char kMachineKeyPath[] = "SOFTWARE\\Kestrane\\RND";
constexpr char kUserKeyPath[] = "Software\\Kestrane\\RND";

// One derivation as it should turn out.
struct ExpectedDerivation {
    std::string identifier;  // empty: the engine must return its shared empty text
    std::string machineToken;
    std::string userToken;
    // Why the identifier is empty, for the report of a failed check.
    std::string emptyBecause;
};

class ExpectedEngine {
  public:
    // `machineValues` and `userValues` are the values the stand-in holds before
    // the first step, as it reports them.
    ExpectedEngine(const Scenario& scenario, std::vector<fake::Value> machineValues,
                   std::vector<fake::Value> userValues);

    ExpectedDerivation Derive(const std::string& salt);
    bool IsInstalled();

    // The calls so far, up to the stand-in's log limit, and their exact counts.
    const std::vector<fake::Call>& calls() const { return calls_; }
    std::size_t CallCount(fake::Fn function) const {
        return counts_[static_cast<std::size_t>(function)];
    }
    const fake::Call& LastCall(fake::Fn function) const {
        return lastCalls_[static_cast<std::size_t>(function)];
    }
    std::size_t allocations() const { return allocations_; }
    // Keys whose RegCloseKey failed stay open in the stand-in.
    std::size_t openHandles() const { return openHandles_; }
    const std::vector<fake::Value>& machineValues() const { return machine_.values; }
    const std::vector<fake::Value>& userValues() const { return user_.values; }

  private:
    struct Key {
        bool exists = false;
        bool readOnly = false;
        std::vector<fake::Value> values;
    };
    struct Handle {
        HKEY root = nullptr;  // null: no key was opened
        REGSAM access = 0;
        explicit operator bool() const { return root != nullptr; }
    };
    // The result of searching a key for its token value.
    struct Search {
        std::string stored;       // the matching value's text; empty: none found, or no text
        std::string token;        // what the engine has of it: empty too when the copy failed
        bool copyFailed = false;  // a token is stored, but its copy could not be allocated
    };

    // The platform, as the stand-in behaves.
    Key& KeyOf(HKEY root) { return root == HKEY_LOCAL_MACHINE ? machine_ : user_; }
    bool Injected(fake::Fn function, HKEY root, LONG& error);
    void Log(const fake::Call& call);
    // Only calls the stand-in still logs are kept in full.
    bool Logging() const { return calls_.size() < fake::kMaxLoggedCalls; }
    Handle CreateKey(HKEY root, const char* path, REGSAM access);
    Handle OpenKey(HKEY root, const char* path, REGSAM access);
    // The value at `index`, or null with `status` telling why not.
    const fake::Value* EnumerateValue(const Handle& key, DWORD index, LONG& status);
    void SetTokenValue(const Handle& key, const std::string& token);
    void FlushAndClose(const Handle& key);
    bool ReadVolumeSerial(DWORD& serial);
    void ReadClock();
    bool Allocate();

    // The engine's steps, as its rules describe them.
    Search SearchTokenValue(const Handle& key);
    std::string ReadOrCreateToken(const Handle& key);
    std::string MachineToken();
    std::string UserToken();
    std::string GenerateToken();
    int Draw();

    const Scenario& scenario_;
    Key machine_;
    Key user_;
    std::array<std::size_t, fake::kFunctionCount> counts_{};
    std::array<fake::Call, fake::kFunctionCount> lastCalls_{};
    std::vector<fake::Call> calls_;
    std::size_t allocations_ = 0;
    std::size_t openHandles_ = 0;
    std::uint32_t generatorState_ = 1;
};

}  // namespace fuzz
