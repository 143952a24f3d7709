// Task archives: all tasks as one ZIP of task files, each entry
// "<SafeFileName>.ini" at the root, Deflate-compressed, with a UTF-8 name.
// Both directions work in a private TWorkFolder that is removed when the
// command ends, whatever happened.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tasks/settings_store.h"
#include "tasks/user_message.h"

namespace twf {

inline constexpr const char* kExportTasksTitle = "Export Tasks";
inline constexpr const char* kImportTasksTitle = "Import Tasks";
inline constexpr const char* kExportArchiveFilter = "Zip archives (*.zip)|*.zip";
inline constexpr const char* kImportArchiveFilter = "Zip archives (*.zip)|*.zip|All files (*.*)|*.*";
inline constexpr const char* kArchiveExtension = "zip";
inline constexpr const char* kArchiveDefaultName = "Twinfold-Tasks.zip";

inline constexpr const char* kMsgNoTasksToExport = "There are no saved tasks to export.";
inline constexpr const char* kMsgNoTaskFiles = "The archive contains no task files (*.ini).";
inline constexpr const char* kMsgCannotOpenArchive = "Cannot open the zip archive: ";
inline constexpr const char* kMsgCannotCreateArchive = "Cannot create the zip archive: ";

// What an import takes from an archive; entries beyond these limits are
// refused and counted as skipped files.
inline constexpr size_t kMaxArchiveTaskFiles = 10000;
inline constexpr uint64_t kMaxArchiveExtractBytes = 256ull << 20;
// Path parts of an entry (folders and the file): task files sit at the root
// or a few folders down, never thousands.
inline constexpr size_t kMaxArchiveEntryDepth = 32;

// Writes every task of allTasks (the sorted task list) into a new archive at
// zipPath, replacing an existing file. The window checks for an empty list
// before its save dialog; given one, this returns the same information.
// Result: "<n> task(s) exported." with the number of tasks written (a task
// deleted meanwhile is left out), or "Cannot create the zip archive: <reason>".
TUserMessage ExportTaskArchive(TSettingsStore& store, const std::vector<std::string>& allTasks,
                               const std::string& zipPath);

struct TArchiveImportOutcome {
  std::optional<TUserMessage> Message; // shown when set (not after a No)
  bool Changed = false;                // tasks were written: refresh the task list
  int Imported = 0;
  int Skipped = 0;
};

// Imports every "*.ini" entry of any folder of the archive as a task, named
// by its [Meta] Name or its file name, overwriting same-name tasks value by
// value. Before writing anything it asks confirm (a Yes/No question, Yes the
// default) and stops on No. Entries with absolute paths or "..", without a
// name or more than kMaxArchiveEntryDepth levels deep, links and special
// files, and entries larger than a task file can be are never written; they
// count as skipped. As root, an archive that is not root's alone is refused
// like a task file (OpenTaskInput).
TArchiveImportOutcome ImportTaskArchive(TSettingsStore& store, const std::string& zipPath,
                                        const std::function<bool(const TUserMessage&)>& confirm);

} // namespace twf
