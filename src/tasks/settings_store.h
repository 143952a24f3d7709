// The per-user settings store: a tree of keys holding named values, kept in
// one SQLite database (layout and schema in docs/settings-store.md).
//
// Key paths are relative to the store's root and separate their parts with
// one backslash ("Tasks\Nightly"); "" is the root itself. A part is never
// empty, so a task name can hold any character except the backslash.
// Key and value names compare with Unicode case folding (FoldKeyName):
// "Backup" and "BACKUP" are one key; the spelling of the first writer stays.
//
// Every write is its own transaction unless it runs inside Transact().
// Several processes may use the store at once: writers wait for each other
// (up to kStoreBusyWaitMs in all) instead of failing. Failures are reported by
// return values only; nothing here throws or shows anything.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace twf {

enum class TValueType { vtNone, vtString, vtInteger, vtOther };

// Unicode case folding of a key or value name. Bytes that are not valid
// UTF-8 stand for themselves.
std::string FoldKeyName(std::string_view name);
bool SameKeyName(std::string_view a, std::string_view b);
// Orders names without regard to letter case, by the user's collation (ties
// by their bytes): the order in which task and auth key lists are shown.
bool KeyNameLess(const std::string& a, const std::string& b);

class TSettingsStore;

// How long opening the store, or one transaction, waits in all for another
// process that holds the store's write lock. Our own transactions last
// milliseconds: reaching it means the other side hangs.
inline constexpr int kStoreBusyWaitMs = 15000;

// An open key. Valid only while its store lives. If the key is deleted
// (by this or another process) while open, reads find nothing and writes fail.
class TSettingsKey {
public:
  const std::string& Path() const { return FPath; }
  bool IsReadOnly() const { return FReadOnly; }

  bool ValueExists(const std::string& name) const;
  TValueType GetValueType(const std::string& name) const; // vtNone when absent
  // False when the value is absent or holds another type; out is then untouched.
  bool ReadString(const std::string& name, std::string& out) const;
  bool ReadInteger(const std::string& name, int32_t& out) const;
  // Writing replaces a value of the same name whatever its type; a replaced
  // value keeps its place in the creation order.
  bool WriteString(const std::string& name, const std::string& value);
  bool WriteInteger(const std::string& name, int32_t value);
  // A value of the "other" type (raw bytes). Readers of task settings skip it.
  bool WriteBinary(const std::string& name, const std::string& bytes);
  bool DeleteValue(const std::string& name);

  // Value names in the order the values were created.
  std::vector<std::string> ValueNames() const;
  std::vector<std::string> SubKeyNames() const;

private:
  friend class TSettingsStore;
  TSettingsKey(TSettingsStore* store, int64_t id, std::string path, bool readOnly)
      : FStore(store), FId(id), FPath(std::move(path)), FReadOnly(readOnly) {}
  bool WriteValue(const std::string& name, int type, const std::string* text, int64_t number);

  TSettingsStore* FStore;
  int64_t FId;
  std::string FPath;
  bool FReadOnly;
};

// How the per-user configuration folder (the store's, and the key's beside
// it) is found. Nothing here has a default: whoever opens the store says
// where, so the program's rule is written once, at its entry.
enum class TConfigHome {
  // $XDG_CONFIG_HOME, else ~/.config, from the environment; as root the home
  // folder comes from the account database and the environment is ignored:
  // sudo and su can hand a user's HOME down, and a store or key in a folder
  // that user controls would steer root's runs. The program's rule.
  chRootFromAccount,
  // The environment for every user, root too: for a process whose
  // environment is entirely its own (a test in its temporary home).
  chEnvironment,
};

class TSettingsStore {
public:
  // "<config>/Zentorvi/Quarlex Twinfold", read from the environment at every call.
  static std::string ConfigFolder(TConfigHome home);
  // ConfigFolder(home) + "/settings.db".
  static std::string DefaultPath(TConfigHome home);

  // Opens or creates the database, creating its folder (mode 0700) and file
  // (mode 0600). A file that is not a readable settings database is renamed
  // to "<name>.damaged-<time>" and a fresh one is started, so the program
  // always gets a store; SetAsidePath() then names the renamed file.
  // As root, a file or folder that another user owns or can write is not
  // used at all: the store stays closed and Refusal() says why.
  // busyWaitMs bounds every wait for another process (tests shorten it).
  explicit TSettingsStore(std::string dbPath, int busyWaitMs = kStoreBusyWaitMs);
  ~TSettingsStore();
  TSettingsStore(const TSettingsStore&) = delete;
  TSettingsStore& operator=(const TSettingsStore&) = delete;

  bool IsOpen() const { return FDb != nullptr; }
  const std::string& FilePath() const { return FPath; }
  const std::string& SetAsidePath() const { return FSetAside; }
  const std::string& Refusal() const { return FRefusal; }
  // Not open because another process held the store for the whole wait.
  bool Busy() const { return !FDb && FOpenBusy; }
  // The text a start shows when Busy().
  std::string BusyMessage() const;

  // Opens the key for writing, creating it and its missing parents.
  std::optional<TSettingsKey> OpenKey(const std::string& path);
  // Opens an existing key; nullopt when it does not exist.
  std::optional<TSettingsKey> OpenKeyReadOnly(const std::string& path);
  bool KeyExists(const std::string& path);
  // Deletes the key with everything below it. False when it did not exist
  // (or is the root, which cannot be deleted).
  bool DeleteKey(const std::string& path);
  // Copies the key with its values and subkeys (creation order kept) to
  // newName under the same parent; with deleteSource the source goes away
  // (a move). Nothing happens, and the result is false, when the source does
  // not exist or a key of the new name (letter case ignored) exists.
  bool CopyKey(const std::string& path, const std::string& newName, bool deleteSource);

  // Runs body as one write transaction: every write inside lands together or
  // not at all (body returning false rolls back). Other writers wait; reads
  // inside see the transaction's own writes. Nested calls join the outer one.
  bool Transact(const std::function<bool()>& body);

private:
  friend class TSettingsKey;
  bool OpenDatabase(bool& damaged);
  void CloseDatabase();
  bool SetAsideDamaged();
  std::optional<int64_t> FindKey(const std::string& path, bool create);
  bool ExecSql(const char* sql);

  std::string FPath;
  std::string FSetAside;
  std::string FRefusal;
  sqlite3* FDb = nullptr;
  int FDepth = 0; // nesting of Transact
  bool FOpenBusy = false; // the last open failed only because another process held the file
  int FBusyWaitMs = kStoreBusyWaitMs;
  int64_t FDeadline = 0; // while the constructor runs: the end of the start's wait
  mutable std::recursive_mutex FLock;
};

} // namespace twf
