// The switches: the input is the parameters, split at NUL bytes as the
// kernel hands them over. Besides parsing, the line "Copy Command Line"
// builds for a task named by a parameter must give that very name back
// when a POSIX shell reads it, and carry no control character but the line
// feed.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "runctl/command_line.h"

using namespace twf;
using twf::fuzz::Check;

namespace {

// The words of line as a POSIX shell makes them, for the quoting that
// ShellQuoted may write: '...', a backslash outside quotes, and
// "$(printf '\ooo')" inside double quotes. false for anything else.
bool ShellWords(std::string_view line, std::vector<std::string>& words) {
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size();) {
    const char c = line[i];
    if (c == ' ') {
      if (inWord) words.push_back(word), word.clear(), inWord = false;
      ++i;
    } else if (c == '\'') {
      const size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) return false;
      word.append(line.substr(i + 1, end - i - 1));
      inWord = true;
      i = end + 1;
    } else if (c == '\\') {
      if (i + 1 >= line.size()) return false;
      word += line[i + 1];
      inWord = true;
      i += 2;
    } else if (c == '"') {
      static constexpr std::string_view kOpen = "\"$(printf '\\";
      if (line.substr(i, kOpen.size()) != kOpen || i + kOpen.size() + 6 > line.size()) return false;
      const std::string_view octal = line.substr(i + kOpen.size(), 3);
      if (line.substr(i + kOpen.size() + 3, 3) != "')\"") return false;
      int v = 0;
      for (char d : octal) {
        if (d < '0' || d > '7') return false;
        v = v * 8 + (d - '0');
      }
      word += char(v);
      inWord = true;
      i += kOpen.size() + 6;
    } else if (c == '$' || c == '`' || c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' ||
               c == ')' || c == '*' || c == '?' || c == '[' || c == '#' || c == '~' || c == '\t' || c == '\n') {
      return false; // unquoted, the shell would act on it
    } else {
      word += c;
      inWord = true;
      ++i;
    }
  }
  if (inWord) words.push_back(word);
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  for (size_t start = 0;;) {
    const size_t nul = in.find('\0', start);
    args.push_back(in.substr(start, nul - start));
    if (nul == std::string::npos) break;
    start = nul + 1;
  }
  const TCommandLine c = ParseCommandLine(args);
  if (c.HasTaskFile) DequoteTaskFile(c.TaskFile);
  ProgramPathFromLink(args.front());

  const std::string& task = c.HasTask ? c.Task : args.back();
  const std::string line = CopyCommandLine("/usr/bin/twinfold", task, "run");
  for (unsigned char u : line) Check((u >= 0x20 && u != 0x7f) || u == '\n', "no control character on the line");
  std::vector<std::string> words;
  Check(ShellWords(line, words), "the shell reads the line without acting on any character");
  Check(words.size() == 5 && words[0] == "/usr/bin/twinfold", "the program and four switches");
  words.erase(words.begin());
  const TCommandLine back = ParseCommandLine(words);
  Check(back.HasTask && back.Task == task, "the task name comes back as it was");
  Check(back.Run && back.Close && back.Min && !back.Dry, "the switches come back");
  return 0;
}
