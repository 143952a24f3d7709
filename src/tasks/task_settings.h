// The values of a mirror task and the operations that move them between
// the settings store and the window. The window binds each control to one
// member of TTaskSettings; everything here works without a window.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tasks/settings_store.h"

namespace twf {

// ---------------------------------------------------------------- layout

// Key paths below the store's root ("" is the root, which holds the working
// settings, the window state and the volume identity).
inline constexpr const char* kRootKey = "";
inline constexpr const char* kTasksKey = "Tasks";
inline constexpr const char* kTaskHistoryKey = "TaskHistory";
inline constexpr const char* kAuthKeysKey = "AuthKeys";
// "Tasks\<name>".
std::string TaskKeyPath(const std::string& taskName);

// Root values naming the destination volume of the last real run (written
// by the run finish, read by run preparation).
inline constexpr const char* kVolCheckPathValue = "VolCheckPath";
inline constexpr const char* kVolCheckSerialValue = "VolCheckSerial";
inline constexpr const char* kVolCheckNameValue = "VolCheckName";

// The caption of a task that was never saved; refused as a name by Save As,
// Rename and Clone (letter case ignored), accepted by the imports.
inline constexpr const char* kUntitledTaskName = "Untitled";

// Names of the subkeys of Tasks, sorted without regard to letter case.
std::vector<std::string> ListTaskNames(TSettingsStore& store);

// ---------------------------------------------------------------- controls

// Items of the lists that hold task values; the stored value is the index
// (CompareMode, VerifyHash) or the number in the item text (WarnPct).
inline constexpr std::array<const char*, 3> kCompareModeItems = {
    "Size + last-modified date (recommended, fast)",
    "Size only (fastest, least strict)",
    "Exact content, byte-by-byte (strictest, reads changed files)",
};
inline constexpr std::array<const char*, 2> kVerifyHashItems = {
    "xxHash3-64 (faster, recommended)",
    "xxHash3-128",
};
// What a symbolic link in the source becomes (the engine's TSymlinkMode).
inline constexpr std::array<const char*, 3> kSymlinkModeItems = {
    "a link with the same target (exact mirror)", "the file it points to (links to folders skipped)", "nothing (skipped)"};
inline constexpr std::array<const char*, 10> kWarnPctItems = {
    "20%", "25%", "30%", "40%", "50%", "60%", "70%", "80%", "90%", "100%",
};
// Item 0 of the auth key list; stored as the empty string.
inline constexpr const char* kAuthKeyNoneItem = "(none)";

inline constexpr int32_t kWorkersMin = 1;
inline constexpr int32_t kWorkersMax = 64;
inline constexpr int32_t kExclLargerMBMin = 1;
inline constexpr int32_t kExclLargerMBMax = 10000000;
inline constexpr int32_t kExclLargerMBDefault = 500;
inline constexpr int32_t kWarnPctDefault = 25;

// ---------------------------------------------------------------- defaults

// Logical processors, limited to kWorkersMin..kWorkersMax.
int32_t DefaultWorkerCount();
// The user's Documents folder (XDG user dirs), empty when it cannot be found.
std::string DocumentsFolder();
// Documents + "Quarlex Twinfold Logs" / "Quarlex Twinfold Archives"; the
// bare folder name when there is no Documents folder.
std::string DefaultLogsFolder();
std::string DefaultArchiveFolder();
// The designed exclusion patterns, one per line, joined by CR LF.
const std::string& DesignedExclusionPatterns();

// ---------------------------------------------------------------- the value type

// One task as the window holds it. Default construction gives the new-task
// defaults. Texts are exactly as typed (never trimmed); ExclPatterns
// separates its lines by CR LF (NormalizeLineBreaks turns a widget's LF
// text into that). WarnPct holds the number of one of kWarnPctItems and
// WebhookAuthKey the name of a listed auth key or "" for "(none)".
struct TTaskSettings {
  std::string Source;
  std::string Dest;
  int32_t CompareMode = 0; // index into kCompareModeItems, -1 for none selected
  int32_t Workers = DefaultWorkerCount();
  bool PreserveAcl = false;
  bool SkipNewer = false;
  bool AskConfirm = true;
  bool WarnMassDelete = true;
  int32_t WarnPct = kWarnPctDefault;
  bool LogJson = false;
  bool WebhookEnabled = false;
  std::string WebhookURL;
  std::string WebhookAuthKey;
  bool WebhookVerifySSL = true;
  bool VolCheckEnabled = true;
  bool RecycleDeletes = false;
  bool RetryLocked = true;
  bool VerifyEnabled = false;
  bool ArchiveEnabled = false;
  std::string ArchiveFolder = DefaultArchiveFolder();
  int32_t VerifyHash = 0; // index into kVerifyHashItems, -1 for none selected
  bool ShutdownDone = false;
  bool ExclPatternsEnabled = true;
  std::string ExclPatterns = DesignedExclusionPatterns();
  bool ExclEmpty = false;
  bool ExclHiddenFiles = false;
  bool ExclHiddenDirs = false;
  bool ExclLargerEnabled = false;
  int32_t ExclLargerMB = kExclLargerMBDefault;
  bool LogEnabled = false;
  std::string LogFolder = DefaultLogsFolder();
  bool LogError = true;
  bool LogCopy = true;
  bool LogDelete = true;
  bool LogMkDir = true;
  bool LogRmDir = true;
  int32_t SymlinkMode = 0; // index into kSymlinkModeItems

  bool operator==(const TTaskSettings&) const = default;
};

enum class TSettingType { stString, stInteger, stBoolean };

struct TSettingInfo {
  const char* Name;    // the stored value name
  TSettingType Type;   // booleans are stored as integers 0 and 1
  const char* Control; // object name of the window control that holds it
};

// The settings table: one row per member of TTaskSettings, in the order
// SaveSettings writes and LoadSettings reads them.
std::span<const TSettingInfo> TaskSettingInfos();
// True for the names of the settings (letter case ignored).
bool IsTaskSettingName(std::string_view name);
// The type of one of the settings; false for any other name.
bool TaskSettingType(std::string_view name, TSettingType& type);

// Which controls are enabled for these values (applied after loading,
// importing or resetting, and when the check boxes are clicked).
struct TControlEnabling {
  bool cmbWarnPct;
  bool edtWebhookURL;
  bool cmbAuthKey;
  bool chkVerifySSL;
  bool chkRecycle;
  bool cmbVerify;
};
TControlEnabling EnablingRules(const TTaskSettings& s);

// Puts every value to its new-task default. The caller sets the caption to
// kUntitledTaskName.
void ResetToDefaults(TTaskSettings& s);

// The list's spelling of an auth key name (letter case ignored), or "" for
// "(none)" when the name is not among names.
std::string MatchAuthKeyName(const std::string& name, const std::vector<std::string>& names);
// Index into kWarnPctItems of the number, -1 when no item shows it.
int WarnPctItemIndex(int32_t pct);
// The number of an item text: its first "%" removed, read as a decimal
// integer; kWarnPctDefault when that fails.
int32_t WarnPctFromText(std::string_view itemText);

// Every line break (CR LF, lone LF, lone CR) becomes CR LF.
std::string NormalizeLineBreaks(std::string_view text);

// ---------------------------------------------------------------- store access

// The value, or def when it is absent or of another type.
std::string ReadStringDef(const TSettingsKey& key, const std::string& name, const std::string& def);
int32_t ReadIntegerDef(const TSettingsKey& key, const std::string& name, int32_t def);
// An integer value != 0, or def when absent or not an integer.
bool ReadBoolDef(const TSettingsKey& key, const std::string& name, bool def);

// Writes the settings into the key (created when absent) in one transaction.
// Other values of the key stay. False when the key could not be written.
bool SaveSettings(TSettingsStore& store, const std::string& keyPath, const TTaskSettings& s);
// Reads the settings of an existing key into s by the controls' rules: an
// absent or mistyped value leaves its member unchanged (except WarnPct,
// which falls back to 25, and WebhookAuthKey, which falls back to "(none)");
// numbers are clamped to their range; an index or percentage that no item
// has is ignored. authKeyNames are the items of the auth key list after
// "(none)". False, with s unchanged, when the key does not exist.
bool LoadSettings(TSettingsStore& store, const std::string& keyPath, TTaskSettings& s,
                  const std::vector<std::string>& authKeyNames);
// True when every string or integer value of Tasks\<taskName> equals the
// value of the same name and type in the root key (the working settings).
bool SettingsMatchTask(TSettingsStore& store, const std::string& taskName);

// ---------------------------------------------------------------- run history

// "yyyy-mm-dd hh:nn - " + status, the status being "cancelled", "success"
// (errors <= 0) or "<n> error(s)", followed by " (dry run)" for a dry run.
std::string TaskHistoryText(const std::tm& runEnd, int errors, bool cancelled, bool dryRun);
// Records the last run of a task in TaskHistory (now, local time).
bool AddTaskHistory(TSettingsStore& store, const std::string& taskName, int errors, bool cancelled, bool dryRun);

} // namespace twf
