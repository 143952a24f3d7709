// The program's switches: /task:"Nightly" /run /close and friends, written
// with "/" or "-". Parsing is pure; acting on the switches is the run
// controller's (ProcessCommandLine, the queued start step) and the program
// entry's (help, import, the single-instance rule).
#pragma once

#include <string>
#include <vector>

namespace twf {

struct TCommandLine {
  bool HasTask = false;
  std::string Task; // the value of /task: (may be empty)
  bool HasTaskFile = false;
  std::string TaskFile; // the value of /task_file:, as given
  bool Run = false;
  bool Dry = false;
  bool Close = false;
  bool Min = false;
  bool Help = false;
  bool Version = false;   // --version, -V
  bool ListTasks = false; // /list_tasks
  bool HasImportTask = false;
  std::string ImportTask; // the value of /import_task:

  // /run or /dry: a command-line run, which never takes part in the
  // single-instance rule.
  bool IsCommandLineRun() const { return Run || Dry; }
};

// args: the parameters without the executable's own path. A parameter is a
// switch when it starts with "/" or "-"; switch names ignore letter case.
// Simple switches (run, dry, close, min) match only exactly; value switches
// (task, task_file, import_task) match a parameter that begins with the name,
// the value being the rest with one leading ":" skipped. The first match of
// a switch counts; anything else is ignored. Help: "-h", "--help", "/?";
// version: "--version", "-V" (exactly these).
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// A /task_file: value with one pair of surrounding double quotes removed
// (a doubled quote inside becomes one), as Windows-style callers write it.
std::string DequoteTaskFile(const std::string& value);

// "'<exe>' /task:'<task>' /run /close /min" (verb "run" or "dry"): what the
// task list's "Copy Command Line" commands put on the clipboard, quoted for
// a POSIX shell so that any task name pastes safely into a terminal.
std::string CopyCommandLine(const std::string& exePath, const std::string& taskName, const std::string& verb);

// One switch as --help and the manual page describe it: its forms (as they
// are typed), the argument's name (empty for none) and what it does. The
// manual page's SWITCHES and --help are made from this one table.
struct TSwitchHelp {
  std::vector<std::string> Forms; // "/task:" first for a value switch
  std::string Argument;           // "<name>" or empty
  std::string Short;              // the one line of --help
  std::string Long;               // the manual page's paragraph (empty: Short)
};
const std::vector<TSwitchHelp>& SwitchHelp();

// The usage text printed for --help (lines end with LF).
std::string UsageText();
// "twinfold <version>", printed for --version.
std::string VersionText();
// The manual page twinfold(1) in man(7) markup, made from SwitchHelp() and
// the same exit codes and notes as --help.
std::string ManPageText();

// The full path of the running executable (/proc/self/exe), empty when unknown.
std::string ExecutablePath();
// The program's path from the target of /proc/self/exe: once an upgrade has
// replaced the file, the kernel names the old one "<path> (deleted)", and the
// command lines given out must name the program that is there now.
std::string ProgramPathFromLink(const std::string& link);

} // namespace twf
