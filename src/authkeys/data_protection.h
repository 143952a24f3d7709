// Per-user protection of secret values (auth key header values).
//
// A value is sealed with libsodium's secretbox under a random 32-byte key
// kept in the user's config folder (ProtectionKeyPath, mode 0600, folder
// 0700, created on first use, used only while it belongs to the user). The stored form is "dpapi:" + one-line
// Base64 of the blob, the same envelope the Windows build writes, so stored
// strings keep one shape. A blob sealed under another key does not open.
//
// Neither function logs or reports anything; a clear value never appears in
// an error text.
#pragma once

#include <optional>
#include <string>

namespace twf {

inline constexpr const char* kProtectedPrefix = "dpapi:";

// TSettingsStore::ConfigFolder() + "/data-protection.key", read from the
// environment at every call.
std::string ProtectionKeyPath();

// "" for an empty value; "dpapi:" + Base64 of the sealed value; nullopt when
// it cannot be sealed (the key file cannot be read or made, or belongs to
// another user), with the reason in whyNot. A secret is never stored clear.
std::optional<std::string> ProtectValue(const std::string& clear, std::string* whyNot = nullptr);

// A stored string without the exact prefix "dpapi:" is the clear value
// itself. Otherwise the sealed value, or "" when the Base64 is invalid, the
// blob is damaged or sealed under another user's key.
std::string UnprotectValue(const std::string& stored);

} // namespace twf
