// Task files: one task as an INI document, [Task] holding the task's stored
// values and [Meta] its name. A string value has each line break written as
// "|" (only ExclPatterns turns "|" back into CR LF); integers, booleans
// included, are decimal. No other quoting: a value runs to the end of its line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tasks/ini_file.h"
#include "tasks/settings_store.h"
#include "tasks/task_settings.h"
#include "tasks/user_message.h"

namespace twf {

// Texts of the file dialogs and the input box of the task file commands.
inline constexpr const char* kExportTaskTitle = "Export Task";
inline constexpr const char* kImportTaskTitle = "Import Task";
inline constexpr const char* kTaskFileFilter = "Task files (*.ini)|*.ini|All files (*.*)|*.*";
inline constexpr const char* kTaskFileExtension = "ini";
inline constexpr const char* kTaskNamePrompt = "Task name:";

inline constexpr const char* kMsgNoTaskSection = "This file does not contain a [Task] section.";
inline constexpr const char* kMsgTaskNameBackslash = "The task name cannot contain \"\\\".";
inline constexpr const char* kMsgTaskNameSlash = "The task name cannot contain \"/\".";
inline constexpr const char* kMsgOverwriteTask = "A task with the same name already exists. Overwrite it?";

// The refusal of a name that no task may have, or nullptr: "\" would nest
// keys in the store, "/" would turn the name of an exported file into a path.
// Every command that names a task checks it.
const char* TaskNameCharacterRefusal(const std::string& name);

// The initial file name of the export dialog: the task name + ".ini", with a
// "/" (in a task named before such names were refused) as "_", so the name
// never points into another folder.
std::string ExportTaskFileName(const std::string& taskName);

// Writes Tasks\<taskName> into the file: string and integer values in the
// store's order into [Task], the name into [Meta]. Sections and keys of an
// existing file that the export does not write are kept. False, with
// nothing written, when the task does not exist or the file cannot be written.
bool ExportTaskFile(TSettingsStore& store, const std::string& taskName, const std::string& filePath);

// Reads a task file for a command that acts on it. As root, a file that is
// not root's alone is refused (OpenTaskInput). On failure message holds the
// text to show: 'Task file "<path>" was not found.', '... could not be
// read.' or '... is refused: <reason>. As root, ...'.
enum class TTaskFileLoad { tlOk, tlNotFound, tlUnreadable, tlRefused };
TTaskFileLoad LoadTaskFile(const std::string& filePath, TIniDocument& doc, std::string* message = nullptr);

// Copies the [Task] keys of the file into Tasks\<taskName> (created when
// absent, not cleared first). ExclPatterns gets its "|" back as CR LF. A
// task setting of string type is stored as a string; any other key as an
// integer when its text is a whole number (ParseWholeNumber), else as a
// string. False when the file cannot be read (LoadTaskFile), [Task] holds no
// keys, the name is empty or refused by TaskNameCharacterRefusal, or the key
// cannot be written.
bool ImportTaskFile(TSettingsStore& store, const std::string& filePath, const std::string& taskName);
bool ImportTaskDocument(TSettingsStore& store, const TIniDocument& doc, const std::string& taskName);

// [Meta] Name, or the file name without its extension when there is none;
// trimmed.
std::string TaskNameFromFile(const TIniDocument& doc, const std::string& filePath);

// Puts 29 of the [Task] values straight into s (a command-line task file).
// Absent keys and texts that are not numbers where a number is needed leave
// the member unchanged; WarnPct, LogJson and the webhook and volume-check
// settings are never taken from the file. On success taskName (when given)
// receives TaskNameFromFile. False, with s unchanged, when the file cannot be
// read (LoadTaskFile). ApplyTaskDocument does the same with a file already read.
bool ApplyTaskFile(const std::string& filePath, TTaskSettings& s, std::string* taskName = nullptr);
void ApplyTaskDocument(const TIniDocument& doc, const std::string& filePath, TTaskSettings& s,
                       std::string* taskName = nullptr);

// The single import as the window runs it, after the open dialog.
struct TImportTaskOutcome {
  bool Imported = false;
  std::string TaskName;                // refresh the list and select this name when Imported
  std::optional<TUserMessage> Message; // shown when set
};
// A file refused as root (LoadTaskFile) gives its message before any
// question. askName shows the input box (title kImportTaskTitle, prompt
// kTaskNamePrompt) pre-filled with the proposed name and returns the answer,
// or nullopt for Cancel. confirm asks a Yes/No question and returns true for Yes.
TImportTaskOutcome ImportTaskCommand(TSettingsStore& store, const std::string& filePath,
                                     const std::function<std::optional<std::string>(const std::string&)>& askName,
                                     const std::function<bool(const TUserMessage&)>& confirm);

// The archive entry name of a task: control characters and " * / : < > ? \ |
// become "_" (as does any byte that is not valid UTF-8), blanks at both
// ends go, and an empty result is "Task".
std::string SafeFileName(const std::string& taskName);
// The entry names (without ".ini") of the tasks in order: SafeFileName,
// shortened to fit a file name, made unique without regard to letter case
// by appending " (2)", " (3)" ...
std::vector<std::string> UniqueEntryNames(const std::vector<std::string>& taskNames);

} // namespace twf
