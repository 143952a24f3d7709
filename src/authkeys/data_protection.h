// Per-user protection of secret values (auth key header values).
//
// A value is sealed with libsodium's secretbox under a random 32-byte key
// kept beside the settings store that holds the value (ProtectionKeyPath,
// mode 0600, folder 0700, created on first use, used only while it belongs
// to the user). The stored form is "dpapi:" + one-line
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

// The key of the store at storePath: "data-protection.key" in its folder
// (the user's config folder, for the program's store).
std::string ProtectionKeyPath(const std::string& storePath);

// "" for an empty value; "dpapi:" + Base64 of the value sealed under the key
// in keyFile; nullopt when it cannot be sealed (the key file cannot be read
// or made, or belongs to another user), with the reason in whyNot. A secret
// is never stored clear.
std::optional<std::string> ProtectValue(const std::string& clear, const std::string& keyFile,
                                        std::string* whyNot = nullptr);

// A stored string without the exact prefix "dpapi:" is the clear value
// itself. Otherwise the value opened with the key in keyFile, or "" when the
// Base64 is invalid, the blob is damaged or sealed under another key.
std::string UnprotectValue(const std::string& stored, const std::string& keyFile);

} // namespace twf
