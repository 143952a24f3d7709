#include "tasks/task_files.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/task_fields.h"
#include "tasks/task_input.h"
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
    "VerifyHash",     "ArchiveEnabled", "ArchiveFolder",  "ShutdownDone",      "SymlinkMode",
};
static_assert(std::size(kAppliedKeys) == 30);

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

TTaskFileLoad LoadTaskFile(const std::string& filePath, TIniDocument& doc, std::string* message) {
  doc = TIniDocument();
  std::string refusal;
  const int fd = OpenTaskInput(filePath, refusal);
  TTaskFileLoad result = TTaskFileLoad::tlOk;
  if (fd < 0) {
    result = !refusal.empty()                    ? TTaskFileLoad::tlRefused
             : errno == ENOENT || errno == ENOTDIR ? TTaskFileLoad::tlNotFound
                                                   : TTaskFileLoad::tlUnreadable;
  } else {
    if (!doc.LoadFromDescriptor(fd)) result = TTaskFileLoad::tlUnreadable;
    close(fd);
  }
  if (message) {
    const std::string file = "Task file \"" + filePath + "\" ";
    switch (result) {
    case TTaskFileLoad::tlOk:
      message->clear();
      break;
    case TTaskFileLoad::tlNotFound:
      *message = file + "was not found.";
      break;
    case TTaskFileLoad::tlUnreadable:
      *message = file + "could not be read.";
      break;
    case TTaskFileLoad::tlRefused:
      *message = file + "is refused: " + refusal + ". " + kRootInputRule;
      break;
    }
  }
  return result;
}

bool ImportTaskFile(TSettingsStore& store, const std::string& filePath, const std::string& taskName) {
  TIniDocument doc;
  return LoadTaskFile(filePath, doc) == TTaskFileLoad::tlOk && ImportTaskDocument(store, doc, taskName);
}

std::string TaskNameFromFile(const TIniDocument& doc, const std::string& filePath) {
  return std::string(TrimIni(doc.ReadString(kMetaSection, kMetaName, FileStem(filePath))));
}

bool ApplyTaskFile(const std::string& filePath, TTaskSettings& s, std::string* taskName) {
  TIniDocument doc;
  if (LoadTaskFile(filePath, doc) != TTaskFileLoad::tlOk) return false;
  ApplyTaskDocument(doc, filePath, s, taskName);
  return true;
}

void ApplyTaskDocument(const TIniDocument& doc, const std::string& filePath, TTaskSettings& s,
                       std::string* taskName) {
  // A file written before links were mirrored as links gets today's default.
  if (std::string text; !doc.ReadString(kTaskSection, "SymlinkMode", text)) s.SymlinkMode = 0;
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
}

TImportTaskOutcome ImportTaskCommand(TSettingsStore& store, const std::string& filePath,
                                     const std::function<std::optional<std::string>(const std::string&)>& askName,
                                     const std::function<bool(const TUserMessage&)>& confirm) {
  TImportTaskOutcome out;
  TIniDocument doc;
  // A file that cannot be read goes on as an empty one, to the no-[Task] message.
  if (std::string refusal; LoadTaskFile(filePath, doc, &refusal) == TTaskFileLoad::tlRefused) {
    out.Message = TUserMessage{TMessageKind::mkError, refusal};
    return out;
  }
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
