// Timing with QueryPerformanceCounter. Each measured operation runs in slices
// of calls sized to last a set time; the slices of the operations compared
// with one another take turns, so that a change of the machine's speed during
// the run touches all of them alike. On a machine shared with other work a
// slice is often slowed by being descheduled, never sped up, so each round's
// figure for an operation is its fastest slice; the figures printed are the
// median and the best of the rounds.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// Seconds elapsed since an arbitrary start, from QueryPerformanceCounter.
double SecondsNow();

struct MeasurementSettings {
    int rounds = 21;
    int slicesPerRound = 5;
    double secondsPerSlice = 0.008;
};

// One measured operation: `run(count)` makes `count` calls of it.
struct MeasuredCase {
    MeasuredCase(std::string caseName, std::function<void(long)> calls)
        : name(std::move(caseName)), run(std::move(calls)) {}

    std::string name;
    std::function<void(long)> run;
    long callsPerSlice = 0;              // chosen by calibration
    std::vector<double> secondsPerCall;  // one figure per round: its fastest slice
};

// Calibrates every case's slice, then runs the rounds, the cases taking turns
// slice by slice.
void MeasureInTurns(const std::vector<MeasuredCase*>& cases, const MeasurementSettings& settings);

double Median(std::vector<double> values);
double Best(const std::vector<double>& values);

// The median, over the rounds, of `numerator`'s time per call divided by
// `denominator`'s in the same round.
double MedianRatioPerRound(const MeasuredCase& numerator, const MeasuredCase& denominator);

}  // namespace bench
