// Speed of ieTalvenor.DLL as a host drives it, under the same conditions for
// every figure: one process, one thread, the DLL registered and its tokens
// already stored. Prints calls per second (median and best of the rounds),
// the ratios the component is judged by, the allocations the DLL makes and
// where a call's time goes. Nothing is asserted: the exit status is non-zero
// only when the DLL cannot be driven at all.
//
// Usage: talvenor_bench [--rounds N] [--slices N] [--slice-ms MILLISECONDS] [--dll PATH]
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "derivation_platform_calls.h"
#include "import_redirect.h"
#include "measurement.h"
#include "platform_call_profile.h"
#include "platform_stand_in.h"
#include "talvenor_client.h"
#include "talvenor_dll.h"

namespace {

using bench::MeasuredCase;
using bench::PlatformCallProfile;
using test_support::ITalvenorTable;
using test_support::NarrowText;
using test_support::OwnedBstr;

constexpr wchar_t kSalt[] = L"abc";
constexpr wchar_t kGetIdName[] = L"getID";
constexpr DISPID kGetIdDispid = 1;
constexpr LCID kLocale = LOCALE_USER_DEFAULT;
// What a script engine passes for o.getID("abc").
constexpr WORD kScriptCallFlags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
// An identifier from two generated tokens: 2 * (9 + 10 + 10) + 16 characters.
constexpr std::size_t kGeneratedIdentifierLength = 74;

constexpr double kOverheadTarget = 0.05;
constexpr double kLookupSpeedupTarget = 10;
constexpr long kCountedLookups = 100000;
constexpr long kCountedCalls = 1000;
// The profile makes as many calls of each kind as this many slices hold.
constexpr long kProfiledSlices = 40;

struct Options {
    bench::MeasurementSettings measurement;
    std::string dllPath = test_support::kDllPath;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        const bool hasValue = index + 1 < argc;
        if (option == "--rounds" && hasValue) {
            options->measurement.rounds = std::max(1, std::atoi(argv[++index]));
        } else if (option == "--slices" && hasValue) {
            options->measurement.slicesPerRound = std::max(1, std::atoi(argv[++index]));
        } else if (option == "--slice-ms" && hasValue) {
            options->measurement.secondsPerSlice = std::max(1, std::atoi(argv[++index])) / 1000.0;
        } else if (option == "--dll" && hasValue) {
            options->dllPath = argv[++index];
        } else {
            return false;
        }
    }
    return true;
}

// 1234567.8 as "1,234,568".
std::string Grouped(double value) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.0f", value);
    std::string text = digits;
    for (int position = static_cast<int>(text.size()) - 3; position > 0; position -= 3) {
        text.insert(static_cast<std::size_t>(position), ",");
    }
    return text;
}

std::string Duration(double seconds) {
    const double magnitude = seconds < 0 ? -seconds : seconds;
    char text[32];
    if (magnitude >= 1e-3) {
        std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    } else if (magnitude >= 1e-6) {
        std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
    }
    return text;
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

void PrintCase(const MeasuredCase& measured) {
    const double median = bench::Median(measured.secondsPerCall);
    const double best = bench::Best(measured.secondsPerCall);
    std::printf("  %-50s %11s/s median %11s/s best %10s/call\n", measured.name.c_str(),
                Grouped(1 / median).c_str(), Grouped(1 / best).c_str(), Duration(median).c_str());
}

// The best round's time per call of `numerator` over that of `denominator`:
// on a busy machine the best rounds are the ones least disturbed.
double BestRatio(const MeasuredCase& numerator, const MeasuredCase& denominator) {
    return bench::Best(numerator.secondsPerCall) / bench::Best(denominator.secondsPerCall);
}

// The DLL loaded as a host loads it, its class factory, and one object.
class LoadedTalvenor {
  public:
    explicit LoadedTalvenor(const std::string& path) : dll_(path.c_str()) {
        if (!dll_.loaded()) {
            return;
        }
        factory_ = dll_.Factory();
        if (factory_ != nullptr) {
            factory_->CreateInstance(nullptr, test_support::kIidITalvenor,
                                     reinterpret_cast<void**>(&object_));
        }
    }
    ~LoadedTalvenor() {
        if (object_ != nullptr) {
            object_->Release();
        }
        if (factory_ != nullptr) {
            factory_->Release();
        }
    }
    LoadedTalvenor(const LoadedTalvenor&) = delete;
    LoadedTalvenor& operator=(const LoadedTalvenor&) = delete;

    HMODULE module() const { return dll_.module(); }
    IClassFactory* factory() const { return factory_; }
    ITalvenorTable* object() const { return object_; }

  private:
    test_support::TalvenorDll dll_;
    IClassFactory* factory_ = nullptr;
    ITalvenorTable* object_ = nullptr;
};

// getID as a script engine reaches it: Invoke by DISPID with the salt as the
// one argument; the result is the caller's to clear.
HRESULT InvokeGetId(IDispatch* object, DISPPARAMS* parameters, VARIANT* result) {
    EXCEPINFO exception = {};
    UINT argumentError = 0;
    return object->Invoke(kGetIdDispid, IID_NULL, kLocale, kScriptCallFlags, parameters, result,
                          &exception, &argumentError);
}

// Refuses to measure anything that would not measure what it claims: every
// path must give the answer a script would get.
bool CheckTheSubject(ITalvenorTable* object, ITypeInfo* typeInfo, BSTR salt,
                     DISPPARAMS* invokeParameters, const std::string& identifier) {
    if (identifier.size() != kGeneratedIdentifierLength) {
        std::fprintf(stderr,
                     "bench: getID returned \"%s\" (%u characters), not an identifier of two "
                     "generated tokens\n",
                     identifier.c_str(), static_cast<unsigned>(identifier.size()));
        return false;
    }
    OwnedBstr again;
    object->getID(&salt, again.out());
    if (NarrowText(again.get()) != identifier) {
        std::fprintf(stderr, "bench: a second getID gave another identifier\n");
        return false;
    }
    if (!bench::MakeTheCallsOfOneDerivation()) {
        std::fprintf(stderr, "bench: the platform calls alone did not find both stored tokens\n");
        return false;
    }
    LPOLESTR names[] = {const_cast<LPOLESTR>(kGetIdName)};
    DISPID cached = DISPID_UNKNOWN;
    DISPID resolved = DISPID_UNKNOWN;
    if (object->GetIDsOfNames(IID_NULL, names, 1, kLocale, &cached) != S_OK ||
        cached != kGetIdDispid || typeInfo->GetIDsOfNames(names, 1, &resolved) != S_OK ||
        resolved != kGetIdDispid) {
        std::fprintf(stderr, "bench: GetIDsOfNames(\"getID\") did not give DISPID 1 both ways\n");
        return false;
    }
    VARIANT result;
    VariantInit(&result);
    const HRESULT invoked = InvokeGetId(object, invokeParameters, &result);
    const bool sameIdentifier =
        invoked == S_OK && result.vt == VT_BSTR && result.bstrVal != nullptr &&
        std::string(result.bstrVal, result.bstrVal + SysStringLen(result.bstrVal)) == identifier;
    VariantClear(&result);
    if (!sameIdentifier) {
        std::fprintf(stderr, "bench: Invoke of getID (0x%08lX) did not give the identifier\n",
                     static_cast<unsigned long>(invoked));
        return false;
    }
    return true;
}

// What the DLL's lstrlenW import is pointed at to show what that one call
// costs the cached lookup: the same count, without the guard against
// unreadable memory that the platform's lstr functions carry.
int WINAPI CountWideUnits(LPCWSTR text) {
    return text == nullptr ? 0 : static_cast<int>(std::wcslen(text));
}

// The profile of one kind of call: its time and the time inside each timed
// function it reached. What is left once the timed functions are taken out is
// a small fraction of a call, which a single preemption of the process can swamp:
// it is taken call by call and summarised by its median.
struct CallProfile {
    const MeasuredCase* measured = nullptr;
    double wholeSeconds = 0;
    long calls[PlatformCallProfile::kFunctionCount] = {};
    double seconds[PlatformCallProfile::kFunctionCount] = {};  // the timer's cost taken out
    std::vector<double> besidesVolumeAndRegistry;              // per call
    std::vector<double> untimed;  // per call: outside every timed function

    // Runs one call and adds what it took.
    void Add(const PlatformCallProfile& profile, const bench::TimerCost& cost) {
        const PlatformCallProfile::Snapshot before = profile.Current();
        const double start = bench::SecondsNow();
        measured->run(1);
        // The timer around the whole call costs what it costs around one function.
        const double callSeconds = bench::SecondsNow() - start - cost.insideSeconds;
        const PlatformCallProfile::Snapshot after = profile.Current();
        double volumeAndRegistry = 0;
        double timed = 0;
        double timing = 0;
        for (int function = 0; function < PlatformCallProfile::kFunctionCount; ++function) {
            const long functionCalls = after.calls[function] - before.calls[function];
            const double functionSeconds = PlatformCallProfile::TicksToSeconds(
                                               after.ticks[function] - before.ticks[function]) -
                                           functionCalls * cost.insideSeconds;
            calls[function] += functionCalls;
            seconds[function] += functionSeconds;
            timed += functionSeconds;
            volumeAndRegistry +=
                PlatformCallProfile::IsVolumeOrRegistry(function) ? functionSeconds : 0;
            timing += functionCalls * (cost.insideSeconds + cost.outsideSeconds);
        }
        wholeSeconds += callSeconds;
        besidesVolumeAndRegistry.push_back(callSeconds - timing - volumeAndRegistry);
        untimed.push_back(callSeconds - timing - timed);
    }
};

void PrintProfileRow(const char* label, const char* callsPerCall,
                     const std::vector<std::string>& cells) {
    std::printf("  %-28s %6s", label, callsPerCall);
    for (const std::string& cell : cells) {
        std::printf(" %14s", cell.c_str());
    }
    std::printf("\n");
}

// Profiles getID and the platform calls alone in turns, one call of each at a
// time, so that a change of the machine's load touches both alike.
void PrintProfile(HMODULE dll, const MeasuredCase& direct, const MeasuredCase& platformAlone) {
    const bench::TimerCost cost = PlatformCallProfile::MeasureTimerCost();
    const long calls = direct.callsPerSlice * kProfiledSlices;
    CallProfile profiles[2];
    profiles[0].measured = &direct;
    profiles[1].measured = &platformAlone;
    // Reserved before the imports are redirected: this program's own imports are
    // redirected too, for the platform calls alone.
    for (CallProfile& profile : profiles) {
        profile.besidesVolumeAndRegistry.reserve(static_cast<std::size_t>(calls));
        profile.untimed.reserve(static_cast<std::size_t>(calls));
    }
    {
        PlatformCallProfile timedImports(dll, GetModuleHandleA(nullptr));
        for (long call = 0; call < calls; ++call) {
            for (CallProfile& profile : profiles) {
                profile.Add(timedImports, cost);
            }
        }
    }

    std::printf(
        "\nWhere the time of one call goes (%ld calls of each, in turns; the functions below"
        " timed one by one, the timer's own %s per timed call taken out; mean time per"
        " call)\n",
        calls, Duration(cost.insideSeconds + cost.outsideSeconds).c_str());
    PrintProfileRow("", "calls", {"getID direct", "alone"});
    for (int function = 0; function < PlatformCallProfile::kFunctionCount; ++function) {
        if (profiles[0].calls[function] == 0) {
            continue;
        }
        char callsPerCall[16];
        std::snprintf(callsPerCall, sizeof callsPerCall, "%.2f",
                      static_cast<double>(profiles[0].calls[function]) / calls);
        std::vector<std::string> cells;
        for (const CallProfile& profile : profiles) {
            // The timer's cost varies a little: a function cheaper than that
            // variation shows as taking no time rather than less.
            cells.push_back(profile.calls[function] == 0
                                ? "-"
                                : Duration(std::max(0.0, profile.seconds[function] / calls)));
        }
        PrintProfileRow(PlatformCallProfile::FunctionName(function), callsPerCall, cells);
    }
    std::vector<std::string> untimed;
    std::vector<std::string> whole;
    for (const CallProfile& profile : profiles) {
        untimed.push_back(Duration(bench::Median(profile.untimed)));
        whole.push_back(Duration(profile.wholeSeconds / calls));
    }
    PrintProfileRow("everything else (median)", "", untimed);
    PrintProfileRow("whole call", "", whole);

    double platformSeconds = 0;
    for (int function = 0; function < PlatformCallProfile::kFunctionCount; ++function) {
        if (PlatformCallProfile::IsVolumeOrRegistry(function)) {
            platformSeconds += profiles[0].seconds[function] / calls;
        }
    }
    const double componentSeconds = bench::Median(profiles[0].besidesVolumeAndRegistry);
    std::printf(
        "  -> getID besides its volume and registry calls: %s per call (median), %.2f %% of"
        " those calls' %s\n",
        Duration(componentSeconds).c_str(), 100 * componentSeconds / platformSeconds,
        Duration(platformSeconds).c_str());
}

void PrintAllocations(const char* what, long calls, const bench::DllAllocationCounter& counter) {
    std::printf("  %-50s %7ld in %6ld calls (%.2f per call)", what, counter.total(), calls,
                static_cast<double>(counter.total()) / calls);
    const char* separator = ": ";
    for (const auto& count : counter.counts()) {
        if (count.calls != 0) {
            std::printf("%s%s %ld", separator, count.function, count.calls);
            separator = ", ";
        }
    }
    std::printf("\n");
}

// What the DLL's clock import is pointed at to show what reading the clock
// costs a derivation: the seed it gives only matters when a token is generated.
__time64_t FixedTime(__time64_t* out) {
    constexpr __time64_t kSomeSecond = 1700000000;
    if (out != nullptr) {
        *out = kSomeSecond;
    }
    return kSomeSecond;
}

// getID and its Invoke with the DLL's volume and registry calls answered from
// memory: what is left is the component's own work, which the platform's
// variation hides in the real calls. Compared with the platform calls alone.
void MeasureOwnWork(HMODULE dll, ITalvenorTable* object, BSTR salt, DISPPARAMS* invokeParameters,
                    const MeasuredCase& platformAlone, const std::string& identifier,
                    const bench::MeasurementSettings& settings) {
    bench::PlatformStandIn standIn(dll);
    OwnedBstr answer;
    standIn.Install();
    object->getID(&salt, answer.out());
    standIn.Restore();
    if (!standIn.ready() || NarrowText(answer.get()) != identifier) {
        std::printf(
            "\n(the platform stand-in could not reproduce the identifier: own work not"
            " measured)\n");
        return;
    }
    MeasuredCase direct("getID, direct call", [&](long count) {
        standIn.Install();
        for (long call = 0; call < count; ++call) {
            BSTR result = nullptr;
            object->getID(&salt, &result);
            SysFreeString(result);
        }
        standIn.Restore();
    });
    MeasuredCase invoked("IDispatch::Invoke of getID", [&](long count) {
        standIn.Install();
        for (long call = 0; call < count; ++call) {
            VARIANT result;
            VariantInit(&result);
            InvokeGetId(object, invokeParameters, &result);
            VariantClear(&result);
        }
        standIn.Restore();
    });
    test_support::ImportRedirect fixedClock(
        dll, test_support::FindExport("msvcrt.dll", "_time64"),
        reinterpret_cast<void*>(static_cast<decltype(&_time64)>(&FixedTime)));
    MeasuredCase withoutClock("getID, direct call, the clock answered from memory too",
                              [&](long count) {
                                  standIn.Install();
                                  fixedClock.Install();
                                  for (long call = 0; call < count; ++call) {
                                      BSTR result = nullptr;
                                      object->getID(&salt, &result);
                                      SysFreeString(result);
                                  }
                                  fixedClock.Restore();
                                  standIn.Restore();
                              });
    volatile __time64_t timeSink = 0;
    MeasuredCase clock("for comparison: _time64(nullptr) alone", [&](long count) {
        __time64_t now = 0;
        for (long call = 0; call < count; ++call) {
            now = _time64(nullptr);
        }
        timeSink = now;
    });
    std::printf("\nThe component's own work (volume and registry calls answered from memory)\n");
    // A build whose clock import is another function measures no clockless case.
    std::vector<MeasuredCase*> cases = {&direct, &invoked, &clock};
    if (fixedClock.found()) {
        cases.insert(cases.begin() + 2, &withoutClock);
    }
    bench::MeasureInTurns(cases, settings);
    for (const MeasuredCase* measured : cases) {
        PrintCase(*measured);
    }
    const double ownSeconds = bench::Median(direct.secondsPerCall);
    std::printf("  -> %s of own work per getID: %.2f %% of the platform calls alone (%s)\n",
                Duration(ownSeconds).c_str(),
                100 * ownSeconds / bench::Median(platformAlone.secondsPerCall),
                Duration(bench::Median(platformAlone.secondsPerCall)).c_str());
    if (fixedClock.found()) {
        std::printf("  -> reading the clock takes %s of it\n",
                    Duration(ownSeconds - bench::Median(withoutClock.secondsPerCall)).c_str());
    }
    std::printf("  -> Invoke adds %s per getID call\n",
                Duration(bench::Median(invoked.secondsPerCall) - ownSeconds).c_str());
}

int Run(const Options& options) {
    test_support::ComApartment apartment;
    LoadedTalvenor talvenor(options.dllPath);
    if (talvenor.object() == nullptr) {
        std::fprintf(stderr, "bench: could not load %s and create a Talvenor object\n",
                     options.dllPath.c_str());
        return 1;
    }
    ITalvenorTable* object = talvenor.object();
    ITypeInfo* typeInfo = nullptr;
    const HRESULT loaded = object->GetTypeInfo(0, kLocale, &typeInfo);
    if (FAILED(loaded) || typeInfo == nullptr) {
        std::fprintf(stderr,
                     "bench: no type information (0x%08lX): the DLL must be registered "
                     "(scripts/bench.sh does it)\n",
                     static_cast<unsigned long>(loaded));
        return 1;
    }

    OwnedBstr saltHolder(kSalt);
    BSTR salt = saltHolder.get();
    // The first derivation in a fresh prefix stores both tokens; every measured
    // one finds them.
    OwnedBstr firstIdentifier;
    object->getID(&salt, firstIdentifier.out());
    VARIANT saltArgument;
    saltArgument.vt = VT_BSTR;
    saltArgument.bstrVal = salt;
    DISPPARAMS invokeParameters = {&saltArgument, nullptr, 1, 0};
    if (!CheckTheSubject(object, typeInfo, salt, &invokeParameters,
                         NarrowText(firstIdentifier.get()))) {
        typeInfo->Release();
        return 1;
    }

    std::printf("ieTalvenor benchmark: %s\n", options.dllPath.c_str());
    std::printf("%d-bit process; getID(\"abc\") = %s\n", static_cast<int>(8 * sizeof(void*)),
                NarrowText(firstIdentifier.get()).c_str());
    std::printf(
        "%d rounds of %d slices of about %.0f ms per case, the cases taking turns; a round's"
        " figure is its fastest slice; median and best of the rounds\n",
        options.measurement.rounds, options.measurement.slicesPerRound,
        options.measurement.secondsPerSlice * 1000);

    MeasuredCase direct("getID through ITalvenor (direct call)", [&](long count) {
        for (long call = 0; call < count; ++call) {
            BSTR identifier = nullptr;
            object->getID(&salt, &identifier);
            SysFreeString(identifier);
        }
    });
    MeasuredCase platformAlone("the platform calls of one derivation alone", [](long count) {
        for (long call = 0; call < count; ++call) {
            bench::MakeTheCallsOfOneDerivation();
        }
    });
    MeasuredCase invoked("IDispatch::Invoke of getID", [&](long count) {
        for (long call = 0; call < count; ++call) {
            VARIANT result;
            VariantInit(&result);
            InvokeGetId(object, &invokeParameters, &result);
            VariantClear(&result);
        }
    });
    std::printf("\nDerivation (salt \"abc\", both tokens stored)\n");
    bench::MeasureInTurns({&direct, &platformAlone, &invoked}, options.measurement);
    PrintCase(direct);
    PrintCase(platformAlone);
    PrintCase(invoked);
    const double overhead = bench::MedianRatioPerRound(direct, platformAlone) - 1;
    std::printf(
        "  -> getID against its platform calls alone: %+.1f %% time per call, best against"
        " best %+.1f %% (target: within %.0f %%: %s)\n",
        100 * overhead, 100 * (BestRatio(direct, platformAlone) - 1), 100 * kOverheadTarget,
        Verdict(overhead <= kOverheadTarget));
    std::printf("  -> Invoke of getID against the direct call: %+.1f %% time per call\n",
                100 * (bench::MedianRatioPerRound(invoked, direct) - 1));

    MeasureOwnWork(talvenor.module(), object, salt, &invokeParameters, platformAlone,
                   NarrowText(firstIdentifier.get()), options.measurement);

    LPOLESTR names[] = {const_cast<LPOLESTR>(kGetIdName)};
    volatile DISPID dispidSink = DISPID_UNKNOWN;
    volatile int lengthSink = 0;
    MeasuredCase cachedLookup("GetIDsOfNames(\"getID\") answered from the DLL's cache",
                              [&](long count) {
                                  DISPID dispid = DISPID_UNKNOWN;
                                  for (long call = 0; call < count; ++call) {
                                      object->GetIDsOfNames(IID_NULL, names, 1, kLocale, &dispid);
                                  }
                                  dispidSink = dispid;
                              });
    MeasuredCase typeInfoLookup("ITypeInfo::GetIDsOfNames(\"getID\")", [&](long count) {
        DISPID dispid = DISPID_UNKNOWN;
        for (long call = 0; call < count; ++call) {
            typeInfo->GetIDsOfNames(names, 1, &dispid);
        }
        dispidSink = dispid;
    });
    MeasuredCase lengthAlone("for comparison: lstrlenW(\"getID\") alone", [&](long count) {
        int length = 0;
        for (long call = 0; call < count; ++call) {
            length = lstrlenW(names[0]);
        }
        lengthSink = length;
    });
    MeasuredCase cachedPlainLength(
        "for comparison: the cache, lstrlenW made a plain count", [&](long count) {
            test_support::ImportRedirect plainLength(
                talvenor.module(), test_support::FindExport("kernel32.dll", "lstrlenW"),
                reinterpret_cast<void*>(static_cast<decltype(&lstrlenW)>(&CountWideUnits)));
            plainLength.Install();
            DISPID dispid = DISPID_UNKNOWN;
            for (long call = 0; call < count; ++call) {
                object->GetIDsOfNames(IID_NULL, names, 1, kLocale, &dispid);
            }
            dispidSink = dispid;
        });
    std::printf("\nName lookup\n");
    bench::MeasureInTurns({&cachedLookup, &typeInfoLookup, &lengthAlone, &cachedPlainLength},
                          options.measurement);
    PrintCase(cachedLookup);
    PrintCase(typeInfoLookup);
    PrintCase(lengthAlone);
    PrintCase(cachedPlainLength);
    const double lookupSpeedup = bench::MedianRatioPerRound(typeInfoLookup, cachedLookup);
    std::printf(
        "  -> the cache answers %.1f times faster than the type information, best against"
        " best %.1f (target: at least %.0f times: %s)\n",
        lookupSpeedup, BestRatio(typeInfoLookup, cachedLookup), kLookupSpeedupTarget,
        Verdict(lookupSpeedup >= kLookupSpeedupTarget));
    std::printf(
        "  -> with lstrlenW made a plain count it would answer %.1f times faster, best"
        " against best %.1f\n",
        bench::MedianRatioPerRound(typeInfoLookup, cachedPlainLength),
        BestRatio(typeInfoLookup, cachedPlainLength));

    IClassFactory* factory = talvenor.factory();
    MeasuredCase createAndRelease("IClassFactory::CreateInstance + Release", [&](long count) {
        for (long call = 0; call < count; ++call) {
            IUnknown* created = nullptr;
            factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&created));
            if (created != nullptr) {
                created->Release();
            }
        }
    });
    std::printf("\nObjects\n");
    bench::MeasureInTurns({&createAndRelease}, options.measurement);
    PrintCase(createAndRelease);

    {
        bench::DllAllocationCounter counter(talvenor.module());
        std::printf("\nAllocations made by the DLL (its imports of");
        const char* separator = " ";
        for (const char* function : counter.countedFunctions()) {
            std::printf("%s%s", separator, function);
            separator = ", ";
        }
        std::printf(" counted)\n");
        cachedLookup.run(kCountedLookups);
        PrintAllocations("GetIDsOfNames(\"getID\") from the cache", kCountedLookups, counter);
        counter.Reset();
        direct.run(kCountedCalls);
        PrintAllocations("getID, direct call", kCountedCalls, counter);
        counter.Reset();
        invoked.run(kCountedCalls);
        PrintAllocations("Invoke of getID", kCountedCalls, counter);
        counter.Reset();
        createAndRelease.run(kCountedCalls);
        PrintAllocations("CreateInstance + Release", kCountedCalls, counter);
    }

    PrintProfile(talvenor.module(), direct, platformAlone);
    typeInfo->Release();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: talvenor_bench [--rounds N] [--slices N] [--slice-ms MILLISECONDS]"
                     " [--dll PATH]\n");
        return 2;
    }
    return Run(options);
}
