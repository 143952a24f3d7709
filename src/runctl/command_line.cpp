#include "runctl/command_line.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "twf_version.h"

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
    else if (MatchSimple(p, "list_tasks")) c.ListTasks = true;
    else if (p == "-h" || p == "--help" || p == "/?") c.Help = true;
    else if (p == "-V" || p == "--version") c.Version = true;
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

namespace {

// What --help and the manual page both say, besides the switches.
constexpr const char* kWindowNote =
    "Without /run or /dry the window opens (one window per user: a second start brings the first one to the front).";
constexpr const char* kSwitchNote = "Switches may start with \"/\" or \"-\"; letter case does not matter.";
constexpr const char* kHeadlessNote =
    "Without a display (cron, systemd timers, ssh) /run and /dry run without a window and print the log lines to "
    "standard output.";

struct TExitCodeHelp {
  int Code;
  const char* Meaning;
};
constexpr TExitCodeHelp kExitCodes[] = {
    {0, "success (also a dry or cancelled run without errors)"},
    {1, "the run counted errors"},
    {2, "the task could not be loaded or the run was refused before it started"},
};

// text broken into lines of at most width characters, each after indent.
std::string Wrapped(const std::string& text, size_t width, const std::string& indent = "") {
  std::string out, line;
  size_t at = 0;
  while (at < text.size()) {
    size_t space = text.find(' ', at);
    if (space == std::string::npos) space = text.size();
    const std::string word = text.substr(at, space - at);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += indent + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    at = space + 1;
  }
  if (!line.empty()) out += indent + line + "\n";
  return out;
}

std::string SwitchColumn(const TSwitchHelp& s) {
  std::string out;
  for (const std::string& f : s.Forms) out += (out.empty() ? "" : ", ") + f;
  return out + s.Argument;
}

// Text for a man(7) line: backslashes and minus signs escaped, a leading
// dot or quote kept from being read as a request.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

std::string RoffBold(const std::string& text) { return "\\fB" + Roff(text) + "\\fR"; }

} // namespace

const std::vector<TSwitchHelp>& SwitchHelp() {
  static const std::vector<TSwitchHelp> table = {
      {{"/task:"}, "<name>", "load the saved task <name>",
       "Load the saved task <name> and make it the current task. The name follows the colon in the same argument; "
       "quote a name with blanks for the shell: /task:\"Nightly Backup\"."},
      {{"/task_file:"}, "<file.ini>", "load the settings of a task file",
       "Load the settings of a task file (as the window's Export writes it); its [Meta] Name, else the file name "
       "without .ini, names the task. Nothing is saved."},
      {{"/run"}, "", "run the task after start-up", ""},
      {{"/dry"}, "", "dry run (changes nothing); wins over /run",
       "Dry run: report every operation, change nothing. Wins over /run."},
      {{"/close"}, "", "close the program after the run", ""},
      {{"/min"}, "", "start the window minimized", ""},
      {{"/import_task:"}, "<file>", "import a task file into the saved tasks and exit",
       "Import a task file into the saved tasks without questions and exit; a saved task of the same name is "
       "overwritten. Prints one line; exits 0 on success, 2 on failure."},
      {{"/list_tasks"}, "", "print the saved tasks with their last run and exit",
       "Print the saved tasks, one a line: the name, a tab, and the last run from the history (\"yyyy-mm-dd hh:nn - "
       "result\") or \"never run\". Needs no display; exits 0, or 2 when the settings store cannot be read."},
      {{"-V", "--version"}, "", "print the version and exit", ""},
      {{"-h", "--help", "/?"}, "", "show this text and exit", "Print the usage and exit."},
  };
  return table;
}

std::string UsageText() {
  std::string out = "Usage: twinfold [switches]\n\n" + Wrapped(kWindowNote, 72) + "\n";
  size_t width = 0;
  for (const TSwitchHelp& s : SwitchHelp()) width = std::max(width, SwitchColumn(s).size() + 2);
  for (const TSwitchHelp& s : SwitchHelp()) {
    std::string col = SwitchColumn(s);
    col.resize(width, ' ');
    out += "  " + col + s.Short + "\n";
  }
  out += "\n" + Wrapped(kSwitchNote, 72) + Wrapped(kHeadlessNote, 72) + "\nExit codes:\n";
  for (const TExitCodeHelp& e : kExitCodes) out += "  " + std::to_string(e.Code) + "  " + e.Meaning + "\n";
  return out;
}

std::string VersionText() { return std::string("twinfold ") + TWF_VERSION + "\n"; }

std::string ManPageText() {
  std::string m;
  m += ".TH TWINFOLD 1 \"\" \"twinfold " TWF_VERSION "\" \"User Commands\"\n";
  m += ".SH NAME\ntwinfold \\- make a folder an exact, verified mirror of another\n";
  m += ".SH SYNOPSIS\n.B twinfold\n[\\fIswitches\\fR]\n";
  m += ".SH DESCRIPTION\n" + Roff("Quarlex Twinfold makes a destination folder an exact, verified mirror of a "
                                  "source folder. It keeps named tasks in a settings store and runs them from "
                                  "its window or from the command line.") + "\n";
  m += ".PP\n" + Roff(kWindowNote) + "\n.PP\n" + Roff(kHeadlessNote) + "\n.PP\n" + Roff(kSwitchNote) + "\n";
  m += ".SH OPTIONS\n";
  for (const TSwitchHelp& s : SwitchHelp()) {
    m += ".TP\n";
    std::string head;
    for (const std::string& f : s.Forms) head += (head.empty() ? "" : ", ") + RoffBold(f);
    if (!s.Argument.empty()) head += "\\fI" + Roff(s.Argument) + "\\fR";
    std::string text = s.Long;
    if (text.empty() && !s.Short.empty()) {
      text = s.Short + ".";
      if (text[0] >= 'a' && text[0] <= 'z') text[0] = char(text[0] - 'a' + 'A');
    }
    m += head + "\n" + Roff(text) + "\n";
  }
  m += ".SH EXIT STATUS\n";
  for (const TExitCodeHelp& e : kExitCodes) m += ".TP\n.B " + std::to_string(e.Code) + "\n" + Roff(e.Meaning) + "\n";
  m += ".SH ENVIRONMENT\n"
       ".TP\n.BR DISPLAY \", \" WAYLAND_DISPLAY\n" +
       Roff("The window opens only when one of them names a server that accepts the connection; otherwise /run "
            "and /dry run without a window.") +
       "\n.TP\n.B XDG_CONFIG_HOME\n" + Roff("Where the settings store is kept (default ~/.config).") + "\n";
  m += ".SH FILES\n"
       ".TP\n.I ~/.config/Zentorvi/Quarlex Twinfold/settings.db\n" +
       Roff("The settings store: tasks, their run history, window state and auth keys (SQLite).") +
       "\n.TP\n.I /usr/share/twinfold/\n" + Roff("The help files the window's Help menu opens.") +
       "\n.TP\n.I /usr/lib/twinfold/twinfold-window.so\n" + Roff("The window, loaded only when a window opens.") +
       "\n.TP\n.I /usr/share/doc/twinfold/examples/\n" +
       Roff("A systemd user service and timer, and an example task file.") + "\n";
  m += ".SH EXAMPLES\n"
       ".nf\n" +
       Roff("twinfold /task:\"Nightly\" /run /close") + "\n" +
       Roff("twinfold /task_file:/etc/twinfold/job.ini /dry /close") + "\n" + Roff("twinfold /import_task:job.ini") +
       "\n" + Roff("twinfold /list_tasks") + "\n.fi\n";
  m += ".SH SEE ALSO\n.BR systemd.timer (5),\n.BR crontab (5)\n";
  return m;
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
