// XXH3 digests of whole files, for verifying copies.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/types.h"

namespace twf {

class IFileSystem;

// Hex digest of the file's content: 16 lower-case digits for vhXXH3_64 (and
// anything but vhXXH3_128), 32 for vhXXH3_128 (high half first). Reads in
// 8 MiB blocks; empty text when cancel became true while reading. A read
// error part-way ends the reading as if the file ended there. fromDevice:
// drop the file's cached pages first so what is read is what the device
// holds. Throws std::runtime_error "Cannot open file \"<path>\". <reason>"
// when the file cannot be opened.
std::string HashFile(IFileSystem& fs, const std::string& path, TVerifyHash width,
                     const std::atomic<bool>& cancel, bool fromDevice = false);

// The same for a file already open through fs (read from where it stands
// to its end; the descriptor stays open).
std::string HashOpened(IFileSystem& fs, int fd, TVerifyHash width, const std::atomic<bool>& cancel);

// Digest text of a buffer (same widths), for tests and tools.
std::string HashBytes(std::string_view data, TVerifyHash width);

} // namespace twf
