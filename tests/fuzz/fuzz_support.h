// Shared by the fuzz harnesses: a private home for everything a harness
// writes, and independent checkers for what the encoders promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace twf::fuzz {

// A fresh folder under /tmp that HOME, the XDG folders and TMPDIR point at
// from the first call on, so no harness can reach the user's real settings
// store or key. Removed when the process exits normally.
const std::string& PrivateHome();

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view s);

// One JSON value (RFC 8259) spanning all of text. When the value is a string
// and decoded is given, it receives the string's UTF-8 (a lone surrogate
// escape makes the text invalid).
bool IsJsonValue(std::string_view text, std::string* decoded = nullptr);

// abort()s with the message: libFuzzer records the input as a crash.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

} // namespace twf::fuzz
