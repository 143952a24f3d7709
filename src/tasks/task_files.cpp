#include "tasks/task_files.h"

#include <algorithm>
#include <set>
#include <sys/stat.h>

#include "tasks/task_fields.h"
#include "log/utf8.h"

namespace twf {

using detail::TField;
using detail::TFieldRule;

namespace {

constexpr const char* kTaskSection = "Task";
constexpr const char* kMetaSection = "Meta";
constexpr const char* kMetaName = "Name";

// Leaves room for " (nnnn)" and ".ini" within the 255 bytes a file name may have.
constexpr size_t kMaxEntryBaseBytes = 200;

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
    text.replace(pos, from.size(), to);
  return text;
}

std::string FileStem(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (const size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
  return name;
}

// The 29 settings a command-line task file may set, in the order they are applied.
constexpr const char* kAppliedKeys[] = {
    "Source",         "Dest",          "CompareMode",     "Workers",           "ExclPatternsEnabled",
    "ExclPatterns",   "ExclEmpty",     "ExclHiddenFiles", "ExclHiddenDirs",    "ExclLargerEnabled",
    "ExclLargerMB",   "LogEnabled",    "LogFolder",       "LogError",          "LogCopy",
    "LogDelete",      "LogMkDir",      "LogRmDir",        "PreserveAcl",       "SkipNewer",
    "AskConfirm",     "WarnMassDelete", "RecycleDeletes", "RetryLocked",       "VerifyEnabled",
    "VerifyHash",     "ArchiveEnabled", "ArchiveFolder",  "ShutdownDone",
};
static_assert(std::size(kAppliedKeys) == 29);

} // namespace

const char* TaskNameCharacterRefusal(const std::string& name) {
  if (name.find('\\') != std::string::npos) return kMsgTaskNameBackslash;
  if (name.find('/') != std::string::npos) return kMsgTaskNameSlash;
  return nullptr;
}

std::string ExportTaskFileName(const std::string& taskName) {
  std::string file = taskName;
  std::replace(file.begin(), file.end(), '/', '_');
  return file + ".ini";
}

bool ExportTaskFile(TSettingsStore& store, const std::string& taskName, const std::string& filePath) {
  const std::optional<TSettingsKey> task = store.OpenKeyReadOnly(TaskKeyPath(taskName));
  if (!task) return false;
  TIniDocument doc;
  // An existing file keeps what the export does not write; one that cannot
  // be read as a task file (too large, not a file) is replaced.
  doc.LoadFromFile(filePath);
  for (const std::string& name : task->ValueNames()) {
    switch (task->GetValueType(name)) {
    case TValueType::vtString: {
      std::string v;
      if (task->ReadString(name, v)) doc.WriteString(kTaskSection, name, v);
      break;
    }
    case TValueType::vtInteger: {
      int32_t v = 0;
      if (task->ReadInteger(name, v)) doc.WriteString(kTaskSection, name, std::to_string(v));
      break;
    }
    default:
      break;
    }
  }
  doc.WriteString(kMetaSection, kMetaName, taskName);
  return doc.SaveToFile(filePath);
}

bool ImportTaskDocument(TSettingsStore& store, const TIniDocument& doc, const std::string& taskName) {
  const std::vector<std::string> keys = doc.KeyNames(kTaskSection);
  if (keys.empty() || taskName.empty() || TaskNameCharacterRefusal(taskName)) return false;
  return store.Transact([&] {
    std::optional<TSettingsKey> task = store.OpenKey(TaskKeyPath(taskName));
    if (!task) return false;
    for (const std::string& key : keys) {
      std::string text = doc.ReadString(kTaskSection, key, "");
      if (SameKeyName(key, "ExclPatterns")) text = ReplaceAll(std::move(text), "|", "\r\n");
      TSettingType known;
      int32_t number = 0;
      // A setting that is a text stays a text even when it looks like a
      // number: an auth key named 2024 must not turn into an integer that
      // loading then ignores.
      const bool isText = TaskSettingType(key, known) && known == TSettingType::stString;
      const bool ok = !isText && ParseWholeNumber(text, number) ? task->WriteInteger(key, number)
                                                                : task->WriteString(key, text);
      if (!ok) return false;
    }
    return true;
  });
}

bool ImportTaskFile(TSettingsStore& store, const std::string& filePath, const std::string& taskName) {
  TIniDocument doc;
  doc.LoadFromFile(filePath);
  return ImportTaskDocument(store, doc, taskName);
}

std::string TaskNameFromFile(const TIniDocument& doc, const std::string& filePath) {
  return std::string(TrimIni(doc.ReadString(kMetaSection, kMetaName, FileStem(filePath))));
}

bool ApplyTaskFile(const std::string& filePath, TTaskSettings& s, std::string* taskName) {
  TIniDocument doc;
  if (!doc.LoadFromFile(filePath)) return false;
  for (const char* key : kAppliedKeys) {
    const TField* f = detail::FindTaskField(key);
    std::string text;
    if (!f || !doc.ReadString(kTaskSection, key, text)) continue;
    int32_t number = 0;
    const bool isNumber = ParseWholeNumber(text, number);
    switch (f->Rule) {
    case TFieldRule::frText:
      if (f->Info.Name == std::string_view("ExclPatterns")) text = ReplaceAll(std::move(text), "|", "\r\n");
      s.*std::get<std::string TTaskSettings::*>(f->Member) = text;
      break;
    case TFieldRule::frBool:
      if (isNumber) s.*std::get<bool TTaskSettings::*>(f->Member) = number != 0;
      break;
    case TFieldRule::frIndex:
      if (isNumber && number >= 0 && number < f->Limit) s.*std::get<int32_t TTaskSettings::*>(f->Member) = number;
      break;
    case TFieldRule::frRange: {
      int32_t& v = s.*std::get<int32_t TTaskSettings::*>(f->Member);
      v = std::clamp(isNumber ? number : v, f->Min, f->Limit);
      break;
    }
    default:
      break; // WarnPct and WebhookAuthKey are not among the applied keys
    }
  }
  if (taskName) *taskName = TaskNameFromFile(doc, filePath);
  return true;
}

TImportTaskOutcome ImportTaskCommand(TSettingsStore& store, const std::string& filePath,
                                     const std::function<std::optional<std::string>(const std::string&)>& askName,
                                     const std::function<bool(const TUserMessage&)>& confirm) {
  TImportTaskOutcome out;
  TIniDocument doc;
  doc.LoadFromFile(filePath);
  const std::optional<std::string> answer = askName(TaskNameFromFile(doc, filePath));
  if (!answer) return out;
  const std::string name(TrimIni(*answer));
  if (name.empty()) return out;
  if (const char* refusal = TaskNameCharacterRefusal(name)) {
    out.Message = TUserMessage{TMessageKind::mkError, refusal};
    return out;
  }
  if (store.KeyExists(TaskKeyPath(name)) &&
      !confirm(TUserMessage{TMessageKind::mkConfirmation, kMsgOverwriteTask, true}))
    return out;
  if (!ImportTaskDocument(store, doc, name)) {
    out.Message = TUserMessage{TMessageKind::mkError, kMsgNoTaskSection};
    return out;
  }
  out.Imported = true;
  out.TaskName = name;
  return out;
}

std::string SafeFileName(const std::string& taskName) {
  std::string out;
  out.reserve(taskName.size());
  for (size_t i = 0; i < taskName.size();) {
    const unsigned char c = static_cast<unsigned char>(taskName[i]);
    if (c < 0x80) {
      const bool bad = c < 32 || std::string_view("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string_view::npos;
      out += bad ? '_' : static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t len = Utf8SequenceLength(taskName, i);
    // Entry names are flagged as UTF-8; a stray byte would make them unreadable.
    if (len == 0) {
      out += '_';
      ++i;
    } else {
      out.append(taskName, i, len);
      i += len;
    }
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return "Task";
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> UniqueEntryNames(const std::vector<std::string>& taskNames) {
  std::vector<std::string> names;
  std::set<std::string> used; // folded
  for (const std::string& task : taskNames) {
    std::string base = SafeFileName(task);
    if (base.size() > kMaxEntryBaseBytes) {
      size_t cut = kMaxEntryBaseBytes;
      while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
      base.erase(cut);
      while (!base.empty() && base.back() == ' ') base.pop_back();
      if (base.empty()) base = "Task";
    }
    std::string name = base;
    for (int n = 2; used.count(FoldKeyName(name)); ++n) name = base + " (" + std::to_string(n) + ")";
    used.insert(FoldKeyName(name));
    names.push_back(std::move(name));
  }
  return names;
}

} // namespace twf
