// Figures written for people: sizes, durations, volume names. Shared by the
// run log, run control and the window.
#pragma once

#include <cstdint>
#include <string>

namespace twf {

// "512 B", "1.50 KB" ... "2048.00 TB"; the unit is chosen before rounding.
std::string FormatSize(int64_t bytes);
// "hh:mm:ss.zzz", hours not wrapped at 24.
std::string FormatElapsed(int64_t milliseconds);
std::string StripTrailingDot(const std::string& text);
// "Label (XXXX-XXXX)", or the serial alone.
std::string VolumeText(const std::string& label, const std::string& serial);
// Rounds to the nearest integer, halves to the even neighbour.
int64_t RoundHalfEven(double value);

} // namespace twf
