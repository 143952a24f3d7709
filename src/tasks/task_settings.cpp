#include "tasks/task_settings.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "tasks/task_fields.h"

namespace twf {

using detail::TField;
using detail::TFieldRule;

namespace {

using S = TSettingType;
using R = TFieldRule;
using T = TTaskSettings;

// The one list of the task's settings: the store, task files, the window's
// controls and the defaults all follow it. A new setting is a new row.
const TField kFields[] = {
    {{"Source", S::stString, "edtSource"}, &T::Source, R::frText},
    {{"Dest", S::stString, "edtDest"}, &T::Dest, R::frText},
    {{"CompareMode", S::stInteger, "cmbCompare"}, &T::CompareMode, R::frIndex, 0, int32_t(kCompareModeItems.size())},
    {{"Workers", S::stInteger, "spinWorkers"}, &T::Workers, R::frRange, kWorkersMin, kWorkersMax},
    {{"PreserveAcl", S::stBoolean, "chkAcl"}, &T::PreserveAcl, R::frBool},
    {{"SkipNewer", S::stBoolean, "chkSkipNewer"}, &T::SkipNewer, R::frBool},
    {{"AskConfirm", S::stBoolean, "chkAskConfirm"}, &T::AskConfirm, R::frBool},
    {{"WarnMassDelete", S::stBoolean, "chkWarnMassDelete"}, &T::WarnMassDelete, R::frBool},
    {{"WarnPct", S::stInteger, "cmbWarnPct"}, &T::WarnPct, R::frWarnPct},
    {{"LogJson", S::stBoolean, "chkLogJson"}, &T::LogJson, R::frBool},
    {{"WebhookEnabled", S::stBoolean, "chkWebhook"}, &T::WebhookEnabled, R::frBool},
    {{"WebhookURL", S::stString, "edtWebhookURL"}, &T::WebhookURL, R::frText},
    {{"WebhookAuthKey", S::stString, "cmbAuthKey"}, &T::WebhookAuthKey, R::frAuthKey},
    {{"WebhookVerifySSL", S::stBoolean, "chkVerifySSL"}, &T::WebhookVerifySSL, R::frBool},
    {{"VolCheckEnabled", S::stBoolean, "chkVolCheck"}, &T::VolCheckEnabled, R::frBool},
    {{"RecycleDeletes", S::stBoolean, "chkRecycle"}, &T::RecycleDeletes, R::frBool},
    {{"RetryLocked", S::stBoolean, "chkRetry"}, &T::RetryLocked, R::frBool},
    {{"VerifyEnabled", S::stBoolean, "chkVerify"}, &T::VerifyEnabled, R::frBool},
    {{"ArchiveEnabled", S::stBoolean, "chkArchive"}, &T::ArchiveEnabled, R::frBool},
    {{"ArchiveFolder", S::stString, "edtArchiveFolder"}, &T::ArchiveFolder, R::frText},
    {{"VerifyHash", S::stInteger, "cmbVerify"}, &T::VerifyHash, R::frIndex, 0, int32_t(kVerifyHashItems.size())},
    {{"ShutdownDone", S::stBoolean, "chkShutdown"}, &T::ShutdownDone, R::frBool},
    {{"ExclPatternsEnabled", S::stBoolean, "chkExclPatterns"}, &T::ExclPatternsEnabled, R::frBool},
    {{"ExclPatterns", S::stString, "memoExclusions"}, &T::ExclPatterns, R::frText},
    {{"ExclEmpty", S::stBoolean, "chkExclEmpty"}, &T::ExclEmpty, R::frBool},
    {{"ExclHiddenFiles", S::stBoolean, "chkExclHiddenFiles"}, &T::ExclHiddenFiles, R::frBool},
    {{"ExclHiddenDirs", S::stBoolean, "chkExclHiddenDirs"}, &T::ExclHiddenDirs, R::frBool},
    {{"ExclLargerEnabled", S::stBoolean, "chkExclLarger"}, &T::ExclLargerEnabled, R::frBool},
    {{"ExclLargerMB", S::stInteger, "spinExclMB"}, &T::ExclLargerMB, R::frRange, kExclLargerMBMin, kExclLargerMBMax},
    {{"LogEnabled", S::stBoolean, "chkLogFile"}, &T::LogEnabled, R::frBool},
    {{"LogFolder", S::stString, "edtLogFolder"}, &T::LogFolder, R::frText},
    {{"LogError", S::stBoolean, "chkLogError"}, &T::LogError, R::frBool},
    {{"LogCopy", S::stBoolean, "chkLogCopy"}, &T::LogCopy, R::frBool},
    {{"LogDelete", S::stBoolean, "chkLogDelete"}, &T::LogDelete, R::frBool},
    {{"LogMkDir", S::stBoolean, "chkLogMkDir"}, &T::LogMkDir, R::frBool},
    {{"LogRmDir", S::stBoolean, "chkLogRmDir"}, &T::LogRmDir, R::frBool},
    {{"SymlinkMode", S::stInteger, "cmbSymlinks"}, &T::SymlinkMode, R::frIndex, 0, int32_t(kSymlinkModeItems.size())},
};

const std::array<TSettingInfo, std::size(kFields)> kInfos = [] {
  std::array<TSettingInfo, std::size(kFields)> infos{};
  for (size_t i = 0; i < infos.size(); ++i) infos[i] = kFields[i].Info;
  return infos;
}();

} // namespace

namespace detail {

std::span<const TField> TaskFields() { return kFields; }

const TField* FindTaskField(std::string_view name) {
  for (const TField& f : kFields)
    if (SameKeyName(f.Info.Name, name)) return &f;
  return nullptr;
}

} // namespace detail

std::string TaskKeyPath(const std::string& taskName) { return std::string(kTasksKey) + "\\" + taskName; }

std::vector<std::string> ListTaskNames(TSettingsStore& store) {
  std::vector<std::string> names;
  if (auto tasks = store.OpenKeyReadOnly(kTasksKey)) names = tasks->SubKeyNames();
  std::sort(names.begin(), names.end(), KeyNameLess);
  return names;
}

std::span<const TSettingInfo> TaskSettingInfos() { return kInfos; }

bool IsTaskSettingName(std::string_view name) { return detail::FindTaskField(name) != nullptr; }

bool TaskSettingType(std::string_view name, TSettingType& type) {
  const TField* f = detail::FindTaskField(name);
  if (!f) return false;
  type = f->Info.Type;
  return true;
}

TControlEnabling EnablingRules(const TTaskSettings& s) {
  TControlEnabling e;
  e.cmbWarnPct = s.WarnMassDelete;
  e.edtWebhookURL = e.cmbAuthKey = e.chkVerifySSL = s.WebhookEnabled;
  e.chkRecycle = !s.ArchiveEnabled;
  e.cmbVerify = s.VerifyEnabled;
  return e;
}

void ResetToDefaults(TTaskSettings& s) { s = TTaskSettings{}; }

std::string MatchAuthKeyName(const std::string& name, const std::vector<std::string>& names) {
  // The list's item 0 is "(none)" itself, so that name selects nothing.
  if (name.empty() || SameKeyName(name, kAuthKeyNoneItem)) return {};
  for (const std::string& n : names)
    if (SameKeyName(n, name)) return n;
  return {};
}

int WarnPctItemIndex(int32_t pct) {
  const std::string text = std::to_string(pct) + "%";
  for (size_t i = 0; i < kWarnPctItems.size(); ++i)
    if (text == kWarnPctItems[i]) return static_cast<int>(i);
  return -1;
}

int32_t WarnPctFromText(std::string_view itemText) {
  std::string text(itemText);
  if (const size_t pct = text.find('%'); pct != std::string::npos) text.erase(pct, 1);
  int32_t v = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first; // a leading "+" is a valid decimal integer
  const auto [end, ec] = std::from_chars(first, last, v);
  if (ec != std::errc() || end != last || first == last) return kWarnPctDefault;
  return v;
}

std::string NormalizeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ReadStringDef(const TSettingsKey& key, const std::string& name, const std::string& def) {
  std::string v;
  return key.ReadString(name, v) ? v : def;
}

int32_t ReadIntegerDef(const TSettingsKey& key, const std::string& name, int32_t def) {
  int32_t v = 0;
  return key.ReadInteger(name, v) ? v : def;
}

bool ReadBoolDef(const TSettingsKey& key, const std::string& name, bool def) {
  int32_t v = 0;
  return key.ReadInteger(name, v) ? v != 0 : def;
}

bool SaveSettings(TSettingsStore& store, const std::string& keyPath, const TTaskSettings& s) {
  return store.Transact([&] {
    std::optional<TSettingsKey> key = store.OpenKey(keyPath);
    if (!key) return false;
    for (const TField& f : kFields) {
      bool ok = false;
      if (auto str = std::get_if<std::string T::*>(&f.Member)) {
        // The pattern list is stored with CR LF, whatever line breaks the
        // widget hands over, so that task files can join its lines.
        ok = *str == &T::ExclPatterns ? key->WriteString(f.Info.Name, NormalizeLineBreaks(s.*(*str)))
                                                             : key->WriteString(f.Info.Name, s.*(*str));
      } else if (auto num = std::get_if<int32_t T::*>(&f.Member)) {
        ok = key->WriteInteger(f.Info.Name, s.*(*num));
      } else {
        ok = key->WriteInteger(f.Info.Name, s.*std::get<bool T::*>(f.Member) ? 1 : 0);
      }
      if (!ok) return false;
    }
    return true;
  });
}

bool LoadSettings(TSettingsStore& store, const std::string& keyPath, TTaskSettings& s,
                  const std::vector<std::string>& authKeyNames) {
  const std::optional<TSettingsKey> key = store.OpenKeyReadOnly(keyPath);
  if (!key) return false;
  TTaskSettings loaded = s;
  for (const TField& f : kFields) {
    const std::string name = f.Info.Name;
    switch (f.Rule) {
    case R::frText: {
      std::string& v = loaded.*std::get<std::string T::*>(f.Member);
      v = ReadStringDef(*key, name, v);
      break;
    }
    case R::frAuthKey: {
      std::string& v = loaded.*std::get<std::string T::*>(f.Member);
      v = MatchAuthKeyName(ReadStringDef(*key, name, ""), authKeyNames);
      break;
    }
    case R::frBool: {
      bool& v = loaded.*std::get<bool T::*>(f.Member);
      v = ReadBoolDef(*key, name, v);
      break;
    }
    case R::frIndex: {
      int32_t& v = loaded.*std::get<int32_t T::*>(f.Member);
      const int32_t read = ReadIntegerDef(*key, name, v);
      if (read >= 0 && read < f.Limit) v = read;
      break;
    }
    case R::frRange: {
      int32_t& v = loaded.*std::get<int32_t T::*>(f.Member);
      v = std::clamp(ReadIntegerDef(*key, name, v), f.Min, f.Limit);
      break;
    }
    case R::frWarnPct: {
      int32_t& v = loaded.*std::get<int32_t T::*>(f.Member);
      const int32_t read = ReadIntegerDef(*key, name, kWarnPctDefault);
      if (WarnPctItemIndex(read) >= 0) v = read;
      break;
    }
    }
  }
  s = std::move(loaded);
  return true;
}

bool SettingsMatchTask(TSettingsStore& store, const std::string& taskName) {
  const std::optional<TSettingsKey> task = store.OpenKeyReadOnly(TaskKeyPath(taskName));
  const std::optional<TSettingsKey> root = store.OpenKeyReadOnly(kRootKey);
  if (!task || !root) return false;
  for (const std::string& name : task->ValueNames()) {
    if (!root->ValueExists(name)) return false;
    switch (task->GetValueType(name)) {
    case TValueType::vtString: {
      std::string a, b;
      // A working value of another type cannot equal the task's.
      if (!task->ReadString(name, a) || !root->ReadString(name, b) || a != b) return false;
      break;
    }
    case TValueType::vtInteger: {
      int32_t a = 0, b = 0;
      if (!task->ReadInteger(name, a) || !root->ReadInteger(name, b) || a != b) return false;
      break;
    }
    default:
      break;
    }
  }
  return true;
}

std::string TaskHistoryText(const std::tm& runEnd, int errors, bool cancelled, bool dryRun) {
  char stamp[64];
  if (strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", &runEnd) == 0) stamp[0] = '\0';
  std::string status;
  if (cancelled) status = "cancelled";
  else if (errors <= 0) status = "success";
  else status = std::to_string(errors) + " error(s)";
  if (dryRun) status += " (dry run)";
  return std::string(stamp) + " - " + status;
}

bool AddTaskHistory(TSettingsStore& store, const std::string& taskName, int errors, bool cancelled, bool dryRun) {
  if (taskName.empty()) return false;
  const time_t now = time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::optional<TSettingsKey> history = store.OpenKey(kTaskHistoryKey);
  return history && history->WriteString(taskName, TaskHistoryText(local, errors, cancelled, dryRun));
}

} // namespace twf
