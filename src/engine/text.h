// Small text and path helpers of the engine, also used by run control.
#pragma once

#include <cstdint>
#include <string>

namespace twf {

class IFileSystem;

// Kept as a pure text function: the Linux file layer has no path prefixes.
std::string LongPath(const std::string& path);
// "512 B", "1.50 KB" ... "2048.00 TB"; the unit is chosen before rounding.
std::string FormatSize(int64_t bytes);
// "hh:mm:ss.zzz", hours not wrapped at 24.
std::string FormatElapsed(int64_t milliseconds);
std::string StripTrailingDot(const std::string& text);
// True when child equals parent or lies below it ("/data" is not inside "/database").
bool IsPathInside(const std::string& parent, const std::string& child);
// Label and serial of the file system holding path.
bool GetVolumeLabelSerial(IFileSystem& fs, const std::string& path, std::string& label, std::string& serial);
bool GetVolumeLabelSerial(const std::string& path, std::string& label, std::string& serial);
// "Label (XXXX-XXXX)", or the serial alone.
std::string VolumeText(const std::string& label, const std::string& serial);
// Rounds to the nearest integer, halves to the even neighbour.
int64_t RoundHalfEven(double value);

} // namespace twf
