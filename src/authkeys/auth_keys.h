// Auth keys: named HTTP headers for the completion webhook, one subkey of
// AuthKeys each, with the values "Key" (header name) and "Value" (the
// header value, protected by ProtectValue). Tasks refer to them by name only.
//
// No function shows or reports anything: a store that cannot be opened gives
// an empty list, "not found" or no change.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tasks/settings_store.h"
#include "tasks/user_message.h"

namespace twf {

inline constexpr const char* kMsgEnterKeyName = "Please enter a name for this key.";
inline constexpr const char* kMsgKeyNameBackslash = "The name cannot contain \"\\\".";
// Followed by the reason and a full stop.
inline constexpr const char* kMsgCannotProtect = "The key was not saved: its value could not be protected, because ";

// The Value column of the manager's list: every UTF-16 code unit but the
// last four as "*", then those four; up to four units are all "*"; "" stays "".
std::string MaskValue(const std::string& clear);

// The entry names, sorted without regard to letter case.
std::vector<std::string> ListAuthKeyNames(TSettingsStore& store);

// Both outputs start empty. False for an empty name or one that is not
// stored. A value that cannot be unprotected reads as "" and still counts
// as found, so the header is sent with an empty value.
bool ReadAuthKey(TSettingsStore& store, const std::string& name, std::string& headerKey, std::string& value);

// Stores the entry, creating it when absent; a name differing only in letter
// case is the same entry. False when nothing was written (including a name
// that is empty or holds a backslash). A value that cannot be protected is
// not written in clear instead: nothing is written, and protectionFailure
// (when given) receives the message that says why.
bool WriteAuthKey(TSettingsStore& store, const std::string& name, const std::string& headerKey,
                  const std::string& value, std::string* protectionFailure = nullptr);

// Removes the entry; an absent entry is not an error.
void DeleteAuthKey(TSettingsStore& store, const std::string& name);

// "Add / Update" of the manager: the name and the header key are trimmed,
// the value is kept as typed. Returns the refusal to show (including a value
// that cannot be protected, or a store that could not take it), or nullopt
// when the entry was written; savedName then holds the trimmed name.
std::optional<TUserMessage> SaveAuthKeyEntry(TSettingsStore& store, const std::string& name,
                                             const std::string& headerKey, const std::string& value,
                                             std::string* savedName = nullptr);

// "Delete <n> selected key(s)?" (Yes and No, No the default).
TUserMessage DeleteKeysQuestion(int count);

} // namespace twf
