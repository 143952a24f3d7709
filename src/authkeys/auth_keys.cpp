#include "authkeys/auth_keys.h"

#include <algorithm>

#include "authkeys/data_protection.h"
#include "tasks/task_settings.h"
#include "log/utf8.h"

namespace twf {

namespace {

bool ValidEntryName(const std::string& name) { return !name.empty() && name.find('\\') == std::string::npos; }

std::string EntryPath(const std::string& name) { return std::string(kAuthKeysKey) + "\\" + name; }

// Characters up to and including the space go at both ends.
std::string TrimName(const std::string& s) {
  size_t first = 0, last = s.size();
  while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
  return s.substr(first, last - first);
}

} // namespace

std::string MaskValue(const std::string& clear) {
  // Characters with the number of UTF-16 units each takes; a byte that is not
  // valid UTF-8 counts as one.
  struct TChar {
    size_t Pos, Len, Units;
  };
  std::vector<TChar> chars;
  size_t units = 0;
  for (size_t i = 0; i < clear.size();) {
    char32_t cp = 0;
    size_t len = Utf8SequenceLength(clear, i, &cp);
    const size_t u = len != 0 && cp >= 0x10000 ? 2 : 1;
    if (len == 0) len = 1;
    chars.push_back({i, len, u});
    units += u;
    i += len;
  }
  const size_t shown = units > 4 ? 4 : 0;
  std::string out;
  size_t unit = 0;
  for (const TChar& c : chars) {
    // A character is shown only when all of its units lie in the last four;
    // one split by the boundary stays hidden.
    if (shown != 0 && unit >= units - shown) out.append(clear, c.Pos, c.Len);
    else out.append(c.Units, '*');
    unit += c.Units;
  }
  return out;
}

std::vector<std::string> ListAuthKeyNames(TSettingsStore& store) {
  std::vector<std::string> names;
  if (auto keys = store.OpenKeyReadOnly(kAuthKeysKey)) names = keys->SubKeyNames();
  std::sort(names.begin(), names.end(), KeyNameLess);
  return names;
}

bool ReadAuthKey(TSettingsStore& store, const std::string& name, std::string& headerKey, std::string& value) {
  headerKey.clear();
  value.clear();
  if (!ValidEntryName(name)) return false;
  const std::optional<TSettingsKey> entry = store.OpenKeyReadOnly(EntryPath(name));
  if (!entry) return false;
  entry->ReadString("Key", headerKey);
  std::string stored;
  if (entry->ReadString("Value", stored)) value = UnprotectValue(stored, ProtectionKeyPath(store.FilePath()));
  return true;
}

bool WriteAuthKey(TSettingsStore& store, const std::string& name, const std::string& headerKey,
                  const std::string& value, std::string* protectionFailure) {
  if (!ValidEntryName(name)) return false;
  // Seal before the transaction: creating the key file must not hold the store's lock.
  std::string whyNot;
  const std::optional<std::string> stored = ProtectValue(value, ProtectionKeyPath(store.FilePath()), &whyNot);
  if (!stored) {
    if (protectionFailure) *protectionFailure = kMsgCannotProtect + whyNot + ".";
    return false;
  }
  return store.Transact([&] {
    std::optional<TSettingsKey> entry = store.OpenKey(EntryPath(name));
    return entry && entry->WriteString("Key", headerKey) && entry->WriteString("Value", *stored);
  });
}

void DeleteAuthKey(TSettingsStore& store, const std::string& name) {
  if (ValidEntryName(name)) store.DeleteKey(EntryPath(name));
}

std::optional<TUserMessage> SaveAuthKeyEntry(TSettingsStore& store, const std::string& name,
                                             const std::string& headerKey, const std::string& value,
                                             std::string* savedName) {
  const std::string trimmed = TrimName(name);
  if (trimmed.empty()) return TUserMessage{TMessageKind::mkError, kMsgEnterKeyName};
  if (trimmed.find('\\') != std::string::npos) return TUserMessage{TMessageKind::mkError, kMsgKeyNameBackslash};
  std::string protectionFailure;
  if (!WriteAuthKey(store, trimmed, TrimName(headerKey), value, &protectionFailure))
    return TUserMessage{TMessageKind::mkError,
                        !protectionFailure.empty() ? protectionFailure
                                                   : "The key was not saved: the settings store could not take it."};
  if (savedName) *savedName = trimmed;
  return std::nullopt;
}

TUserMessage DeleteKeysQuestion(int count) {
  return {TMessageKind::mkConfirmation, "Delete " + std::to_string(count) + " selected key(s)?", false};
}

} // namespace twf
