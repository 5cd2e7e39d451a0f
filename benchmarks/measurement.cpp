#include "measurement.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace bench {

namespace {

// A slice shorter than this is too coarse to scale from.
constexpr double kShortestCalibrationSeconds = 0.02;
constexpr long kLargestSlice = 1L << 30;

double TimeSlice(const MeasuredCase& measured, long count) {
    const double start = SecondsNow();
    measured.run(count);
    return SecondsNow() - start;
}

// Doubles the count until it lasts long enough to be timed, then scales it to
// the time wanted. The calibration also warms up caches and the platform.
long CalibrateSlice(const MeasuredCase& measured, double secondsPerSlice) {
    long count = 1;
    double seconds = TimeSlice(measured, count);
    while (seconds < kShortestCalibrationSeconds && count < kLargestSlice / 2) {
        count *= 2;
        seconds = TimeSlice(measured, count);
    }
    const double scaled = std::ceil(count * secondsPerSlice / std::max(seconds, 1e-9));
    return static_cast<long>(std::clamp(scaled, 1.0, static_cast<double>(kLargestSlice)));
}

}  // namespace

double SecondsNow() {
    static const double frequency = [] {
        LARGE_INTEGER ticksPerSecond;
        QueryPerformanceFrequency(&ticksPerSecond);
        return static_cast<double>(ticksPerSecond.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

void MeasureInTurns(const std::vector<MeasuredCase*>& cases, const MeasurementSettings& settings) {
    for (MeasuredCase* measured : cases) {
        measured->callsPerSlice = CalibrateSlice(*measured, settings.secondsPerSlice);
        measured->secondsPerCall.clear();
    }
    std::vector<double> fastest(cases.size());
    for (int round = 0; round < settings.rounds; ++round) {
        std::fill(fastest.begin(), fastest.end(), std::numeric_limits<double>::infinity());
        for (int slice = 0; slice < settings.slicesPerRound; ++slice) {
            for (std::size_t index = 0; index < cases.size(); ++index) {
                const MeasuredCase& measured = *cases[index];
                const double seconds = TimeSlice(measured, measured.callsPerSlice);
                fastest[index] = std::min(fastest[index], seconds / measured.callsPerSlice);
            }
        }
        for (std::size_t index = 0; index < cases.size(); ++index) {
            cases[index]->secondsPerCall.push_back(fastest[index]);
        }
    }
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Best(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double MedianRatioPerRound(const MeasuredCase& numerator, const MeasuredCase& denominator) {
    std::vector<double> ratios;
    const std::size_t rounds =
        std::min(numerator.secondsPerCall.size(), denominator.secondsPerCall.size());
    for (std::size_t round = 0; round < rounds; ++round) {
        ratios.push_back(numerator.secondsPerCall[round] / denominator.secondsPerCall[round]);
    }
    return Median(ratios);
}

}  // namespace bench
