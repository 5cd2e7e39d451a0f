// The baseline beside the browser's figures: getID called on the registered
// control in one process, the way a script engine calls it (by name through
// IDispatch), each call timed on its own. Prints, as "name=value" lines for
// scripts/bench-browser.sh: the time from this program's start to its first
// identifier (the component runtime finding and loading the DLL, creating the
// object and the first call), then the median and the 95th percentile of the
// following calls, in microseconds.
//
// Usage: bare_getid CALLS SALT
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "measurement.h"
#include "talvenor_client.h"

namespace {

double MicrosecondsSince(double startSeconds) {
    return 1e6 * (bench::SecondsNow() - startSeconds);
}

// The value below which `share` of the sorted times lie.
double Percentile(const std::vector<double>& sorted, double share) {
    const std::size_t index = static_cast<std::size_t>(share * static_cast<double>(sorted.size()));
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const double programStart = bench::SecondsNow();
    if (argc != 3 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: bare_getid CALLS SALT\n");
        return 2;
    }
    const int calls = std::atoi(argv[1]);
    const std::string narrowSalt = argv[2];
    const std::wstring salt(narrowSalt.begin(), narrowSalt.end());

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CLSID classId;
    IDispatch* control = nullptr;
    if (FAILED(CLSIDFromProgID(L"IeTalvenor.Talvenor", &classId)) ||
        FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&control)))) {
        std::fprintf(stderr, "bare_getid: the control is not registered\n");
        return 1;
    }
    const std::string identifier = test_support::IdentifierByName(control, salt);
    const double firstMicroseconds = MicrosecondsSince(programStart);

    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(calls));
    for (int call = 0; call < calls; ++call) {
        const double start = bench::SecondsNow();
        test_support::IdentifierByName(control, salt);
        times.push_back(MicrosecondsSince(start));
    }
    control->Release();
    CoUninitialize();

    std::sort(times.begin(), times.end());
    std::printf("identifier=%s\n", identifier.c_str());
    std::printf("first_us=%.0f\n", firstMicroseconds);
    std::printf("median_us=%.1f\n", Percentile(times, 0.5));
    std::printf("p95_us=%.1f\n", Percentile(times, 0.95));
    return 0;
}
