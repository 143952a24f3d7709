#include <gtest/gtest.h>

#include <unistd.h>

#include "tasks/task_settings.h"
#include "tasks/settings_print.h"
#include "tasks/test_env.h"

namespace twf {
namespace {

class TaskSettingsTest : public test::TTempHome {
protected:
  // A task that differs from the defaults in every value.
  static TTaskSettings Changed() {
    TTaskSettings s;
    s.Source = "/srv/data ";
    s.Dest = "/mnt/Mirror";
    s.CompareMode = 2;
    s.Workers = 3;
    s.PreserveAcl = s.SkipNewer = true;
    s.AskConfirm = s.WarnMassDelete = false;
    s.WarnPct = 70;
    s.LogJson = s.WebhookEnabled = true;
    s.WebhookURL = "https://example.org/hook";
    s.WebhookAuthKey = "Prod";
    s.WebhookVerifySSL = s.VolCheckEnabled = false;
    s.RecycleDeletes = true;
    s.RetryLocked = false;
    s.VerifyEnabled = s.ArchiveEnabled = true;
    s.ArchiveFolder = "/arch";
    s.VerifyHash = 1;
    s.ShutdownDone = true;
    s.ExclPatternsEnabled = false;
    s.ExclPatterns = "*.tmp\r\n\r\n  spaced  \r\n*\\cache\\*  \r\n";
    s.ExclEmpty = s.ExclHiddenFiles = s.ExclHiddenDirs = s.ExclLargerEnabled = true;
    s.ExclLargerMB = 10000000;
    s.LogEnabled = true;
    s.LogFolder = "/logs";
    s.LogError = s.LogCopy = s.LogDelete = s.LogMkDir = s.LogRmDir = false;
    return s;
  }
  const std::vector<std::string> kAuthKeys = {"Prod", "Staging"};
};

TEST_F(TaskSettingsTest, NewTaskDefaults) {
  const TTaskSettings s;
  EXPECT_EQ(s.Workers, std::clamp<int32_t>(static_cast<int32_t>(sysconf(_SC_NPROCESSORS_ONLN)), 1, 64));
  EXPECT_EQ(s.LogFolder, Home + "/Documents/Quarlex Twinfold Logs");
  EXPECT_EQ(s.ArchiveFolder, Home + "/Documents/Quarlex Twinfold Archives");
  EXPECT_EQ(s.CompareMode, 0);
  EXPECT_EQ(s.WarnPct, 25);
  EXPECT_EQ(s.ExclLargerMB, 500);
  EXPECT_TRUE(s.AskConfirm && s.WarnMassDelete && s.WebhookVerifySSL && s.VolCheckEnabled && s.RetryLocked &&
              s.ExclPatternsEnabled && s.LogError && s.LogCopy && s.LogDelete && s.LogMkDir && s.LogRmDir);
  EXPECT_FALSE(s.PreserveAcl || s.LogEnabled || s.ArchiveEnabled || s.WebhookEnabled || s.ShutdownDone);
  EXPECT_TRUE(s.Source.empty() && s.Dest.empty() && s.WebhookURL.empty() && s.WebhookAuthKey.empty());

  const std::string& patterns = s.ExclPatterns;
  EXPECT_EQ(std::count(patterns.begin(), patterns.end(), '\n'), 9); // 10 lines
  EXPECT_EQ(patterns.substr(0, 28), "*\\desktop.ini\r\n*\\thumbs.db\r\n");
  EXPECT_EQ(patterns.substr(patterns.size() - 16), "\r\n*/.thumbnails/");

  TTaskSettings changed = Changed();
  ResetToDefaults(changed);
  EXPECT_EQ(changed, s);
}

TEST_F(TaskSettingsTest, DefaultFoldersFollowTheUserDirs) {
  ASSERT_EQ(mkdir(Config.c_str(), 0700), 0);
  WriteFile(Config + "/user-dirs.dirs", "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  EXPECT_EQ(DefaultLogsFolder(), Home + "/Dokumente/Quarlex Twinfold Logs");
  WriteFile(Config + "/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/data/docs/\"\n");
  EXPECT_EQ(DefaultArchiveFolder(), "/data/docs/Quarlex Twinfold Archives");
  unsetenv("HOME");
  unsetenv("XDG_CONFIG_HOME");
  // Without HOME the password database names the home folder; either way a
  // folder is produced, never an empty path.
  EXPECT_NE(DefaultLogsFolder(), "");
}

TEST_F(TaskSettingsTest, SaveAndLoadRoundTripEveryValue) {
  TSettingsStore store(StorePath());
  const TTaskSettings saved = Changed();
  ASSERT_TRUE(SaveSettings(store, TaskKeyPath("Nightly"), saved));
  auto key = store.OpenKeyReadOnly(TaskKeyPath("Nightly"));
  std::vector<std::string> order;
  for (const TSettingInfo& info : TaskSettingInfos()) order.push_back(info.Name);
  EXPECT_EQ(key->ValueNames(), order);
  EXPECT_EQ(key->GetValueType("PreserveAcl"), TValueType::vtInteger);

  TTaskSettings loaded;
  ASSERT_TRUE(LoadSettings(store, TaskKeyPath("nightly"), loaded, kAuthKeys));
  EXPECT_EQ(loaded, saved);
}

TEST_F(TaskSettingsTest, SaveKeepsForeignValuesAndNormalisesPatternLineBreaks) {
  TSettingsStore store(StorePath());
  store.OpenKey("Tasks\\T")->WriteString("Custom", "kept");
  TTaskSettings s;
  s.ExclPatterns = "a\nb\r\nc\rd";
  ASSERT_TRUE(SaveSettings(store, "Tasks\\T", s));
  auto key = store.OpenKeyReadOnly("Tasks\\T");
  EXPECT_EQ(ReadStringDef(*key, "Custom", ""), "kept");
  EXPECT_EQ(ReadStringDef(*key, "ExclPatterns", ""), "a\r\nb\r\nc\r\nd");
}

TEST_F(TaskSettingsTest, LoadFollowsTheControlRules) {
  struct Case {
    const char* what;
    std::function<void(TSettingsKey&)> store;
    // Applied to the expected result. An absent value leaves its member as
    // it was, except the two lists that fall back: WarnPct to 25 and the
    // auth key to "(none)".
    std::function<void(TTaskSettings&)> expect;
  } cases[] = {
      {"only the list values fall back", [](TSettingsKey&) {}, [](TTaskSettings&) {}},
      {"WarnPct 35 has no item", [](TSettingsKey& k) { k.WriteInteger("WarnPct", 35); },
       [](TTaskSettings& s) { s.WarnPct = 70; }},
      {"WarnPct 100", [](TSettingsKey& k) { k.WriteInteger("WarnPct", 100); },
       [](TTaskSettings& s) { s.WarnPct = 100; }},
      {"CompareMode 5", [](TSettingsKey& k) { k.WriteInteger("CompareMode", 5); }, [](TTaskSettings&) {}},
      {"CompareMode -1", [](TSettingsKey& k) { k.WriteInteger("CompareMode", -1); }, [](TTaskSettings&) {}},
      {"CompareMode 1", [](TSettingsKey& k) { k.WriteInteger("CompareMode", 1); },
       [](TTaskSettings& s) { s.CompareMode = 1; }},
      {"VerifyHash 2", [](TSettingsKey& k) { k.WriteInteger("VerifyHash", 2); }, [](TTaskSettings&) {}},
      {"Workers 200", [](TSettingsKey& k) { k.WriteInteger("Workers", 200); },
       [](TTaskSettings& s) { s.Workers = 64; }},
      {"Workers 0", [](TSettingsKey& k) { k.WriteInteger("Workers", 0); }, [](TTaskSettings& s) { s.Workers = 1; }},
      {"ExclLargerMB huge", [](TSettingsKey& k) { k.WriteInteger("ExclLargerMB", 2000000000); },
       [](TTaskSettings& s) { s.ExclLargerMB = 10000000; }},
      {"ExclLargerMB negative", [](TSettingsKey& k) { k.WriteInteger("ExclLargerMB", -4); },
       [](TTaskSettings& s) { s.ExclLargerMB = 1; }},
      {"any non-zero is true", [](TSettingsKey& k) { k.WriteInteger("ShutdownDone", -7); },
       [](TTaskSettings& s) { s.ShutdownDone = true; }},
      {"zero is false", [](TSettingsKey& k) { k.WriteInteger("LogJson", 0); },
       [](TTaskSettings& s) { s.LogJson = false; }},
      {"text where a number belongs", [](TSettingsKey& k) { k.WriteString("Workers", "8"); },
       [](TTaskSettings&) {}},
      {"number where a text belongs", [](TSettingsKey& k) { k.WriteInteger("Source", 5); }, [](TTaskSettings&) {}},
      {"binary boolean", [](TSettingsKey& k) { k.WriteBinary("LogCopy", "\x01"); }, [](TTaskSettings&) {}},
      {"auth key in other letter case", [](TSettingsKey& k) { k.WriteString("WebhookAuthKey", "STAGING"); },
       [](TTaskSettings& s) { s.WebhookAuthKey = "Staging"; }},
      {"deleted auth key", [](TSettingsKey& k) { k.WriteString("WebhookAuthKey", "Gone"); },
       [](TTaskSettings&) {}},
      {"auth key named like the none item", [](TSettingsKey& k) { k.WriteString("WebhookAuthKey", "(NONE)"); },
       [](TTaskSettings&) {}},
      {"empty string is a value", [](TSettingsKey& k) { k.WriteString("Dest", ""); },
       [](TTaskSettings& s) { s.Dest = ""; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TSettingsStore store(StorePath());
    store.DeleteKey("Tasks\\T");
    auto key = store.OpenKey("Tasks\\T");
    c.store(*key);
    TTaskSettings s = Changed(); // WarnPct 70, LogJson on, CompareMode 2 ...
    TTaskSettings want = s;
    want.WarnPct = 25;
    want.WebhookAuthKey = "";
    c.expect(want);
    ASSERT_TRUE(LoadSettings(store, "Tasks\\T", s, kAuthKeys));
    EXPECT_EQ(s, want);
  }
}

TEST_F(TaskSettingsTest, LoadOfAMissingKeyChangesNothing) {
  TSettingsStore store(StorePath());
  TTaskSettings s = Changed();
  EXPECT_FALSE(LoadSettings(store, TaskKeyPath("Missing"), s, kAuthKeys));
  EXPECT_EQ(s, Changed());
}

TEST_F(TaskSettingsTest, ADeletedAuthKeySavesAsNone) {
  TSettingsStore store(StorePath());
  TTaskSettings s;
  s.WebhookAuthKey = "Old";
  SaveSettings(store, "Tasks\\T", s);
  ASSERT_TRUE(LoadSettings(store, "Tasks\\T", s, kAuthKeys));
  SaveSettings(store, "Tasks\\T", s);
  EXPECT_EQ(ReadStringDef(*store.OpenKeyReadOnly("Tasks\\T"), "WebhookAuthKey", "?"), "");
}

TEST_F(TaskSettingsTest, SettingsMatchTaskComparesTheTasksValues) {
  TSettingsStore store(StorePath());
  const TTaskSettings s = Changed();
  auto prepare = [&](const TTaskSettings& working) {
    store.DeleteKey("Tasks\\T");
    SaveSettings(store, "Tasks\\T", s);
    SaveSettings(store, kRootKey, working);
  };
  prepare(s);
  EXPECT_TRUE(SettingsMatchTask(store, "T"));
  EXPECT_TRUE(SettingsMatchTask(store, "t"));
  EXPECT_FALSE(SettingsMatchTask(store, "Missing"));
  EXPECT_FALSE(SettingsMatchTask(store, ""));

  TTaskSettings w = s;
  w.Source = "/SRV/data ";
  prepare(w);
  EXPECT_FALSE(SettingsMatchTask(store, "T")); // letter case of a text matters

  w = s;
  w.ExclLargerMB = 1;
  prepare(w);
  EXPECT_FALSE(SettingsMatchTask(store, "T"));

  // A value only the task holds (an imported extra key) differs until the
  // working settings hold it too; one only the working settings hold does not.
  prepare(s);
  store.OpenKey("Tasks\\T")->WriteString("Extra", "x");
  EXPECT_FALSE(SettingsMatchTask(store, "T"));
  store.OpenKey("")->WriteString("Extra", "x");
  EXPECT_TRUE(SettingsMatchTask(store, "T"));
  store.OpenKey("")->WriteString("RootOnly", "y");
  EXPECT_TRUE(SettingsMatchTask(store, "T"));

  // Same text, different types: not equal.
  store.OpenKey("Tasks\\T")->WriteInteger("WebhookURL", 2024);
  store.OpenKey("")->WriteString("WebhookURL", "2024");
  EXPECT_FALSE(SettingsMatchTask(store, "T"));
  store.OpenKey("")->WriteInteger("WebhookURL", 2024);
  EXPECT_TRUE(SettingsMatchTask(store, "T"));

  // Values of another type are skipped, but must exist in the working settings.
  store.OpenKey("Tasks\\T")->WriteBinary("Blob", "a");
  EXPECT_FALSE(SettingsMatchTask(store, "T"));
  store.OpenKey("")->WriteBinary("Blob", "different");
  EXPECT_TRUE(SettingsMatchTask(store, "T"));
}

TEST_F(TaskSettingsTest, ReadHelpersFallBackOnAbsentAndMistypedValues) {
  TSettingsStore store(StorePath());
  auto key = store.OpenKey("K");
  key->WriteString("S", "text");
  key->WriteInteger("I", 0);
  key->WriteInteger("J", 9);
  EXPECT_EQ(ReadStringDef(*key, "S", "d"), "text");
  EXPECT_EQ(ReadStringDef(*key, "I", "d"), "d");
  EXPECT_EQ(ReadStringDef(*key, "none", "d"), "d");
  EXPECT_EQ(ReadIntegerDef(*key, "J", 1), 9);
  EXPECT_EQ(ReadIntegerDef(*key, "S", 1), 1);
  EXPECT_FALSE(ReadBoolDef(*key, "I", true));
  EXPECT_TRUE(ReadBoolDef(*key, "J", false));
  EXPECT_TRUE(ReadBoolDef(*key, "S", true));
}

TEST_F(TaskSettingsTest, EnablingRules) {
  TTaskSettings s;
  s.WarnMassDelete = false;
  s.WebhookEnabled = true;
  s.ArchiveEnabled = true;
  s.VerifyEnabled = false;
  const TControlEnabling e = EnablingRules(s);
  EXPECT_FALSE(e.cmbWarnPct);
  EXPECT_TRUE(e.edtWebhookURL && e.cmbAuthKey && e.chkVerifySSL);
  EXPECT_FALSE(e.chkRecycle);
  EXPECT_FALSE(e.cmbVerify);
  const TControlEnabling d = EnablingRules(TTaskSettings{});
  EXPECT_TRUE(d.cmbWarnPct && d.chkRecycle);
  EXPECT_FALSE(d.edtWebhookURL || d.cmbAuthKey || d.chkVerifySSL || d.cmbVerify);
}

TEST_F(TaskSettingsTest, WarnPctItemsAndTexts) {
  EXPECT_EQ(WarnPctItemIndex(25), 1);
  EXPECT_EQ(WarnPctItemIndex(100), 9);
  EXPECT_EQ(WarnPctItemIndex(35), -1);
  EXPECT_EQ(WarnPctFromText("30%"), 30);
  EXPECT_EQ(WarnPctFromText("abc"), 25);
  EXPECT_EQ(WarnPctFromText(""), 25);
}

TEST_F(TaskSettingsTest, HistoryRecords) {
  std::tm t{};
  t.tm_year = 125;
  t.tm_mon = 2;
  t.tm_mday = 14;
  t.tm_hour = 9;
  t.tm_min = 5;
  struct Case {
    int errors;
    bool cancelled, dry;
    const char* want;
  } cases[] = {
      {0, false, false, "2025-03-14 09:05 - success"},
      {-1, false, false, "2025-03-14 09:05 - success"},
      {1, false, false, "2025-03-14 09:05 - 1 error(s)"},
      {3, false, true, "2025-03-14 09:05 - 3 error(s) (dry run)"},
      {3, true, true, "2025-03-14 09:05 - cancelled (dry run)"},
      {0, true, false, "2025-03-14 09:05 - cancelled"},
  };
  for (const Case& c : cases) EXPECT_EQ(TaskHistoryText(t, c.errors, c.cancelled, c.dry), c.want);

  TSettingsStore store(StorePath());
  ASSERT_TRUE(AddTaskHistory(store, "Nightly", 2, false, false));
  ASSERT_TRUE(AddTaskHistory(store, "Nightly", 0, false, true)); // replaces the previous record
  auto history = store.OpenKeyReadOnly(kTaskHistoryKey);
  ASSERT_TRUE(history);
  EXPECT_EQ(history->ValueNames(), std::vector<std::string>{"Nightly"});
  const std::string text = ReadStringDef(*history, "Nightly", "");
  EXPECT_EQ(text.size(), std::string("2025-03-14 09:05 - success (dry run)").size());
  EXPECT_EQ(text.substr(16), " - success (dry run)");
  EXPECT_FALSE(AddTaskHistory(store, "", 0, false, false));
}

TEST_F(TaskSettingsTest, TaskNamesAreListedWithoutRegardToCase) {
  TSettingsStore store(StorePath());
  EXPECT_TRUE(ListTaskNames(store).empty());
  for (const char* n : {"beta", "Alpha", "gamma", "Zulu", "alpha2"}) store.OpenKey(TaskKeyPath(n));
  EXPECT_EQ(ListTaskNames(store), (std::vector<std::string>{"Alpha", "alpha2", "beta", "gamma", "Zulu"}));
}

} // namespace
} // namespace twf
