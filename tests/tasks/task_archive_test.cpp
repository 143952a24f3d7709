#include <gtest/gtest.h>

#include <zip.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/settings_print.h"
#include "tasks/task_archive.h"
#include "tasks/task_input.h"
#include "tasks/task_files.h"
#include "tasks/test_env.h"

namespace twf {
namespace {

struct TEntry {
  std::string name;
  std::string data;
  bool deflate = true;
  mode_t unixType = S_IFREG; // S_IFLNK, S_IFIFO ... for hostile entries
};

class TaskArchiveTest : public test::TTempHome {
protected:
  std::string File(const std::string& name) const { return Root + "/" + name; }

  // Runs a command line (with C.UTF-8 so names print as UTF-8); returns its exit code.
  static int Run(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen(("LC_ALL=C.UTF-8 " + cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::string Quote(const std::string& s) { return "'" + s + "'"; }

  static void MakeZip(const std::string& path, const std::vector<TEntry>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr);
    for (const TEntry& e : entries) {
      void* copy = e.data.empty() ? nullptr : malloc(e.data.size());
      if (copy) memcpy(copy, e.data.data(), e.data.size());
      zip_source_t* src = zip_source_buffer(za, copy, e.data.size(), copy != nullptr);
      const zip_int64_t i = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
      ASSERT_GE(i, 0) << e.name;
      zip_set_file_compression(za, i, e.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
      zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX, (e.unixType | 0644) << 16);
    }
    ASSERT_EQ(zip_close(za), 0);
  }

  // Entries of the central directory: name, method and the UTF-8 flag.
  struct TCentral {
    std::string name;
    int method;
    bool utf8;
  };
  static std::vector<TCentral> CentralDirectory(const std::string& zip) {
    const std::string d = ReadFile(zip);
    std::vector<TCentral> out;
    auto u16 = [&](size_t at) { return static_cast<unsigned>(uint8_t(d[at]) | uint8_t(d[at + 1]) << 8); };
    for (size_t at = d.find("PK\x01\x02"); at != std::string::npos; at = d.find("PK\x01\x02", at + 4))
      out.push_back({d.substr(at + 46, u16(at + 28)), static_cast<int>(u16(at + 10)), (u16(at + 8) & 0x800) != 0});
    return out;
  }

  std::vector<std::string> TempEntries() const {
    std::vector<std::string> names;
    DIR* dir = opendir(Temp.c_str());
    while (const dirent* e = dir ? readdir(dir) : nullptr)
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    if (dir) closedir(dir);
    return names;
  }

  static TTaskSettings Task(const std::string& source) {
    TTaskSettings s;
    s.Source = source;
    s.ExclPatterns = "one\r\n\r\ntwo  \r\n";
    return s;
  }

  static std::function<bool(const TUserMessage&)> Answer(bool yes, std::vector<TUserMessage>* asked = nullptr) {
    return [=](const TUserMessage& q) {
      if (asked) asked->push_back(q);
      return yes;
    };
  }
};

TEST_F(TaskArchiveTest, ExportWritesAStandardArchiveThatUnzipAccepts) {
  TSettingsStore store(StorePath());
  const std::vector<std::string> names = {"?", "a/b", "a:b", "Nightly", "Über Größe"};
  for (const std::string& n : names) SaveSettings(store, TaskKeyPath(n), Task("/" + n));
  const std::string zip = File("tasks.zip");
  WriteFile(zip, "an older file of that name, not even a zip");

  EXPECT_EQ(ExportTaskArchive(store, ListTaskNames(store), zip),
            (TUserMessage{TMessageKind::mkInformation, "5 task(s) exported."}));
  std::string out;
  EXPECT_EQ(Run("unzip -t " + Quote(zip), &out), 0) << out;
  EXPECT_EQ(Run("unzip -Z1 " + Quote(zip), &out), 0) << out;
  std::vector<std::string> listed;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) listed.push_back(line);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"Nightly.ini", "_.ini", "a_b (2).ini", "a_b.ini", "Über Größe.ini"}));

  for (const TCentral& e : CentralDirectory(zip)) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.method, 8);
    const bool ascii = std::all_of(e.name.begin(), e.name.end(), [](char c) { return uint8_t(c) < 0x80; });
    if (!ascii) {
      EXPECT_TRUE(e.utf8); // ASCII names read the same either way
    }
  }
  // Each entry is a task file of its task.
  ASSERT_EQ(Run("unzip -p " + Quote(zip) + " " + Quote("a_b (2).ini"), &out), 0);
  EXPECT_EQ(TIniDocument::Parse(out).ReadString("Meta", "Name", ""), "a:b");
  EXPECT_TRUE(TempEntries().empty()); // the working folder is gone
}

TEST_F(TaskArchiveTest, ExportRefusalsAndFailures) {
  TSettingsStore store(StorePath());
  EXPECT_EQ(ExportTaskArchive(store, {}, File("x.zip")),
            (TUserMessage{TMessageKind::mkInformation, kMsgNoTasksToExport}));
  EXPECT_FALSE(Exists(File("x.zip")));

  SaveSettings(store, TaskKeyPath("Kept"), Task("/k"));
  // A task deleted after the list was made is left out and not counted.
  EXPECT_EQ(ExportTaskArchive(store, {"Kept", "Vanished"}, File("x.zip")).Text, "1 task(s) exported.");

  const TUserMessage failed = ExportTaskArchive(store, {"Kept"}, File("no/such/folder/x.zip"));
  EXPECT_EQ(failed.Kind, TMessageKind::mkError);
  EXPECT_EQ(failed.Text.rfind(kMsgCannotCreateArchive, 0), 0u);
  EXPECT_GT(failed.Text.size(), std::string(kMsgCannotCreateArchive).size());
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(TaskArchiveTest, ArchiveRoundTripAndRepeatedImport) {
  TSettingsStore store(StorePath());
  for (const char* n : {"Alpha", "beta", "a:b", "a/b"}) SaveSettings(store, TaskKeyPath(n), Task(std::string("/") + n));
  const std::string zip = File("all.zip");
  ASSERT_EQ(ExportTaskArchive(store, ListTaskNames(store), zip).Text, "4 task(s) exported.");
  store.DeleteKey(kTasksKey);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<TUserMessage> asked;
    const TArchiveImportOutcome out = ImportTaskArchive(store, zip, Answer(true, &asked));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], (TUserMessage{TMessageKind::mkConfirmation,
                                      "4 task file(s) found. Same-name tasks will be overwritten.\r\n\r\nContinue?",
                                      true}));
    ASSERT_TRUE(out.Message);
    // "a/b" is exported (it exists), but no import takes a name with "/".
    EXPECT_EQ(*out.Message, (TUserMessage{TMessageKind::mkInformation, "3 task(s) imported, 1 file(s) skipped."}));
    EXPECT_TRUE(out.Changed);
    EXPECT_EQ(ListTaskNames(store), (std::vector<std::string>{"a:b", "Alpha", "beta"}));
    for (const char* n : {"Alpha", "beta", "a:b"}) {
      TTaskSettings loaded;
      ASSERT_TRUE(LoadSettings(store, TaskKeyPath(n), loaded, {}));
      EXPECT_EQ(loaded, Task(std::string("/") + n));
    }
  }
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(TaskArchiveTest, ArchivesMadeByInfoZipImport) {
  const std::string tree = File("tree");
  ASSERT_EQ(Run("mkdir -p " + Quote(tree + "/sub/deeper")), 0);
  WriteFile(tree + "/sub/one.ini", "[Task]\r\nSource=/one\r\n[Meta]\r\nName=One\r\n");
  WriteFile(tree + "/sub/deeper/Two Words.INI", "\xEF\xBB\xBF[Task]\nSource=/two\nWorkers=3\n");
  WriteFile(tree + "/readme.txt", "not a task");
  struct Case {
    const char* what;
    const char* options;
  } cases[] = {{"deflated", "-r -9"}, {"stored", "-r -0"}, {"mixed", "-r -n .INI"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string zip = File(std::string(c.what) + ".zip");
    std::string out;
    ASSERT_EQ(Run("cd " + Quote(tree) + " && zip -q " + c.options + " " + Quote(zip) + " .", &out), 0) << out;
    TSettingsStore store(StorePath());
    store.DeleteKey(kTasksKey);
    const TArchiveImportOutcome result = ImportTaskArchive(store, zip, Answer(true));
    ASSERT_TRUE(result.Message);
    EXPECT_EQ(result.Message->Text, "2 task(s) imported, 0 file(s) skipped.");
    EXPECT_EQ(ListTaskNames(store), (std::vector<std::string>{"One", "Two Words"}));
    TTaskSettings two;
    LoadSettings(store, TaskKeyPath("Two Words"), two, {});
    EXPECT_EQ(two.Source, "/two");
    EXPECT_EQ(two.Workers, 3);
  }
}

TEST_F(TaskArchiveTest, HostileEntriesAreNeverWrittenAndCountAsSkipped) {
  const std::string good = "[Task]\r\nSource=/good\r\n";
  const std::string zip = File("hostile.zip");
  MakeZip(zip, {
                   {"../evil.ini", "[Task]\r\nSource=/evil\r\n[Meta]\r\nName=Evil1\r\n"},
                   {"/abs-evil.ini", "[Task]\r\nSource=/evil\r\n[Meta]\r\nName=Evil2\r\n"},
                   {"sub/../../evil.ini", "[Task]\r\nSource=/evil\r\n[Meta]\r\nName=Evil3\r\n"},
                   {"..\\evil.ini", "[Task]\r\nSource=/evil\r\n[Meta]\r\nName=Evil4\r\n"},
                   {"C:\\evil.ini", "[Task]\r\nSource=/evil\r\n[Meta]\r\nName=Evil5\r\n"},
                   {"link.ini", "/etc/passwd", true, S_IFLNK},
                   {"fifo.ini", "", true, S_IFIFO},
                   {"huge.ini", "[Task]\r\nSource=/huge\r\n" + std::string(kMaxTaskFileSize, ' ')},
                   {"good.ini", good},
                   {"./good.ini", "[Task]\r\nSource=/huge\r\n" + std::string(kMaxTaskFileSize, ' ')},
               });
  TSettingsStore store(StorePath());
  std::vector<TUserMessage> asked;
  const TArchiveImportOutcome out = ImportTaskArchive(store, zip, Answer(true, &asked));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].Text.rfind("1 task file(s) found.", 0), 0u);
  ASSERT_TRUE(out.Message);
  EXPECT_EQ(out.Message->Text, "1 task(s) imported, 9 file(s) skipped.");
  // The refused second good.ini did not destroy the first one.
  EXPECT_EQ(ListTaskNames(store), std::vector<std::string>{"good"});
  EXPECT_EQ(ReadStringDef(*store.OpenKeyReadOnly(TaskKeyPath("good")), "Source", ""), "/good");
  for (const std::string& p : std::vector<std::string>{Root + "/evil.ini", Temp + "/evil.ini", "/abs-evil.ini", "/evil.ini"})
    EXPECT_FALSE(Exists(p)) << p;
  EXPECT_TRUE(TempEntries().empty());
}

// Lowers the process's descriptor limit for the life of the object.
class TFewDescriptors {
public:
  explicit TFewDescriptors(rlim_t limit) {
    getrlimit(RLIMIT_NOFILE, &FOld);
    rlimit low = FOld;
    low.rlim_cur = limit;
    setrlimit(RLIMIT_NOFILE, &low);
  }
  ~TFewDescriptors() { setrlimit(RLIMIT_NOFILE, &FOld); }

private:
  rlimit FOld{};
};

TEST_F(TaskArchiveTest, NamelessAndDeepEntriesAreRefusedAndTheWorkingFolderGoes) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "d/";
  const std::string zip = File("odd.zip");
  MakeZip(zip, {
                   {"", "[Task]\r\nSource=/nameless\r\n[Meta]\r\nName=Nameless\r\n"},
                   {deep + "deep.ini", "[Task]\r\nSource=/deep\r\n"},
                   {"good.ini", "[Task]\r\nSource=/good\r\n"},
                   {"a/b/c/nested.ini", "[Task]\r\nSource=/nested\r\n"},
               });
  TSettingsStore store(StorePath());
  TArchiveImportOutcome out;
  {
    // Removing the working folder must not need a descriptor per level.
    TFewDescriptors few(64);
    out = ImportTaskArchive(store, zip, Answer(true));
  }
  ASSERT_TRUE(out.Message);
  EXPECT_EQ(out.Message->Text, "2 task(s) imported, 2 file(s) skipped.");
  EXPECT_EQ(ListTaskNames(store), (std::vector<std::string>{"good", "nested"}));
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(TaskArchiveTest, RemoveTreeHoldsNoDescriptorPerLevel) {
  const std::string top = Temp + "/tree";
  ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < 300 && fd >= 0; ++i) {
    if (i % 50 == 0) close(openat(fd, "file", O_WRONLY | O_CREAT, 0600));
    mkdirat(fd, "sibling", 0700);
    mkdirat(fd, "d", 0700);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  close(fd);
  {
    TFewDescriptors few(64);
    EXPECT_TRUE(RemoveTree(top));
  }
  EXPECT_FALSE(Exists(top));
}

TEST_F(TaskArchiveTest, AnEntryThatInflatesBeyondItsHeaderIsStopped) {
  // A deflated run of 20 MiB whose headers claim 100 bytes.
  const std::string zip = File("bomb.zip");
  MakeZip(zip, {{"bomb.ini", "[Task]\r\nSource=/bomb\r\n" + std::string(20u << 20, ';')}});
  std::string d = ReadFile(zip);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<char>(v >> (8 * i));
  };
  const size_t local = d.find("PK\x03\x04");
  const size_t central = d.find("PK\x01\x02");
  ASSERT_NE(local, std::string::npos);
  ASSERT_NE(central, std::string::npos);
  put32(local + 22, 100);
  put32(central + 24, 100);
  WriteFile(zip, d);

  TSettingsStore store(StorePath());
  bool asked = false;
  const TArchiveImportOutcome out = ImportTaskArchive(store, zip, [&](const TUserMessage&) { return asked = true; });
  ASSERT_TRUE(out.Message);
  // Reading stops at the size a task file may have; the entry is refused.
  EXPECT_EQ(*out.Message, (TUserMessage{TMessageKind::mkInformation, kMsgNoTaskFiles}));
  EXPECT_FALSE(asked);
  EXPECT_TRUE(ListTaskNames(store).empty());
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(TaskArchiveTest, FilesThatAreNoUsableArchive) {
  TSettingsStore store(StorePath());
  SaveSettings(store, TaskKeyPath("T"), Task("/t"));
  const std::string good = File("good.zip");
  ASSERT_EQ(ExportTaskArchive(store, {"T"}, good).Text, "1 task(s) exported.");
  const std::string whole = ReadFile(good);
  WriteFile(File("truncated.zip"), whole.substr(0, whole.size() / 2));
  WriteFile(File("text.zip"), "this is not a zip archive\n");
  WriteFile(File("empty.zip"), "");
  for (const char* name : {"truncated.zip", "text.zip", "empty.zip", "missing.zip"}) {
    SCOPED_TRACE(name);
    bool asked = false;
    const TArchiveImportOutcome out =
        ImportTaskArchive(store, File(name), [&](const TUserMessage&) { return asked = true; });
    ASSERT_TRUE(out.Message);
    EXPECT_EQ(out.Message->Kind, TMessageKind::mkError);
    EXPECT_EQ(out.Message->Text.rfind(kMsgCannotOpenArchive, 0), 0u);
    EXPECT_GT(out.Message->Text.size(), std::string(kMsgCannotOpenArchive).size());
    EXPECT_FALSE(asked);
    EXPECT_FALSE(out.Changed);
  }
  EXPECT_TRUE(TempEntries().empty());
}

// As root an archive is a bundle of task files: the same owner rule holds.
TEST_F(TaskArchiveTest, AsRootOnlyRootsOwnArchivesAreRead) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  TSettingsStore store(StorePath());
  SaveSettings(store, TaskKeyPath("T"), Task("/t"));
  const std::string zip = File("tasks.zip"), link = File("link.zip");
  ASSERT_EQ(ExportTaskArchive(store, {"T"}, zip).Text, "1 task(s) exported.");
  ASSERT_EQ(symlink(zip.c_str(), link.c_str()), 0);
  struct TCase {
    const char* Name;
    uid_t Owner;
    mode_t Mode;
    std::string Path;
    std::string Reason; // "" when read
  } cases[] = {
      {"another user's", 65534, 0644, zip, "it belongs to uid 65534, not to root"},
      {"others may write", 0, 0666, zip, "group or others can write it"},
      {"a link to root's own archive", 0, 0644, link, "it is a symbolic link"},
      {"root's own", 0, 0644, zip, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_EQ(chown(zip.c_str(), c.Owner, c.Owner), 0);
    ASSERT_EQ(chmod(zip.c_str(), c.Mode), 0);
    bool asked = false;
    const TArchiveImportOutcome out = ImportTaskArchive(store, c.Path, [&](const TUserMessage&) {
      asked = true;
      return true;
    });
    ASSERT_TRUE(out.Message);
    if (c.Reason.empty()) {
      EXPECT_EQ(out.Message->Text, "1 task(s) imported, 0 file(s) skipped.");
    } else {
      EXPECT_EQ(*out.Message, (TUserMessage{TMessageKind::mkError, std::string(kMsgCannotOpenArchive) + c.Reason +
                                                                        ". " + kRootInputRule}));
    }
    EXPECT_EQ(asked, c.Reason.empty());
  }
}

TEST_F(TaskArchiveTest, ImportAsksFirstAndCountsUnusableFiles) {
  const std::string zip = File("mixed.zip");
  MakeZip(zip, {
                   {"no-meta.ini", "[Task]\r\nSource=/file-name\r\n"},
                   {"same1.ini", "[Task]\r\nSource=/first\r\nWorkers=2\r\n[Meta]\r\nName=Same\r\n"},
                   {"same2.ini", "[Task]\r\nSource=/second\r\n[Meta]\r\nName=SAME\r\n", false},
                   {"empty-name.ini", "[Task]\r\nSource=/x\r\n[Meta]\r\nName=  \r\n"},
                   {"backslash.ini", "[Task]\r\nSource=/x\r\n[Meta]\r\nName=a\\b\r\n"},
                   {"meta-only.ini", "[Meta]\r\nName=M\r\n"},
                   {"notes.txt", "[Task]\r\nSource=/not-a-task-file\r\n"},
                   {"folder/", ""},
               });
  TSettingsStore store(StorePath());
  std::vector<std::string> seenInTemp;
  mode_t workMode = 0;
  // No: nothing is written, nothing shown, the working folder goes.
  TArchiveImportOutcome out = ImportTaskArchive(store, zip, [&](const TUserMessage& q) {
    EXPECT_EQ(q.Text.rfind("6 task file(s) found.", 0), 0u);
    seenInTemp = TempEntries();
    if (!seenInTemp.empty()) workMode = Mode(Temp + "/" + seenInTemp[0]);
    return false;
  });
  EXPECT_FALSE(out.Message);
  EXPECT_FALSE(out.Changed);
  EXPECT_TRUE(ListTaskNames(store).empty());
  ASSERT_EQ(seenInTemp.size(), 1u);
  // "Twinfold-{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
  const std::string& work = seenInTemp[0];
  ASSERT_EQ(work.size(), 9u + 38u) << work;
  EXPECT_EQ(work.substr(0, 10), "Twinfold-{");
  EXPECT_EQ(work.back(), '}');
  for (size_t i = 10; i + 1 < work.size(); ++i) {
    const bool dash = i == 18 || i == 23 || i == 28 || i == 33;
    EXPECT_TRUE(dash ? work[i] == '-' : std::isxdigit(static_cast<unsigned char>(work[i])) && !std::islower(work[i]))
        << work;
  }
  EXPECT_EQ(workMode, 0700u);
  EXPECT_TRUE(TempEntries().empty());

  out = ImportTaskArchive(store, zip, Answer(true));
  ASSERT_TRUE(out.Message);
  EXPECT_EQ(out.Message->Text, "3 task(s) imported, 3 file(s) skipped.");
  EXPECT_EQ(ListTaskNames(store), (std::vector<std::string>{"no-meta", "Same"}));
  // Files naming one task are applied one after the other, in archive order.
  auto same = store.OpenKeyReadOnly(TaskKeyPath("same"));
  EXPECT_EQ(ReadStringDef(*same, "Source", ""), "/second");
  EXPECT_EQ(ReadIntegerDef(*same, "Workers", 0), 2);

  const std::string none = File("none.zip");
  MakeZip(none, {{"readme.txt", "x"}});
  out = ImportTaskArchive(store, none, Answer(true));
  ASSERT_TRUE(out.Message);
  EXPECT_EQ(*out.Message, (TUserMessage{TMessageKind::mkInformation, kMsgNoTaskFiles}));
}

} // namespace
} // namespace twf
