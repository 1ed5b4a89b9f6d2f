#pragma once
// The measurements ktr6-bench makes; each prints its markdown section.

#include <QtGlobal>

#include <array>

namespace bench {

class OnlineRig;

// The relay's parameter set for the benchmarks, IN 1..IN 6 as {sign,
// numerator, divisor}: amounts whose totals the display shows exactly, so
// every box tells how many records it has counted.
inline constexpr std::array<std::array<int, 3>, 6> kBenchRows = {{
    {1, 1, 1}, // +1
    {0, 1, 2}, // -0.5
    {1, 1, 4}, // +0.25
    {1, 3, 4}, // +0.75
    {1, 5, 2}, // +2.5
    {0, 2, 1}, // -2
}};
inline constexpr int kBenchOutput = 5;
inline constexpr int kBaud9600 = 9600;
inline constexpr int kBaudMax = 32767; // the settings file keeps the rate in 16 bits

// Starts rig with the benchmark parameter set at 9600 Bd, or ends the program.
void startBenchRig(OnlineRig& rig);

// Records through the current handler and the first design: full speed and line rates.
void benchOnline(qint64 records, double seconds);
// Parameter read and write against their fixed pauses.
void benchParams(int repeats);
// The main window built in this process.
void benchStartup(int repeats);
// Prints where the "Status" menu entry's centre lies in the main window, "x y".
void printMenuPosition();

} // namespace bench
