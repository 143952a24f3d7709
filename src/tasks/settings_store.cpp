#include "tasks/settings_store.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/task_input.h"

namespace twf {

namespace {

// Value type codes as stored in vals.type; they are the registry's numbers so
// that a script moving values between the two needs no table.
constexpr int kTypeString = 1;
constexpr int kTypeBinary = 3;
constexpr int kTypeInteger = 4;

// Monotonic milliseconds, and what is left of them until a deadline (at least 0).
int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
int LeftMs(int64_t deadline) { return int(std::max<int64_t>(0, deadline - NowMs())); }

// BEGIN IMMEDIATE (or COMMIT) until it succeeds, fails for another reason
// than a busy store, or the deadline passes; SQLite's own busy handler does
// the waiting within each attempt.
int ExecUntil(sqlite3* db, const char* sql, int64_t deadline) {
  for (;;) {
    sqlite3_busy_timeout(db, std::max(1, LeftMs(deadline)));
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK || (rc & 0xff) != SQLITE_BUSY || LeftMs(deadline) == 0) return rc;
  }
}

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys (
  id     INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES keys(id),
  name   TEXT NOT NULL,
  fold   TEXT NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, fold);
CREATE TABLE IF NOT EXISTS vals (
  id     INTEGER PRIMARY KEY AUTOINCREMENT,
  key_id INTEGER NOT NULL REFERENCES keys(id),
  name   TEXT NOT NULL,
  fold   TEXT NOT NULL,
  type   INTEGER NOT NULL,
  data
);
CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key_id, fold);
INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES (1, NULL, '', '');
)sql";

constexpr int64_t kRootId = 1;

// One prepared statement; finalized on scope exit.
class TStmt {
public:
  TStmt(sqlite3* db, const char* sql) {
    if (db) FRc = sqlite3_prepare_v2(db, sql, -1, &FStmt, nullptr);
  }
  ~TStmt() { sqlite3_finalize(FStmt); }
  TStmt(const TStmt&) = delete;
  TStmt& operator=(const TStmt&) = delete;

  bool Ok() const { return FStmt != nullptr; }
  int PrepareCode() const { return FRc; }
  TStmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(FStmt, i, v);
    return *this;
  }
  TStmt& BindText(int i, std::string_view s) {
    // A null pointer would bind SQL NULL instead of an empty text.
    sqlite3_bind_text(FStmt, i, s.data() ? s.data() : "", static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  TStmt& BindBlob(int i, std::string_view s) {
    sqlite3_bind_blob(FStmt, i, s.data() ? s.data() : "", static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return FStmt ? sqlite3_step(FStmt) : SQLITE_ERROR; }
  bool Row() { return Step() == SQLITE_ROW; }
  bool Done() { return Step() == SQLITE_DONE; }
  int64_t Int(int c) { return sqlite3_column_int64(FStmt, c); }
  int Type(int c) { return sqlite3_column_type(FStmt, c); }
  std::string Bytes(int c) {
    const void* p = sqlite3_column_blob(FStmt, c);
    const int n = sqlite3_column_bytes(FStmt, c);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }

private:
  sqlite3_stmt* FStmt = nullptr;
  int FRc = SQLITE_ERROR;
};

bool IsDamageCode(int rc) {
  rc &= 0xff;
  return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

// Splits "A\B\C"; false when a part is empty (the root is the empty path).
bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t pos = path.find('\\', start);
    const std::string part = path.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
    if (part.empty()) return false;
    parts.push_back(part);
    if (pos == std::string::npos) return true;
    start = pos + 1;
  }
}

bool ValidKeyName(const std::string& name) {
  return !name.empty() && name.find('\\') == std::string::npos;
}

bool IgnoresEnvironment(TConfigHome home) { return home == TConfigHome::chRootFromAccount && geteuid() == 0; }

std::string HomeFolder(TConfigHome home) {
  if (!IgnoresEnvironment(home))
    if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return "/";
}

// As root, the store's file and folder must be root's alone: anyone else who
// could write them could plant tasks, auth keys or a database that root
// then trusts. The folders are checked on descriptors, so what is checked is
// what is opened; the files in the last folder, which only root can change,
// by their names. The files are never opened here: closing a descriptor of
// a file drops every lock this process holds on it, and SQLite's locks on
// the database and its shared-memory index are such locks. A second store
// opened while a first one is in use would take the first one's locks
// away, and another process would then find nobody using the store,
// checkpoint it and remove its journal under the first one's writes.
std::string RootOwnershipRefusal(const std::string& file) {
  if (geteuid() != 0) return {};
  auto check = [](const struct stat* st, const std::string& what) -> std::string {
    if (!st || S_ISLNK(st->st_mode)) return {}; // opening it fails later with its own error
    if (st->st_uid != 0)
      return what + " belongs to uid " + std::to_string(st->st_uid) + ", not to root; as root it is not used.";
    if ((st->st_mode & (S_IWGRP | S_IWOTH)) != 0) return what + " can be written by other users; as root it is not used.";
    return {};
  };
  auto statAt = [](int dirFd, const std::string& name, struct stat& st) {
    return dirFd >= 0 && fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? &st : nullptr;
  };
  const size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  std::string refusal = check(dirFd >= 0 && fstat(dirFd, &st) == 0 ? &st : nullptr,
                              "The settings folder \"" + folder + "\"");
  if (refusal.empty()) refusal = check(statAt(dirFd, name, st), "The settings store \"" + file + "\"");
  // SQLite replays a journal it finds beside the file: one that someone else
  // owns or can write would put their tasks and keys into root's store.
  for (const char* suffix : {"-wal", "-journal", "-shm"}) {
    if (!refusal.empty() || dirFd < 0) break;
    refusal = check(statAt(dirFd, name + suffix, st), "The settings store's journal \"" + file + suffix + "\"");
  }
  // SQLite opens the file by its name: a link there, or a folder on the way
  // that someone else can change, would let that name lead to their file.
  if (refusal.empty()) {
    std::string why;
    const int fd = OpenThroughRootFolders(folder, O_RDONLY | O_DIRECTORY, why);
    if (why.empty() && statAt(fd, name, st) && S_ISLNK(st.st_mode)) why = "it is a symbolic link";
    if (fd >= 0) close(fd);
    if (!why.empty()) refusal = "The settings store \"" + file + "\" is reached through a path that is not root's alone (" +
                                why + "); as root it is not used.";
  }
  if (dirFd >= 0) close(dirFd);
  return refusal;
}

// mkdir -p; new folders get the given mode.
void MakeFolders(const std::string& folder, mode_t mode) {
  if (folder.empty()) return;
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos == folder.size() || folder[pos] == '/') {
      const std::string part = folder.substr(0, pos);
      if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return;
    }
  }
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

} // namespace

// ---------------------------------------------------------------- store

std::string TSettingsStore::ConfigFolder(TConfigHome home) {
  std::string base;
  if (const char* x = IgnoresEnvironment(home) ? nullptr : std::getenv("XDG_CONFIG_HOME"); x && *x == '/') base = x;
  else base = HomeFolder(home) + "/.config";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/Zentorvi/Quarlex Twinfold";
}

std::string TSettingsStore::DefaultPath(TConfigHome home) { return ConfigFolder(home) + "/settings.db"; }

TSettingsStore::TSettingsStore(std::string dbPath, int busyWaitMs)
    : FPath(std::move(dbPath)), FBusyWaitMs(std::max(1, busyWaitMs)) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  bool damaged = false;
  // Opening checks and upgrades the file, which another process writing at
  // that moment can hold up past SQLite's own busy wait (a checkpoint, WAL
  // recovery): such an open is tried again rather than reported, within one
  // bound for the whole start.
  FDeadline = NowMs() + FBusyWaitMs;
  for (int attempt = 1;; ++attempt) {
    if (OpenDatabase(damaged)) break;
    if (damaged || !FOpenBusy || LeftMs(FDeadline) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20 * attempt, LeftMs(FDeadline))));
  }
  if (!FDb && damaged) SetAsideDamaged();
  FDeadline = 0;
}

std::string TSettingsStore::BusyMessage() const {
  const int seconds = (FBusyWaitMs + 999) / 1000;
  return "The settings store \"" + FPath + "\" is in use by another program, which has not let go of it for " +
         std::to_string(seconds) + (seconds == 1 ? " second" : " seconds") + ". Try again later.";
}

TSettingsStore::~TSettingsStore() { CloseDatabase(); }

void TSettingsStore::CloseDatabase() {
  if (FDb) sqlite3_close_v2(FDb);
  FDb = nullptr;
}

bool TSettingsStore::ExecSql(const char* sql) {
  return FDb && sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// damaged is set only when the file itself is unusable as our database, never
// for a busy or unreachable one: only a damaged file may be set aside.
bool TSettingsStore::OpenDatabase(bool& damaged) {
  damaged = false;
  CloseDatabase();
  // The folder also holds the data-protection key: never world-readable.
  MakeFolders(ParentFolder(FPath), 0700);
  // Create the file ourselves so it starts private; SQLite gives its side
  // files (-wal, -shm) the same mode. Only a missing file: closing a
  // descriptor of one that this process has open in SQLite would drop its
  // locks (RootOwnershipRefusal).
  if (struct stat st; lstat(FPath.c_str(), &st) != 0 && errno == ENOENT)
    if (int fd = open(FPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600); fd >= 0) close(fd);
  if (!(FRefusal = RootOwnershipRefusal(FPath)).empty()) {
    FOpenBusy = false;
    return false;
  }

  int rc = sqlite3_open_v2(FPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  FOpenBusy = false;
  auto fail = [&](int code) {
    damaged = IsDamageCode(code);
    FOpenBusy = (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
    CloseDatabase();
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  const int64_t deadline = FDeadline ? FDeadline : NowMs() + FBusyWaitMs;
  sqlite3_busy_timeout(FDb, std::max(1, LeftMs(deadline)));
  if ((rc = sqlite3_exec(FDb, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr)) != SQLITE_OK) return fail(rc);
  {
    TStmt check(FDb, "PRAGMA quick_check");
    if (!check.Ok()) return fail(check.PrepareCode());
    rc = check.Step();
    if (rc != SQLITE_ROW) return fail(rc);
    if (check.Bytes(0) != "ok") {
      damaged = true;
      CloseDatabase();
      return false;
    }
  }
  // Tables of our names but other shapes belong to something else: that is
  // decided before anything in the file changes, so it is set aside as found.
  {
    TStmt tables(FDb, "SELECT name FROM sqlite_master WHERE type = 'table' AND name IN ('keys', 'vals')");
    if (!tables.Ok()) return fail(tables.PrepareCode());
    while ((rc = tables.Step()) == SQLITE_ROW) {
      const std::string sql = tables.Bytes(0) == "keys" ? "SELECT id, parent, name, fold FROM keys LIMIT 0"
                                                        : "SELECT id, key_id, name, fold, type, data FROM vals LIMIT 0";
      TStmt probe(FDb, sql.c_str());
      if (!probe.Ok()) return fail((probe.PrepareCode() & 0xff) == SQLITE_ERROR ? SQLITE_NOTADB : probe.PrepareCode());
    }
    if (rc != SQLITE_DONE) return fail(rc);
  }
  // WAL lets a reader (the window) and a writer (a scheduled run recording
  // its history) work at once; the setting is stored in the file.
  if ((rc = sqlite3_exec(FDb, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr)) != SQLITE_OK) return fail(rc);
  if ((rc = ExecUntil(FDb, "BEGIN IMMEDIATE", deadline)) != SQLITE_OK) return fail(rc);
  rc = sqlite3_exec(FDb, kSchema, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    // A database whose tables have other shapes is not ours to use.
    if ((rc & 0xff) == SQLITE_ERROR) rc = SQLITE_NOTADB;
    return fail(rc);
  }
  // Set only where it differs: a store opened as it is writes nothing, so
  // closing it has nothing to bring back to the device. A failure here is
  // the file's or the machine's (a read error), never a sign of damage.
  {
    int64_t current = 0;
    {
      TStmt version(FDb, "PRAGMA user_version");
      const int step = version.Ok() ? version.Step() : version.PrepareCode();
      rc = step == SQLITE_ROW ? SQLITE_OK : step == SQLITE_DONE ? SQLITE_IOERR : step;
      if (rc == SQLITE_OK) current = version.Int(0);
    }
    if (rc == SQLITE_OK && current != 1) rc = sqlite3_exec(FDb, "PRAGMA user_version = 1", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
      if ((rc & 0xff) == SQLITE_ERROR || (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB) rc = SQLITE_IOERR;
      return fail(rc);
    }
  }
  if ((rc = ExecUntil(FDb, "COMMIT", deadline)) != SQLITE_OK) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return fail(rc);
  }
  // Later transactions get a bound of their own (see Transact).
  sqlite3_busy_timeout(FDb, FBusyWaitMs);
  TStmt root(FDb, "SELECT 1 FROM keys WHERE id = 1 AND parent IS NULL");
  if (!root.Ok()) return fail(root.PrepareCode());
  // Only a file that answers and lacks the root key is damaged; a busy one is not.
  rc = root.Step();
  if (rc == SQLITE_DONE) return fail(SQLITE_CORRUPT);
  if (rc != SQLITE_ROW) return fail(rc);
  return true;
}

// Called with a damaged file. Another process may have found the same damage:
// the folder lock makes one of them rename it and the other reuse the fresh file.
bool TSettingsStore::SetAsideDamaged() {
  const int dirFd = open(ParentFolder(FPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) flock(dirFd, LOCK_EX);
  bool damaged = false;
  bool ok = OpenDatabase(damaged);
  if (!ok && damaged) {
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmNow);
    std::string aside = FPath + ".damaged-" + stamp;
    for (int n = 2; PathExists(aside) && n < 1000; ++n) aside = FPath + ".damaged-" + stamp + "-" + std::to_string(n);
    if (rename(FPath.c_str(), aside.c_str()) == 0) {
      // The journal belongs to the damaged file; the shared-memory index is
      // rebuilt from scratch by the next open.
      rename((FPath + "-wal").c_str(), (aside + "-wal").c_str());
      unlink((FPath + "-shm").c_str());
      FSetAside = aside;
      ok = OpenDatabase(damaged);
    }
  }
  if (dirFd >= 0) {
    flock(dirFd, LOCK_UN);
    close(dirFd);
  }
  return ok;
}

bool TSettingsStore::Transact(const std::function<bool()>& body) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!FDb) return false;
  if (FDepth > 0) return body();
  const int64_t deadline = NowMs() + FBusyWaitMs;
  if (ExecUntil(FDb, "BEGIN IMMEDIATE", deadline) != SQLITE_OK) return false;
  ++FDepth;
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
    ok = false;
  }
  --FDepth;
  if (ok) ok = ExecUntil(FDb, "COMMIT", deadline) == SQLITE_OK;
  if (!ok) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_busy_timeout(FDb, FBusyWaitMs);
  return ok;
}

std::optional<int64_t> TSettingsStore::FindKey(const std::string& path, bool create) {
  std::vector<std::string> parts;
  if (!FDb || !SplitKeyPath(path, parts)) return std::nullopt;
  int64_t id = kRootId;
  for (const std::string& part : parts) {
    const std::string fold = FoldKeyName(part);
    TStmt find(FDb, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
    find.Bind(1, id).BindText(2, fold);
    if (find.Row()) {
      id = find.Int(0);
      continue;
    }
    if (!create) return std::nullopt;
    TStmt add(FDb, "INSERT INTO keys(parent, name, fold) VALUES (?1, ?2, ?3)");
    add.Bind(1, id).BindText(2, part).BindText(3, fold);
    if (!add.Done()) return std::nullopt;
    id = sqlite3_last_insert_rowid(FDb);
  }
  return id;
}

std::optional<TSettingsKey> TSettingsStore::OpenKey(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  // Most opens find the key; only a missing one takes the write lock.
  std::optional<int64_t> id = FindKey(path, false);
  if (!id) Transact([&] { return (id = FindKey(path, true)).has_value(); });
  if (!id) return std::nullopt;
  return TSettingsKey(this, *id, path, false);
}

std::optional<TSettingsKey> TSettingsStore::OpenKeyReadOnly(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const std::optional<int64_t> id = FindKey(path, false);
  if (!id) return std::nullopt;
  return TSettingsKey(this, *id, path, true);
}

bool TSettingsStore::KeyExists(const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FindKey(path, false).has_value();
}

bool TSettingsStore::DeleteKey(const std::string& path) {
  return Transact([&] {
    const std::optional<int64_t> id = FindKey(path, false);
    if (!id || *id == kRootId) return false;
    // Explicit rather than by a cascade, whose depth SQLite bounds.
    TStmt vals(FDb, "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
                    "DELETE FROM vals WHERE key_id IN sub");
    TStmt keys(FDb, "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
                    "DELETE FROM keys WHERE id IN sub");
    return vals.Bind(1, *id).Done() && keys.Bind(1, *id).Done();
  });
}

namespace {

std::optional<int64_t> CopyTree(sqlite3* db, int64_t src, int64_t parent, const std::string& name,
                                const std::string& fold) {
  TStmt add(db, "INSERT INTO keys(parent, name, fold) VALUES (?1, ?2, ?3)");
  if (!add.Bind(1, parent).BindText(2, name).BindText(3, fold).Done()) return std::nullopt;
  const int64_t copy = sqlite3_last_insert_rowid(db);
  TStmt vals(db, "INSERT INTO vals(key_id, name, fold, type, data) "
                 "SELECT ?1, name, fold, type, data FROM vals WHERE key_id = ?2 ORDER BY id");
  if (!vals.Bind(1, copy).Bind(2, src).Done()) return std::nullopt;
  struct Child {
    int64_t id;
    std::string name, fold;
  };
  std::vector<Child> children;
  {
    TStmt list(db, "SELECT id, name, fold FROM keys WHERE parent = ?1 ORDER BY id");
    list.Bind(1, src);
    while (list.Row()) children.push_back({list.Int(0), list.Bytes(1), list.Bytes(2)});
  }
  for (const Child& c : children)
    if (!CopyTree(db, c.id, copy, c.name, c.fold)) return std::nullopt;
  return copy;
}

} // namespace

bool TSettingsStore::CopyKey(const std::string& path, const std::string& newName, bool deleteSource) {
  if (!ValidKeyName(newName)) return false;
  return Transact([&] {
    const std::optional<int64_t> src = FindKey(path, false);
    if (!src || *src == kRootId) return false;
    TStmt parentOf(FDb, "SELECT parent FROM keys WHERE id = ?1");
    if (!parentOf.Bind(1, *src).Row()) return false;
    const int64_t parent = parentOf.Int(0);
    const std::string fold = FoldKeyName(newName);
    TStmt taken(FDb, "SELECT 1 FROM keys WHERE parent = ?1 AND fold = ?2");
    if (taken.Bind(1, parent).BindText(2, fold).Row()) return false;
    if (deleteSource) {
      // A move keeps the key's rows and only renames it: same outcome as copy
      // and delete, in one statement.
      TStmt rename(FDb, "UPDATE keys SET name = ?1, fold = ?2 WHERE id = ?3");
      return rename.BindText(1, newName).BindText(2, fold).Bind(3, *src).Done();
    }
    return CopyTree(FDb, *src, parent, newName, fold).has_value();
  });
}

// ---------------------------------------------------------------- key

bool TSettingsKey::ValueExists(const std::string& name) const { return GetValueType(name) != TValueType::vtNone; }

TValueType TSettingsKey::GetValueType(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> guard(FStore->FLock);
  TStmt s(FStore->FDb, "SELECT type FROM vals WHERE key_id = ?1 AND fold = ?2");
  if (!s.Ok() || !s.Bind(1, FId).BindText(2, FoldKeyName(name)).Row()) return TValueType::vtNone;
  switch (s.Int(0)) {
  case kTypeString: return TValueType::vtString;
  case kTypeInteger: return TValueType::vtInteger;
  default: return TValueType::vtOther;
  }
}

bool TSettingsKey::ReadString(const std::string& name, std::string& out) const {
  std::lock_guard<std::recursive_mutex> guard(FStore->FLock);
  TStmt s(FStore->FDb, "SELECT data FROM vals WHERE key_id = ?1 AND fold = ?2 AND type = 1");
  if (!s.Ok() || !s.Bind(1, FId).BindText(2, FoldKeyName(name)).Row()) return false;
  out = s.Bytes(0);
  return true;
}

bool TSettingsKey::ReadInteger(const std::string& name, int32_t& out) const {
  std::lock_guard<std::recursive_mutex> guard(FStore->FLock);
  TStmt s(FStore->FDb, "SELECT data FROM vals WHERE key_id = ?1 AND fold = ?2 AND type = 4");
  if (!s.Ok() || !s.Bind(1, FId).BindText(2, FoldKeyName(name)).Row()) return false;
  // A script may have stored something else under the integer type.
  if (s.Type(0) != SQLITE_INTEGER) return false;
  const int64_t v = s.Int(0);
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

bool TSettingsKey::WriteValue(const std::string& name, int type, const std::string* text, int64_t number) {
  if (FReadOnly) return false;
  return FStore->Transact([&] {
    sqlite3* db = FStore->FDb;
    TStmt alive(db, "SELECT 1 FROM keys WHERE id = ?1");
    if (!alive.Bind(1, FId).Row()) return false;
    const std::string fold = FoldKeyName(name);
    auto bindData = [&](TStmt& s, int i) -> TStmt& {
      if (!text) return s.Bind(i, number);
      return type == kTypeString ? s.BindText(i, *text) : s.BindBlob(i, *text);
    };
    // Replace in place, so the value keeps its position in creation order.
    TStmt update(db, "UPDATE vals SET type = ?1, data = ?2 WHERE key_id = ?3 AND fold = ?4");
    update.Bind(1, type);
    bindData(update, 2).Bind(3, FId).BindText(4, fold);
    if (!update.Done()) return false;
    if (sqlite3_changes(db) > 0) return true;
    TStmt insert(db, "INSERT INTO vals(key_id, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5)");
    insert.Bind(1, FId).BindText(2, name).BindText(3, fold).Bind(4, type);
    return bindData(insert, 5).Done();
  });
}

bool TSettingsKey::WriteString(const std::string& name, const std::string& value) {
  return WriteValue(name, kTypeString, &value, 0);
}

bool TSettingsKey::WriteInteger(const std::string& name, int32_t value) {
  return WriteValue(name, kTypeInteger, nullptr, value);
}

bool TSettingsKey::WriteBinary(const std::string& name, const std::string& bytes) {
  return WriteValue(name, kTypeBinary, &bytes, 0);
}

bool TSettingsKey::DeleteValue(const std::string& name) {
  if (FReadOnly) return false;
  return FStore->Transact([&] {
    TStmt s(FStore->FDb, "DELETE FROM vals WHERE key_id = ?1 AND fold = ?2");
    return s.Bind(1, FId).BindText(2, FoldKeyName(name)).Done() && sqlite3_changes(FStore->FDb) > 0;
  });
}

std::vector<std::string> TSettingsKey::ValueNames() const {
  std::lock_guard<std::recursive_mutex> guard(FStore->FLock);
  std::vector<std::string> names;
  TStmt s(FStore->FDb, "SELECT name FROM vals WHERE key_id = ?1 ORDER BY id");
  s.Bind(1, FId);
  while (s.Ok() && s.Row()) names.push_back(s.Bytes(0));
  return names;
}

std::vector<std::string> TSettingsKey::SubKeyNames() const {
  std::lock_guard<std::recursive_mutex> guard(FStore->FLock);
  std::vector<std::string> names;
  TStmt s(FStore->FDb, "SELECT name FROM keys WHERE parent = ?1 ORDER BY id");
  s.Bind(1, FId);
  while (s.Ok() && s.Row()) names.push_back(s.Bytes(0));
  return names;
}

} // namespace twf
