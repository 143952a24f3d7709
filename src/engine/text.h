// Small text and path helpers of the engine, also used by run control.
#pragma once

#include <cstdint>
#include <string>

// FormatSize, FormatElapsed and the other figures for people.
#include "log/format.h"

namespace twf {

class IFileSystem;

// Kept as a pure text function: the Linux file layer has no path prefixes.
std::string LongPath(const std::string& path);
// True when child equals parent or lies below it ("/data" is not inside "/database").
bool IsPathInside(const std::string& parent, const std::string& child);
// Label and serial of the file system holding path.
bool GetVolumeLabelSerial(IFileSystem& fs, const std::string& path, std::string& label, std::string& serial);
bool GetVolumeLabelSerial(const std::string& path, std::string& label, std::string& serial);

} // namespace twf
