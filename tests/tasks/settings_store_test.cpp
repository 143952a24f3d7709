#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <chrono>

#include <sqlite3.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tasks/settings_store.h"
#include "tasks/test_env.h"

namespace twf {
namespace {

using test::TTempHome;

class SettingsStoreTest : public TTempHome {};

TEST_F(SettingsStoreTest, CreatesAPrivateDatabaseUnderTheConfigHome) {
  EXPECT_EQ(TSettingsStore::DefaultPath(TConfigHome::chEnvironment), StorePath());
  TSettingsStore store(StorePath());
  ASSERT_TRUE(store.IsOpen());
  EXPECT_EQ(Mode(StorePath()), 0600u);
  EXPECT_EQ(Mode(Config + "/Zentorvi/Quarlex Twinfold"), 0700u);
  EXPECT_EQ(Mode(Config + "/Zentorvi"), 0700u);
}

// Opening a store and reading from it writes nothing: a run whose settings
// did not change has nothing to bring to the device when it ends.
TEST_F(SettingsStoreTest, AStoreOpenedAndOnlyReadIsLeftAsItWas) {
  {
    TSettingsStore store(StorePath());
    auto key = store.OpenKey("K");
    ASSERT_TRUE(key && key->WriteString("V", "value"));
  }
  auto state = [&] {
    struct stat st {};
    stat(StorePath().c_str(), &st);
    return std::pair{int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, int64_t(st.st_size)};
  };
  const auto before = state();
  std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a write would show in the time
  {
    TSettingsStore store(StorePath());
    ASSERT_TRUE(store.IsOpen());
    auto key = store.OpenKeyReadOnly("K");
    std::string v;
    ASSERT_TRUE(key && key->ReadString("V", v));
    EXPECT_EQ(v, "value");
  }
  EXPECT_EQ(state(), before);
}

TEST_F(SettingsStoreTest, DefaultPathFollowsTheEnvironmentAtEachCall) {
  // The program's rule follows the environment too, for anyone but root.
  std::vector<TConfigHome> following = {TConfigHome::chEnvironment};
  if (geteuid() != 0) following.push_back(TConfigHome::chRootFromAccount);
  for (const TConfigHome home : following) {
    SCOPED_TRACE(int(home));
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(TSettingsStore::DefaultPath(home), Home + "/.config/Zentorvi/Quarlex Twinfold/settings.db");
    setenv("XDG_CONFIG_HOME", (Root + "/other").c_str(), 1);
    EXPECT_EQ(TSettingsStore::DefaultPath(home), Root + "/other/Zentorvi/Quarlex Twinfold/settings.db");
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and ignored.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(TSettingsStore::DefaultPath(home), Home + "/.config/Zentorvi/Quarlex Twinfold/settings.db");
  }
}

// As root the environment may be a user's (sudo and su can pass HOME on):
// root's store and key are found through the account database instead.
TEST_F(SettingsStoreTest, AsRootTheLocationComesFromTheAccountDatabase) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  const passwd* pw = getpwuid(0);
  ASSERT_TRUE(pw && pw->pw_dir);
  const std::string rootHome = pw->pw_dir;
  ASSERT_NE(rootHome, Home);
  // Only paths are asked for here; nothing is opened in root's real home.
  EXPECT_EQ(TSettingsStore::DefaultPath(TConfigHome::chRootFromAccount),
            rootHome + "/.config/Zentorvi/Quarlex Twinfold/settings.db");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(TSettingsStore::DefaultPath(TConfigHome::chRootFromAccount),
            rootHome + "/.config/Zentorvi/Quarlex Twinfold/settings.db");
  EXPECT_EQ(TSettingsStore::DefaultPath(TConfigHome::chEnvironment), Home + "/.config/Zentorvi/Quarlex Twinfold/settings.db");
}

// As root, a store that someone else owns or can write is not used: it could
// hold their tasks and keys. It is left exactly as found, never set aside.
TEST_F(SettingsStoreTest, AsRootAStoreThatIsNotRootsAloneIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  struct TCase {
    const char* Name;
    uid_t FileOwner, FolderOwner;
    mode_t FileMode, FolderMode;
    std::string Refusal; // "%f" for the file, "%d" for the folder; "" when it opens
  } cases[] = {
      {"root's alone", 0, 0, 0600, 0700, ""},
      {"root's, folder readable by all", 0, 0, 0600, 0755, ""},
      {"the file is another user's", 65534, 0, 0600, 0700,
       "The settings store \"%f\" belongs to uid 65534, not to root; as root it is not used."},
      {"others may write the file", 0, 0, 0666, 0700,
       "The settings store \"%f\" can be written by other users; as root it is not used."},
      {"the folder is another user's", 0, 65534, 0600, 0700,
       "The settings folder \"%d\" belongs to uid 65534, not to root; as root it is not used."},
      {"the group may write the folder", 0, 0, 0600, 0770,
       "The settings folder \"%d\" can be written by other users; as root it is not used."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string folder = Root + "/" + c.Name, path = folder + "/settings.db";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    {
      TSettingsStore made(path);
      ASSERT_TRUE(made.OpenKey("Tasks\\Mine")->WriteInteger("x", 1));
    }
    ASSERT_EQ(chown(path.c_str(), c.FileOwner, c.FileOwner), 0);
    ASSERT_EQ(chmod(path.c_str(), c.FileMode), 0);
    ASSERT_EQ(chown(folder.c_str(), c.FolderOwner, c.FolderOwner), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.FolderMode), 0);
    const std::string before = ReadFile(path);
    std::string want = c.Refusal;
    if (size_t at = want.find("%f"); at != std::string::npos) want.replace(at, 2, path);
    if (size_t at = want.find("%d"); at != std::string::npos) want.replace(at, 2, folder);

    TSettingsStore store(path);
    EXPECT_EQ(store.Refusal(), want);
    EXPECT_EQ(store.IsOpen(), want.empty());
    EXPECT_EQ(store.KeyExists("Tasks\\Mine"), want.empty());
    EXPECT_TRUE(store.SetAsidePath().empty());
    if (!want.empty()) {
      EXPECT_EQ(ReadFile(path), before);
    }
  }
}

// SQLite opens the store by its name, after the check: a link in its place
// or a folder on the way that someone else can change would let the name
// lead to their database.
TEST_F(SettingsStoreTest, AsRootTheWayToTheStoreMustBeRootsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  const std::string theirs = Root + "/theirs";
  ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
  {
    TSettingsStore made(theirs + "/settings.db");
    ASSERT_TRUE(made.OpenKey("Tasks\\Planted")->WriteInteger("x", 1));
  }
  ASSERT_EQ(chown((theirs + "/settings.db").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  struct TCase {
    const char* Name;
    bool LinkedFile;
    uid_t OuterOwner;   // of the folder that holds the store's folder
    uid_t WalOwner;     // of a journal left beside the store
    std::string Reason; // "%o" for that folder; "" when it opens
  } cases[] = {
      {"root's alone", false, 0, 0, ""},
      {"the store is a link to another user's", true, 0, 0, "it is a symbolic link"},
      {"a folder on the way is another user's", false, 65534, 0, "the folder \"%o\" belongs to uid 65534, not to root"},
      {"a journal beside it is another user's", false, 0, 65534, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string outer = Root + "/" + c.Name, folder = outer + "/store", path = folder + "/settings.db";
    ASSERT_EQ(mkdir(outer.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    if (c.LinkedFile) {
      ASSERT_EQ(symlink((theirs + "/settings.db").c_str(), path.c_str()), 0);
    }
    if (c.WalOwner != 0) {
      // Left there while the folder was theirs: SQLite would replay what they write into it.
      WriteFile(path + "-wal", "");
      ASSERT_EQ(chown((path + "-wal").c_str(), c.WalOwner, c.WalOwner), 0);
    }
    ASSERT_EQ(chown(outer.c_str(), c.OuterOwner, c.OuterOwner), 0);
    std::string want = c.Reason;
    if (size_t at = want.find("%o"); at != std::string::npos) want.replace(at, 2, outer);
    if (!want.empty())
      want = "The settings store \"" + path + "\" is reached through a path that is not root's alone (" + want +
             "); as root it is not used.";
    if (c.WalOwner != 0)
      want = "The settings store's journal \"" + path + "-wal\" belongs to uid 65534, not to root; as root it is not used.";

    TSettingsStore store(path);
    EXPECT_EQ(store.Refusal(), want);
    EXPECT_EQ(store.IsOpen(), want.empty());
    EXPECT_FALSE(store.KeyExists("Tasks\\Planted"));
  }
}

TEST_F(SettingsStoreTest, NamesCompareWithUnicodeCaseFolding) {
  struct Case {
    const char* first;
    const char* second;
    bool same;
  } cases[] = {
      {"Backup", "BACKUP", true},   {"Über", "über", true},     {"Straße", "STRASSE", true},
      {"ΣΟΦΙΑ", "σοφια", true},     {"Backup", "Backup2", false}, {"a\xff", "A\xff", true},
      {"a\xff", "a\xfe", false},    {"", "", true},
  };
  TSettingsStore store(StorePath());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " / " + c.second);
    EXPECT_EQ(SameKeyName(c.first, c.second), c.same);
    if (!*c.first) continue;
    const std::string base = std::string("Tasks\\") + c.first;
    ASSERT_TRUE(store.OpenKey(base));
    EXPECT_EQ(store.KeyExists(std::string("Tasks\\") + c.second), c.same);
    auto key = store.OpenKey("Values");
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->WriteString(c.first, "v"));
    EXPECT_EQ(key->ValueExists(c.second), c.same);
    store.DeleteKey("Tasks");
    store.DeleteKey("Values");
  }
}

TEST_F(SettingsStoreTest, TheFirstSpellingOfANameStays) {
  TSettingsStore store(StorePath());
  ASSERT_TRUE(store.OpenKey("Tasks\\Backup"));
  ASSERT_TRUE(store.OpenKey("TASKS\\BACKUP"));
  auto tasks = store.OpenKeyReadOnly("tasks");
  ASSERT_TRUE(tasks);
  EXPECT_EQ(tasks->SubKeyNames(), std::vector<std::string>{"Backup"});
  auto key = store.OpenKey("Tasks\\Backup");
  key->WriteInteger("Workers", 1);
  key->WriteInteger("WORKERS", 2);
  EXPECT_EQ(key->ValueNames(), std::vector<std::string>{"Workers"});
  int32_t v = 0;
  EXPECT_TRUE(key->ReadInteger("workers", v));
  EXPECT_EQ(v, 2);
}

TEST_F(SettingsStoreTest, KeyPathsNeedNonEmptyParts) {
  TSettingsStore store(StorePath());
  for (const char* bad : {"Tasks\\", "\\Tasks", "Tasks\\\\x", "\\"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(store.OpenKey(bad));
    EXPECT_FALSE(store.KeyExists(bad));
  }
  EXPECT_TRUE(store.OpenKeyReadOnly("")); // the root always exists
  EXPECT_FALSE(store.OpenKeyReadOnly("Missing"));
  EXPECT_FALSE(store.KeyExists("Missing")); // a read-only open creates nothing
  // Any character but the backslash may be part of a name.
  EXPECT_TRUE(store.OpenKey("Tasks\\a/b: \"c\" .."));
  EXPECT_TRUE(store.KeyExists("Tasks\\a/b: \"c\" .."));
}

TEST_F(SettingsStoreTest, ValuesHaveTypesAndKeepTheirCreationOrder) {
  TSettingsStore store(StorePath());
  auto key = store.OpenKey("K");
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->WriteString("Zeta", "line1\r\nline2\r\n"));
  ASSERT_TRUE(key->WriteInteger("Alpha", -5));
  ASSERT_TRUE(key->WriteBinary("Mid", std::string("\0\1", 2)));
  ASSERT_TRUE(key->WriteString("Empty", ""));
  ASSERT_TRUE(key->WriteString("Nul", std::string("a\0b", 3)));
  EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"Zeta", "Alpha", "Mid", "Empty", "Nul"}));

  EXPECT_EQ(key->GetValueType("zeta"), TValueType::vtString);
  EXPECT_EQ(key->GetValueType("alpha"), TValueType::vtInteger);
  EXPECT_EQ(key->GetValueType("mid"), TValueType::vtOther);
  EXPECT_EQ(key->GetValueType("none"), TValueType::vtNone);

  std::string s = "untouched";
  int32_t i = 42;
  EXPECT_FALSE(key->ReadString("Alpha", s));
  EXPECT_FALSE(key->ReadInteger("Zeta", i));
  EXPECT_FALSE(key->ReadString("Mid", s));
  EXPECT_EQ(s, "untouched");
  EXPECT_EQ(i, 42);
  EXPECT_TRUE(key->ReadString("Zeta", s));
  EXPECT_EQ(s, "line1\r\nline2\r\n");
  EXPECT_TRUE(key->ReadString("Empty", s));
  EXPECT_EQ(s, "");
  EXPECT_TRUE(key->ReadString("Nul", s));
  EXPECT_EQ(s, std::string("a\0b", 3));

  // Replacing with another type keeps the place in the order.
  ASSERT_TRUE(key->WriteString("Zeta", "now text"));
  ASSERT_TRUE(key->WriteInteger("Zeta", 7));
  EXPECT_EQ(key->GetValueType("Zeta"), TValueType::vtInteger);
  EXPECT_EQ(key->ValueNames().front(), "Zeta");

  EXPECT_TRUE(key->DeleteValue("ALPHA"));
  EXPECT_FALSE(key->DeleteValue("Alpha"));
  EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"Zeta", "Mid", "Empty", "Nul"}));
  ASSERT_TRUE(key->WriteInteger("Alpha", 1));
  EXPECT_EQ(key->ValueNames().back(), "Alpha"); // a new value goes last
}

TEST_F(SettingsStoreTest, ReadOnlyKeysRefuseWrites) {
  TSettingsStore store(StorePath());
  ASSERT_TRUE(store.OpenKey("K"));
  auto ro = store.OpenKeyReadOnly("K");
  ASSERT_TRUE(ro);
  EXPECT_FALSE(ro->WriteString("a", "b"));
  EXPECT_FALSE(ro->ValueExists("a"));
}

TEST_F(SettingsStoreTest, DeleteKeyRemovesTheWholeTreeAndOpenHandlesGoStale) {
  TSettingsStore store(StorePath());
  auto deep = store.OpenKey("A\\B\\C\\D");
  ASSERT_TRUE(deep);
  deep->WriteString("v", "x");
  store.OpenKey("A\\B2")->WriteInteger("n", 1);
  store.OpenKey("Keep")->WriteInteger("n", 1);

  EXPECT_TRUE(store.DeleteKey("a"));
  EXPECT_FALSE(store.KeyExists("A"));
  EXPECT_FALSE(store.KeyExists("A\\B\\C\\D"));
  EXPECT_TRUE(store.KeyExists("Keep"));
  EXPECT_FALSE(store.DeleteKey("A"));
  EXPECT_FALSE(store.DeleteKey("")); // never the root

  // The handle of a deleted key neither reads nor resurrects anything.
  EXPECT_FALSE(deep->ValueExists("v"));
  EXPECT_FALSE(deep->WriteString("v", "y"));
  EXPECT_FALSE(store.KeyExists("A\\B\\C\\D"));

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM keys), (SELECT count(*) FROM vals)", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 2); // root and Keep: no orphans left
  EXPECT_EQ(sqlite3_column_int(st, 1), 1);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(SettingsStoreTest, CopyAndMoveKeys) {
  TSettingsStore store(StorePath());
  auto src = store.OpenKey("Tasks\\Old");
  src->WriteString("S", "text");
  src->WriteInteger("I", 3);
  src->WriteBinary("B", "raw");
  store.OpenKey("Tasks\\Old\\Sub\\Deeper")->WriteInteger("n", 9);
  store.OpenKey("Tasks\\Other");

  ASSERT_TRUE(store.CopyKey("Tasks\\Old", "Copy", false));
  auto copy = store.OpenKeyReadOnly("Tasks\\Copy");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->ValueNames(), (std::vector<std::string>{"S", "I", "B"}));
  EXPECT_EQ(copy->GetValueType("B"), TValueType::vtOther);
  int32_t n = 0;
  EXPECT_TRUE(store.OpenKeyReadOnly("Tasks\\Copy\\Sub\\Deeper")->ReadInteger("n", n));
  EXPECT_EQ(n, 9);
  EXPECT_TRUE(store.KeyExists("Tasks\\Old")); // a copy keeps its source
  // The copy is independent of its source.
  store.OpenKey("Tasks\\Copy")->WriteString("S", "changed");
  EXPECT_EQ(store.OpenKeyReadOnly("Tasks\\Old")->ValueNames().size(), 3u);
  std::string s;
  store.OpenKeyReadOnly("Tasks\\Old")->ReadString("S", s);
  EXPECT_EQ(s, "text");

  ASSERT_TRUE(store.CopyKey("Tasks\\Old", "New", true));
  EXPECT_FALSE(store.KeyExists("Tasks\\Old"));
  EXPECT_TRUE(store.KeyExists("Tasks\\New\\Sub\\Deeper"));

  // Nothing happens when the target exists (letter case ignored) or the source does not.
  EXPECT_FALSE(store.CopyKey("Tasks\\New", "OTHER", true));
  EXPECT_FALSE(store.CopyKey("Tasks\\New", "new", true));
  EXPECT_FALSE(store.CopyKey("Tasks\\Missing", "X", false));
  EXPECT_FALSE(store.CopyKey("Tasks\\New", "a\\b", false));
  EXPECT_FALSE(store.CopyKey("Tasks\\New", "", false));
  EXPECT_TRUE(store.KeyExists("Tasks\\New"));
  EXPECT_FALSE(store.KeyExists("Tasks\\X"));
}

TEST_F(SettingsStoreTest, TransactionsLandWholeOrNotAtAll) {
  TSettingsStore store(StorePath());
  EXPECT_FALSE(store.Transact([&] {
    store.OpenKey("T")->WriteInteger("a", 1);
    store.OpenKey("T")->WriteInteger("b", 2);
    return false;
  }));
  EXPECT_FALSE(store.KeyExists("T"));
  EXPECT_TRUE(store.Transact([&] {
    store.OpenKey("T")->WriteInteger("a", 1);
    return store.Transact([&] { return store.OpenKey("T")->WriteInteger("b", 2); });
  }));
  EXPECT_EQ(store.OpenKeyReadOnly("T")->ValueNames().size(), 2u);
  // An exception inside rolls back and does not escape.
  EXPECT_FALSE(store.Transact([&]() -> bool {
    store.OpenKey("T")->WriteInteger("c", 3);
    throw std::runtime_error("boom");
  }));
  EXPECT_FALSE(store.OpenKeyReadOnly("T")->ValueExists("c"));
}

TEST_F(SettingsStoreTest, ADamagedFileIsSetAsideAndAFreshStoreStarts) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> damage;
  } cases[] = {
      {"garbage", [](const std::string& p) { WriteFile(p, std::string(3000, '\x5a')); }},
      {"truncated database",
       [](const std::string& p) {
         {
           TSettingsStore s(p);
           for (int i = 0; i < 200; ++i) s.OpenKey("K" + std::to_string(i))->WriteString("v", std::string(200, 'x'));
         }
         const std::string data = ReadFile(p);
         WriteFile(p, data.substr(0, data.size() / 2));
       }},
      {"another program's database",
       [](const std::string& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE keys(x); CREATE TABLE vals(y);", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = Root + "/" + c.what;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string path = folder + "/settings.db";
    c.damage(path);
    const std::string before = ReadFile(path);

    TSettingsStore store(path);
    ASSERT_TRUE(store.IsOpen());
    ASSERT_FALSE(store.SetAsidePath().empty());
    EXPECT_EQ(store.SetAsidePath().rfind(path + ".damaged-", 0), 0u);
    EXPECT_EQ(ReadFile(store.SetAsidePath()), before); // kept, byte for byte
    ASSERT_TRUE(store.OpenKey("Tasks\\New")->WriteInteger("ok", 1));

    TSettingsStore again(path); // the fresh file is not set aside a second time
    EXPECT_TRUE(again.SetAsidePath().empty());
    EXPECT_TRUE(again.KeyExists("Tasks\\New"));
  }
}

TEST_F(SettingsStoreTest, AStoreThatCannotBeCreatedDoesNothingQuietly) {
  WriteFile(Root + "/file", "x");
  TSettingsStore store(Root + "/file/settings.db"); // a file where the folder should be
  EXPECT_FALSE(store.IsOpen());
  EXPECT_TRUE(store.SetAsidePath().empty());
  EXPECT_FALSE(store.OpenKey("K"));
  EXPECT_FALSE(store.KeyExists(""));
  EXPECT_FALSE(store.Transact([] { return true; }));
}

TEST_F(SettingsStoreTest, ThreadsWithTheirOwnConnectionsLoseNoWrite) {
  constexpr int kWrites = 150;
  auto writer = [&](const std::string& tag) {
    TSettingsStore store(StorePath());
    for (int i = 0; i < kWrites; ++i) {
      auto key = store.OpenKey("Tasks\\Shared");
      ASSERT_TRUE(key);
      ASSERT_TRUE(key->WriteInteger(tag + std::to_string(i), i));
    }
  };
  TSettingsStore shared(StorePath());
  auto sharedWriter = [&](const std::string& tag) {
    for (int i = 0; i < kWrites; ++i) ASSERT_TRUE(shared.OpenKey("Tasks\\Shared")->WriteInteger(tag + std::to_string(i), i));
  };
  std::thread a(writer, "a"), b(writer, "b"), c(sharedWriter, "c"), d(sharedWriter, "d");
  a.join();
  b.join();
  c.join();
  d.join();
  TSettingsStore store(StorePath());
  EXPECT_EQ(store.OpenKeyReadOnly("Tasks\\Shared")->ValueNames().size(), 4u * kWrites);
}

// Another process holding the write lock (here: another connection inside a
// transaction) makes a start and a write wait for the bound in all, never
// for the bound once per attempt.
TEST_F(SettingsStoreTest, AWriterThatHoldsOnIsWaitedForWithinTheBound) {
  TSettingsStore holder(StorePath());
  TSettingsStore early(StorePath(), 300); // open before the lock was taken
  ASSERT_TRUE(early.IsOpen());
  ASSERT_TRUE(holder.Transact([&] {
    auto t0 = std::chrono::steady_clock::now();
    TSettingsStore late(StorePath(), 300);
    const auto openTook = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(late.Busy());
    EXPECT_FALSE(late.IsOpen());
    EXPECT_EQ(late.BusyMessage(), "The settings store \"" + StorePath() +
                                      "\" is in use by another program, which has not let go of it for 1 second. "
                                      "Try again later.");
    EXPECT_GE(openTook, std::chrono::milliseconds(250));
    EXPECT_LT(openTook, std::chrono::seconds(5));

    t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(early.OpenKey("K"));
    const auto writeTook = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(writeTook, std::chrono::milliseconds(250));
    EXPECT_LT(writeTook, std::chrono::seconds(5));
    return true;
  }));
  // Free again: both work.
  EXPECT_TRUE(early.OpenKey("K"));
  TSettingsStore later(StorePath(), 300);
  EXPECT_TRUE(later.IsOpen());
  EXPECT_FALSE(later.Busy());
}

TEST_F(SettingsStoreTest, TheDocumentedQueryReadsAValue) {
  {
    TSettingsStore store(StorePath());
    store.OpenKey("Tasks\\Nightly")->WriteString("Source", "/data");
  }
  // The query docs/settings-store.md gives for reading one value.
  const std::string sql =
      "SELECT v.data FROM keys t JOIN keys k ON k.parent = t.id JOIN vals v ON v.key_id = k.id "
      "WHERE t.parent = 1 AND t.fold = 'tasks' AND k.fold = 'nightly' AND v.fold = 'source' AND v.type = 1";
  const std::string cmd = "sqlite3 '" + StorePath() + "' \"" + sql + "\"";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[256] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  EXPECT_EQ(std::string(buf, n), "/data\n");
}

} // namespace
} // namespace twf
