#include <gtest/gtest.h>

#include <unistd.h>

#include "tasks/settings_print.h"
#include "tasks/task_files.h"
#include "tasks/task_input.h"
#include "tasks/test_env.h"

namespace twf {
namespace {

class TaskFilesTest : public test::TTempHome {
protected:
  std::string File(const std::string& name) const { return Root + "/" + name; }

  static TTaskSettings Sample() {
    TTaskSettings s;
    s.Source = "/srv/data";
    s.Dest = "/mnt/mirror";
    s.CompareMode = 2;
    s.Workers = 5;
    s.WarnPct = 40;
    s.WebhookEnabled = true;
    s.WebhookURL = "https://example.org/h";
    s.WebhookAuthKey = "Prod";
    s.VerifyEnabled = true;
    s.VerifyHash = 1;
    s.ExclPatterns = "*.tmp  \r\n\r\n  spaced\r\n*\\cache\\*\r\n";
    s.ExclLargerMB = 1234;
    s.LogFolder = "2024";
    return s;
  }
};

TEST_F(TaskFilesTest, ExportWritesTheTaskInStoreOrder) {
  TSettingsStore store(StorePath());
  TTaskSettings s = Sample();
  s.ExclPatterns = "a\r\nb\r\nc";
  ASSERT_TRUE(SaveSettings(store, TaskKeyPath("Nightly"), s));
  store.OpenKey(TaskKeyPath("Nightly"))->WriteBinary("Blob", "x"); // other types are not written

  ASSERT_TRUE(ExportTaskFile(store, "Nightly", File("n.ini")));
  const std::string text = ReadFile(File("n.ini"));
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF[Task]\r\nSource=/srv/data\r\nDest=/mnt/mirror\r\nCompareMode=2\r\nWorkers=5\r\n", 0),
            0u);
  EXPECT_NE(text.find("\r\nPreserveAcl=0\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nExclPatterns=a|b|c\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nLogRmDir=1\r\nSymlinkMode=0\r\n\r\n[Meta]\r\nName=Nightly\r\n\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Blob"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + int(TaskSettingInfos().size()) + 1 + 1 + 1 + 1);

  EXPECT_FALSE(ExportTaskFile(store, "Missing", File("missing.ini")));
  EXPECT_FALSE(Exists(File("missing.ini")));
}

// A task named before "/" was refused must not aim the save dialog elsewhere.
TEST(TaskFileName, ExportSuggestionStaysInTheFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"Photos", "Photos.ini"},
      {"Photos: 2024 (copy)", "Photos: 2024 (copy).ini"},
      {"2024/25", "2024_25.ini"},
      {"../../.bashrc", ".._.._.bashrc.ini"},
  };
  for (const auto& [task, file] : cases) EXPECT_EQ(ExportTaskFileName(task), file) << task;
}

TEST_F(TaskFilesTest, ExportOntoAnExistingFileKeepsWhatItDoesNotWrite) {
  TSettingsStore store(StorePath());
  SaveSettings(store, TaskKeyPath("T"), Sample());
  WriteFile(File("t.ini"), "[Notes]\r\nWho=me\r\n[task]\r\nSource=/old\r\nExtra=kept\r\n");
  ASSERT_TRUE(ExportTaskFile(store, "T", File("t.ini")));
  const TIniDocument doc = TIniDocument::Parse(ReadFile(File("t.ini")));
  EXPECT_EQ(doc.ReadString("Notes", "Who", ""), "me");
  EXPECT_EQ(doc.ReadString("Task", "Extra", ""), "kept");
  EXPECT_EQ(doc.ReadString("Task", "Source", ""), "/srv/data");
  EXPECT_EQ(ReadFile(File("t.ini")).rfind("\xEF\xBB\xBF[Notes]\r\nWho=me\r\n\r\n[task]\r\n", 0), 0u);
}

TEST_F(TaskFilesTest, ImportChoosesTheValueTypes) {
  WriteFile(File("i.ini"),
            "[Task]\r\n"
            "LogFolder=2024\r\n"
            "Source=-5\r\n"
            "WebhookURL=2024\r\n"
            "WebhookAuthKey=2024\r\n"
            "Workers=$10\r\n"
            "CompareMode=abc\r\n"
            "Custom=12\r\n"
            "Custom2=12abc\r\n"
            "ExclPatterns=a||b|\r\n"
            "Other=x|y\r\n"
            "[Meta]\r\nName=ignored\r\n");
  TSettingsStore store(StorePath());
  ASSERT_TRUE(ImportTaskFile(store, File("i.ini"), "T"));
  auto key = store.OpenKeyReadOnly(TaskKeyPath("T"));
  ASSERT_TRUE(key);
  struct Case {
    const char* name;
    TValueType type;
    const char* text;
    int32_t number;
  } cases[] = {
      {"LogFolder", TValueType::vtString, "2024", 0},
      {"Source", TValueType::vtString, "-5", 0},
      // Texts of the task's own settings stay texts, or loading would drop them.
      {"WebhookURL", TValueType::vtString, "2024", 0},
      {"WebhookAuthKey", TValueType::vtString, "2024", 0},
      {"Workers", TValueType::vtInteger, nullptr, 16},
      {"CompareMode", TValueType::vtString, "abc", 0},
      {"Custom", TValueType::vtInteger, nullptr, 12},
      {"Custom2", TValueType::vtString, "12abc", 0},
      {"ExclPatterns", TValueType::vtString, "a\r\n\r\nb\r\n", 0},
      {"Other", TValueType::vtString, "x|y", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(key->GetValueType(c.name), c.type);
    if (c.text) EXPECT_EQ(ReadStringDef(*key, c.name, "?"), c.text);
    else EXPECT_EQ(ReadIntegerDef(*key, c.name, -1), c.number);
  }
  EXPECT_FALSE(key->ValueExists("Name")); // [Meta] is not stored
}

TEST_F(TaskFilesTest, ImportAddsToTheTaskAndRefusesFilesWithoutTaskKeys) {
  TSettingsStore store(StorePath());
  SaveSettings(store, TaskKeyPath("T"), Sample());
  WriteFile(File("part.ini"), "[Task]\r\nDest=/new\r\n");
  ASSERT_TRUE(ImportTaskFile(store, File("part.ini"), "t"));
  TTaskSettings loaded;
  LoadSettings(store, TaskKeyPath("T"), loaded, {"Prod"});
  TTaskSettings want = Sample();
  want.Dest = "/new";
  EXPECT_EQ(loaded, want);

  for (const char* text : {"[Meta]\r\nName=x\r\n", "[Task]\r\n[Meta]\r\nName=x\r\n", "", "Source=/a\r\n"}) {
    WriteFile(File("bad.ini"), text);
    EXPECT_FALSE(ImportTaskFile(store, File("bad.ini"), "Bad")) << text;
  }
  EXPECT_FALSE(ImportTaskFile(store, File("missing.ini"), "Bad"));
  EXPECT_FALSE(ImportTaskFile(store, File("part.ini"), "a\\b"));
  EXPECT_FALSE(ImportTaskFile(store, File("part.ini"), "2024/25"));
  EXPECT_FALSE(ImportTaskFile(store, File("part.ini"), ""));
  EXPECT_EQ(ListTaskNames(store), std::vector<std::string>{"T"});
}

TEST_F(TaskFilesTest, SaveExportImportLoadGivesTheSameTask) {
  TSettingsStore store(StorePath());
  const TTaskSettings s = Sample();
  ASSERT_TRUE(SaveSettings(store, TaskKeyPath("Original"), s));
  ASSERT_TRUE(ExportTaskFile(store, "Original", File("o.ini")));
  ASSERT_TRUE(ImportTaskFile(store, File("o.ini"), "Copy"));
  TTaskSettings loaded;
  ASSERT_TRUE(LoadSettings(store, TaskKeyPath("Copy"), loaded, {"Prod"}));
  EXPECT_EQ(loaded, s);
  SaveSettings(store, kRootKey, loaded);
  EXPECT_TRUE(SettingsMatchTask(store, "Copy"));
  EXPECT_TRUE(SettingsMatchTask(store, "Original"));
}

TEST_F(TaskFilesTest, BlanksAtTheEndsOfAValueDoNotSurviveAFile) {
  TSettingsStore store(StorePath());
  TTaskSettings s = Sample();
  s.Source = "/srv/data ";
  SaveSettings(store, TaskKeyPath("T"), s);
  ExportTaskFile(store, "T", File("t.ini"));
  EXPECT_NE(ReadFile(File("t.ini")).find("Source=/srv/data \r\n"), std::string::npos);
  ImportTaskFile(store, File("t.ini"), "T");
  EXPECT_EQ(ReadStringDef(*store.OpenKeyReadOnly(TaskKeyPath("T")), "Source", ""), "/srv/data");
}

TEST_F(TaskFilesTest, AWindowsTaskFileImports) {
  const std::string fixture = std::string(TWF_SOURCE_DIR) + "/tests/fixtures/tasks/windows_task.ini";
  TIniDocument doc;
  ASSERT_TRUE(doc.LoadFromFile(fixture));
  EXPECT_EQ(TaskNameFromFile(doc, fixture), "Fotos \xe2\x80\x93 NAS");
  TSettingsStore store(StorePath());
  ASSERT_TRUE(ImportTaskFile(store, fixture, "Fotos"));
  TTaskSettings s;
  ASSERT_TRUE(LoadSettings(store, TaskKeyPath("Fotos"), s, {}));
  EXPECT_EQ(s.Source, "D:\\Photos");
  EXPECT_EQ(s.Dest, "\\\\nas\\backup\\Photos");
  EXPECT_EQ(s.ExclPatterns, "*\\desktop.ini\r\n*\\thumbs.db\r\n\r\n*.tmp  \r\n?:\\Windows\\Temp\\*");
  EXPECT_EQ(s.LogFolder, "C:\\Users\\M\xc3\xbcller\\Documents\\Quarlex Twinfold Logs");
  EXPECT_EQ(s.WarnPct, 40);
  EXPECT_EQ(s.Workers, 8);
  EXPECT_TRUE(s.ExclHiddenFiles);
  EXPECT_FALSE(s.LogMkDir);
}

TEST_F(TaskFilesTest, ApplyTaskFileSetsTwentyNineValues) {
  TTaskSettings fromFile = Sample();
  fromFile.WarnPct = 90;
  fromFile.LogJson = true;
  fromFile.WebhookEnabled = false;
  fromFile.WebhookURL = "https://other.example/";
  fromFile.WebhookAuthKey = "Other";
  fromFile.WebhookVerifySSL = false;
  fromFile.VolCheckEnabled = false;
  fromFile.PreserveAcl = fromFile.ShutdownDone = fromFile.ArchiveEnabled = true;
  TSettingsStore store(StorePath());
  SaveSettings(store, TaskKeyPath("F"), fromFile);
  ASSERT_TRUE(ExportTaskFile(store, "F", File("f.ini")));

  TTaskSettings window; // the working settings
  window.WebhookURL = "https://kept.example/";
  std::string name;
  ASSERT_TRUE(ApplyTaskFile(File("f.ini"), window, &name));
  EXPECT_EQ(name, "F");
  TTaskSettings want = fromFile;
  // The seven that a task file never sets keep the window's values.
  const TTaskSettings before = [] {
    TTaskSettings b;
    b.WebhookURL = "https://kept.example/";
    return b;
  }();
  want.WarnPct = before.WarnPct;
  want.LogJson = before.LogJson;
  want.WebhookEnabled = before.WebhookEnabled;
  want.WebhookURL = before.WebhookURL;
  want.WebhookAuthKey = before.WebhookAuthKey;
  want.WebhookVerifySSL = before.WebhookVerifySSL;
  want.VolCheckEnabled = before.VolCheckEnabled;
  EXPECT_EQ(window, want);
}

TEST_F(TaskFilesTest, ApplyTaskFileReadsNumbersByTheImportRule) {
  WriteFile(File("n.ini"),
            "[Task]\r\nWorkers=200\r\nExclLargerMB=0x0\r\nCompareMode=3\r\nVerifyHash=$1\r\n"
            "LogError=no\r\nLogCopy=0\r\nSkipNewer=-1\r\nSource=\r\n");
  TTaskSettings s;
  s.Source = "/before";
  ASSERT_TRUE(ApplyTaskFile(File("n.ini"), s));
  EXPECT_EQ(s.Workers, 64);
  EXPECT_EQ(s.ExclLargerMB, 1);
  EXPECT_EQ(s.CompareMode, 0); // 3 is no item: unchanged
  EXPECT_EQ(s.VerifyHash, 1);
  EXPECT_TRUE(s.LogError); // not a number: unchanged
  EXPECT_FALSE(s.LogCopy);
  EXPECT_TRUE(s.SkipNewer);
  EXPECT_EQ(s.Source, ""); // an empty value is a value

  std::string name = "unchanged";
  TTaskSettings untouched;
  EXPECT_FALSE(ApplyTaskFile(File("missing.ini"), untouched, &name));
  EXPECT_EQ(untouched, TTaskSettings{});
  EXPECT_EQ(name, "unchanged");
  ApplyTaskFile(File("n.ini"), untouched, &name);
  EXPECT_EQ(name, "n"); // no [Meta]: the file name
}

TEST(SafeFileNameTest, ReplacesWhatFileSystemsRefuse) {
  struct Case {
    std::string name, want;
  } cases[] = {
      {"a:b", "a_b"},
      {"a/b", "a_b"},
      {"?", "_"},
      {"\"*/:<>?\\|", "_________"},
      {std::string("tab\there\x01"), "tab_here_"},
      {"  padded  ", "padded"},
      {"   ", "Task"},
      {"", "Task"},
      {"Über Größe \xe2\x80\x93 \xf0\x9f\x93\x81", "Über Größe \xe2\x80\x93 \xf0\x9f\x93\x81"},
      {"bad\xff\xc3utf8", "bad__utf8"},
      {"..", ".."},
  };
  for (const Case& c : cases) EXPECT_EQ(SafeFileName(c.name), c.want) << c.name;
}

TEST(SafeFileNameTest, EntryNamesAreUniqueWithoutRegardToCase) {
  EXPECT_EQ(UniqueEntryNames({"a:b", "a/b", "a|b"}), (std::vector<std::string>{"a_b", "a_b (2)", "a_b (3)"}));
  EXPECT_EQ(UniqueEntryNames({"A?", "a*"}), (std::vector<std::string>{"A_", "a_ (2)"}));
  EXPECT_EQ(UniqueEntryNames({"x (2)", "x", "X"}), (std::vector<std::string>{"x (2)", "x", "X (3)"}));
  EXPECT_EQ(UniqueEntryNames({"Straße", "STRASSE"}), (std::vector<std::string>{"Straße", "STRASSE (2)"}));

  // Long names are shortened at a character boundary so the file can be created.
  const std::string longName = std::string(199, 'a') + "\xc3\xa4" + std::string(100, 'b');
  const std::vector<std::string> names = UniqueEntryNames({longName, longName});
  EXPECT_EQ(names[0], std::string(199, 'a'));
  EXPECT_EQ(names[1], std::string(199, 'a') + " (2)");
}

// As root a task file decides what root copies and deletes and where the
// report goes: one that is not root's alone is refused (as cron and sudo
// refuse such tables), by every way in, before any question is asked.
TEST_F(TaskFilesTest, AsRootOnlyRootsOwnTaskFilesAreRead) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  struct TCase {
    const char* Name;
    uid_t Owner;
    mode_t Mode;
    bool Link;
    std::string Reason; // "" when read
  } cases[] = {
      {"root's own", 0, 0644, false, ""},
      {"root's own, read-only", 0, 0400, false, ""},
      {"another user's", 65534, 0644, false, "it belongs to uid 65534, not to root"},
      {"another user's, private", 65534, 0600, false, "it belongs to uid 65534, not to root"},
      {"group may write", 0, 0664, false, "group or others can write it"},
      {"others may write", 0, 0646, false, "group or others can write it"},
      {"a link to root's own file", 0, 0644, true, "it is a symbolic link"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string real = File("job.ini"), link = File("link.ini");
    unlink(real.c_str());
    unlink(link.c_str());
    WriteFile(real, "[Task]\r\nSource=/from-file\r\n[Meta]\r\nName=Job\r\n");
    ASSERT_EQ(chown(real.c_str(), c.Owner, c.Owner), 0);
    ASSERT_EQ(chmod(real.c_str(), c.Mode), 0);
    if (c.Link) {
      ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    }
    const std::string path = c.Link ? link : real;
    const std::string want =
        c.Reason.empty() ? "" : "Task file \"" + path + "\" is refused: " + c.Reason + ". " + kRootInputRule;

    TIniDocument doc;
    std::string message = "stale";
    EXPECT_EQ(LoadTaskFile(path, doc, &message), c.Reason.empty() ? TTaskFileLoad::tlOk : TTaskFileLoad::tlRefused);
    EXPECT_EQ(message, want);
    EXPECT_EQ(doc.ReadString("Task", "Source", ""), c.Reason.empty() ? "/from-file" : "");

    TTaskSettings s;
    EXPECT_EQ(ApplyTaskFile(path, s), c.Reason.empty());
    EXPECT_EQ(s.Source, c.Reason.empty() ? "/from-file" : "");

    TSettingsStore store(StorePath());
    store.DeleteKey(kTasksKey);
    EXPECT_EQ(ImportTaskFile(store, path, "Job"), c.Reason.empty());
    store.DeleteKey(kTasksKey);
    bool askedName = false;
    const TImportTaskOutcome out = ImportTaskCommand(
        store, path, [&](const std::string& proposed) -> std::optional<std::string> {
          askedName = true;
          return proposed;
        },
        [](const TUserMessage&) { return true; });
    EXPECT_EQ(out.Imported, c.Reason.empty());
    EXPECT_EQ(askedName, c.Reason.empty());
    if (c.Reason.empty()) {
      EXPECT_FALSE(out.Message);
    } else {
      EXPECT_EQ(out.Message, (TUserMessage{TMessageKind::mkError, want}));
    }
    EXPECT_EQ(store.KeyExists(TaskKeyPath("Job")), c.Reason.empty());
  }
}

// As root, the folders on a task file's path count too: someone who can
// change one of them can make the path lead to a file of root's that holds
// their words (a copy the mirror made of their own file, say).
TEST_F(TaskFilesTest, AsRootTheWayToATaskFileMustBeRootsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  const uid_t other = 65534;
  const std::string safe = File("safe");
  ASSERT_EQ(mkdir(safe.c_str(), 0755), 0);
  WriteFile(safe + "/job.ini", "[Task]\r\nSource=/from-file\r\n");
  struct TCase {
    const char* Name;
    mode_t FolderMode;
    uid_t FolderOwner;
    const char* LinkTo; // the folder "way" becomes a link to this, or is a real folder when null
    uid_t LinkOwner;
    std::string Reason; // "%w" for the way's folder, "%l" for the link; "" when read
  } cases[] = {
      {"a folder of root's", 0755, 0, nullptr, 0, ""},
      {"a sticky folder anyone may write", 01777, 0, nullptr, 0, ""},
      {"a folder another user owns", 0755, other, nullptr, 0, "the folder \"%w\" belongs to uid 65534, not to root"},
      {"a folder others may write", 0777, 0, nullptr, 0, "others can write the folder \"%w\""},
      {"a folder the group may write", 0775, 0, nullptr, 0, "others can write the folder \"%w\""},
      {"root's link to a folder of root's", 0755, 0, "safe", 0, ""},
      {"another user's link to a folder of root's", 0755, 0, "safe", other,
       "the symbolic link \"%l\" belongs to uid 65534, not to root"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string way = File("way");
    RemoveTree(way);
    unlink(way.c_str());
    if (c.LinkTo) {
      ASSERT_EQ(symlink(c.LinkTo, way.c_str()), 0);
      ASSERT_EQ(lchown(way.c_str(), c.LinkOwner, c.LinkOwner), 0);
    } else {
      ASSERT_EQ(mkdir(way.c_str(), 0700), 0);
      WriteFile(way + "/job.ini", "[Task]\r\nSource=/from-file\r\n");
      ASSERT_EQ(chmod((way + "/job.ini").c_str(), 0644), 0);
      ASSERT_EQ(chown(way.c_str(), c.FolderOwner, c.FolderOwner), 0);
      ASSERT_EQ(chmod(way.c_str(), c.FolderMode), 0);
    }
    const std::string path = way + "/job.ini";
    std::string want = c.Reason;
    if (size_t at = want.find("%w"); at != std::string::npos) want.replace(at, 2, way);
    if (size_t at = want.find("%l"); at != std::string::npos) want.replace(at, 2, way);
    if (!want.empty()) want = "Task file \"" + path + "\" is refused: " + want + ". " + kRootInputRule;

    TIniDocument doc;
    std::string message;
    EXPECT_EQ(LoadTaskFile(path, doc, &message), want.empty() ? TTaskFileLoad::tlOk : TTaskFileLoad::tlRefused);
    EXPECT_EQ(message, want);
    EXPECT_EQ(doc.ReadString("Task", "Source", ""), want.empty() ? "/from-file" : "");
  }
}

class ImportCommandTest : public TaskFilesTest {};

TEST_F(ImportCommandTest, SingleImportFlow) {
  struct Case {
    const char* what;
    std::string file;
    std::optional<std::string> answer; // nullopt: Cancel
    bool exists;
    bool overwrite;
    std::string proposed;
    bool imported;
    std::string taskName;
    std::optional<std::string> message;
  } cases[] = {
      {"name from Meta, trimmed", "[Task]\r\nSource=/a\r\n[Meta]\r\nName=  Spaced  \r\n", "  Spaced  ", false, false,
       "Spaced", true, "Spaced", std::nullopt},
      {"name from the file", "[Task]\r\nSource=/a\r\n", "task", false, false, "task", true, "task", std::nullopt},
      {"cancelled", "[Task]\r\nSource=/a\r\n", std::nullopt, false, false, "task", false, "", std::nullopt},
      {"blank answer", "[Task]\r\nSource=/a\r\n", "   ", false, false, "task", false, "", std::nullopt},
      {"backslash", "[Task]\r\nSource=/a\r\n", "a\\b", false, false, "task", false, "", kMsgTaskNameBackslash},
      {"slash", "[Task]\r\nSource=/a\r\n", "../a", false, false, "task", false, "", kMsgTaskNameSlash},
      {"exists, No", "[Task]\r\nSource=/a\r\n", "Existing", true, false, "task", false, "", std::nullopt},
      {"exists, Yes", "[Task]\r\nSource=/a\r\n", "EXISTING", true, true, "task", true, "EXISTING", std::nullopt},
      {"Untitled is accepted", "[Task]\r\nSource=/a\r\n", "Untitled", false, false, "task", true, "Untitled",
       std::nullopt},
      {"only Meta", "[Meta]\r\nName=M\r\n", "M", false, false, "M", false, "", kMsgNoTaskSection},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TSettingsStore store(StorePath());
    store.DeleteKey(kTasksKey);
    if (c.exists) store.OpenKey(TaskKeyPath("Existing"))->WriteString("Source", "/old");
    WriteFile(File("task.ini"), c.file);
    std::string proposed;
    int questions = 0;
    const TImportTaskOutcome out = ImportTaskCommand(
        store, File("task.ini"),
        [&](const std::string& p) {
          proposed = p;
          return c.answer;
        },
        [&](const TUserMessage& q) {
          ++questions;
          EXPECT_EQ(q, (TUserMessage{TMessageKind::mkConfirmation, kMsgOverwriteTask, true}));
          return c.overwrite;
        });
    EXPECT_EQ(proposed, c.proposed);
    EXPECT_EQ(questions, c.exists && c.answer && !TaskNameCharacterRefusal(*c.answer) ? 1 : 0);
    EXPECT_EQ(out.Imported, c.imported);
    EXPECT_EQ(out.TaskName, c.taskName);
    ASSERT_EQ(out.Message.has_value(), c.message.has_value());
    if (c.message) {
      EXPECT_EQ(*out.Message, (TUserMessage{TMessageKind::mkError, *c.message}));
    }
    if (c.imported) {
      EXPECT_EQ(ReadStringDef(*store.OpenKeyReadOnly(TaskKeyPath(c.taskName)), "Source", ""), "/a");
    }
    if (c.exists && !c.overwrite) {
      EXPECT_EQ(ReadStringDef(*store.OpenKeyReadOnly(TaskKeyPath("Existing")), "Source", ""), "/old");
    }
  }
}

} // namespace
} // namespace twf
