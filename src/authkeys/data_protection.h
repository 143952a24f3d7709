// Per-user protection of secret values (auth key header values).
//
// A value is sealed with libsodium's secretbox under a random 32-byte key
// kept in the user's config folder (ProtectionKeyPath, mode 0600, folder
// 0700, created on first use). The stored form is "dpapi:" + one-line
// Base64 of the blob, the same envelope the Windows build writes, so stored
// strings keep one shape. A blob sealed under another key does not open.
//
// Neither function logs or reports anything; a clear value never appears in
// an error text.
#pragma once

#include <string>

namespace twf {

inline constexpr const char* kProtectedPrefix = "dpapi:";

// TSettingsStore::ConfigFolder() + "/data-protection.key", read from the
// environment at every call.
std::string ProtectionKeyPath();

// "" for an empty value; "dpapi:" + Base64 of the sealed value; the clear
// value itself when it cannot be sealed (no key can be created or read),
// so the webhook keeps working.
std::string ProtectValue(const std::string& clear);

// A stored string without the exact prefix "dpapi:" is the clear value
// itself. Otherwise the sealed value, or "" when the Base64 is invalid, the
// blob is damaged or sealed under another user's key.
std::string UnprotectValue(const std::string& stored);

} // namespace twf
