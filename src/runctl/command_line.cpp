#include "runctl/command_line.h"

#include <unistd.h>

#include <climits>
#include <cstdio>

namespace twf {

namespace {

// Switch names are ASCII; only ASCII letters are folded.
bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Single quotes keep every character as it is in a POSIX shell ($, `, \, ",
// blanks); a single quote itself ends the quoting, is escaped, and reopens it.
// A control character never goes on the line as it is: pasted where the
// terminal does not bracket the paste (or after an ESC [201~ that ends the
// bracket), the line editor acts on it (Ctrl+U erases what came before,
// Ctrl+O runs the line, DEL eats a quote, Tab completes), so printf writes it
// instead. A line feed stays: typed, it only continues the quoted word, and
// $(...) would drop it.
std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\'') {
      out += "'\\''";
    } else if ((u < 0x20 && c != '\n') || u == 0x7f) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", unsigned(u));
      out += std::string("'\"$(printf '") + octal + "')\"'";
    } else {
      out += c;
    }
  }
  return out + "'";
}

bool IsSwitch(const std::string& p) { return !p.empty() && (p[0] == '/' || p[0] == '-'); }

bool MatchSimple(const std::string& p, std::string_view name) {
  return IsSwitch(p) && SameAscii(std::string_view(p).substr(1), name);
}

bool MatchValue(const std::string& p, std::string_view name, std::string& value) {
  if (!IsSwitch(p) || p.size() < 1 + name.size()) return false;
  if (!SameAscii(std::string_view(p).substr(1, name.size()), name)) return false;
  size_t at = 1 + name.size();
  if (at < p.size() && p[at] == ':') ++at;
  value = p.substr(at);
  return true;
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine c;
  for (const std::string& p : args) {
    std::string v;
    // task_file and import_task first: a parameter that matches them is not a task parameter.
    if (MatchValue(p, "task_file", v)) {
      if (!c.HasTaskFile) c.HasTaskFile = true, c.TaskFile = v;
      continue;
    }
    if (MatchValue(p, "import_task", v)) {
      if (!c.HasImportTask) c.HasImportTask = true, c.ImportTask = v;
      continue;
    }
    if (MatchValue(p, "task", v)) {
      if (!c.HasTask) c.HasTask = true, c.Task = v;
      continue;
    }
    if (MatchSimple(p, "run")) c.Run = true;
    else if (MatchSimple(p, "dry")) c.Dry = true;
    else if (MatchSimple(p, "close")) c.Close = true;
    else if (MatchSimple(p, "min")) c.Min = true;
    else if (p == "-h" || p == "--help" || p == "/?") c.Help = true;
  }
  return c;
}

std::string DequoteTaskFile(const std::string& value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return value;
  std::string out;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    out += value[i];
    if (value[i] == '"' && i + 2 < value.size() && value[i + 1] == '"') ++i;
  }
  return out;
}

std::string CopyCommandLine(const std::string& exePath, const std::string& taskName, const std::string& verb) {
  return ShellQuoted(exePath) + " /task:" + ShellQuoted(taskName) + " /" + verb + " /close /min";
}

std::string UsageText() {
  return "Usage: twinfold [switches]\n"
         "\n"
         "Without /run or /dry the window opens (one window per user: a second\n"
         "start brings the first one to the front).\n"
         "\n"
         "  /task:<name>          load the saved task <name>\n"
         "  /task_file:<file.ini> load the settings of a task file\n"
         "  /run                  run the task after start-up\n"
         "  /dry                  dry run (changes nothing); wins over /run\n"
         "  /close                close the program after the run\n"
         "  /min                  start the window minimized\n"
         "  /import_task:<file>   import a task file into the saved tasks and exit\n"
         "  -h, --help, /?        show this text and exit\n"
         "\n"
         "Switches may start with \"/\" or \"-\"; letter case does not matter.\n"
         "Without a display (cron, systemd timers, ssh) /run and /dry run without\n"
         "a window and print the log lines to standard output.\n"
         "\n"
         "Exit codes: 0 success (also a dry or cancelled run without errors),\n"
         "1 the run counted errors, 2 the task could not be loaded or the run was\n"
         "refused before it started.\n";
}

std::string ProgramPathFromLink(const std::string& link) {
  static constexpr std::string_view kDeleted = " (deleted)";
  if (link.size() <= kDeleted.size() || !link.ends_with(kDeleted) || access(link.c_str(), F_OK) == 0) return link;
  return link.substr(0, link.size() - kDeleted.size());
}

std::string ExecutablePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return "";
  return ProgramPathFromLink(std::string(buf, size_t(n)));
}

} // namespace twf
