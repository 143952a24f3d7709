#include <gtest/gtest.h>

#include "runctl/command_line.h"
#include "support/tree.h"

namespace twf {
namespace {

struct TParseCase {
  const char* Name;
  std::vector<std::string> Args;
  TCommandLine Want;
};

TCommandLine Want(std::function<void(TCommandLine&)> f) {
  TCommandLine c;
  f(c);
  return c;
}

void ExpectSame(const TCommandLine& got, const TCommandLine& want, const char* name) {
  SCOPED_TRACE(name);
  EXPECT_EQ(got.HasTask, want.HasTask);
  EXPECT_EQ(got.Task, want.Task);
  EXPECT_EQ(got.HasTaskFile, want.HasTaskFile);
  EXPECT_EQ(got.TaskFile, want.TaskFile);
  EXPECT_EQ(got.Run, want.Run);
  EXPECT_EQ(got.Dry, want.Dry);
  EXPECT_EQ(got.Close, want.Close);
  EXPECT_EQ(got.Min, want.Min);
  EXPECT_EQ(got.Help, want.Help);
  EXPECT_EQ(got.Version, want.Version);
  EXPECT_EQ(got.ListTasks, want.ListTasks);
  EXPECT_EQ(got.HasImportTask, want.HasImportTask);
  EXPECT_EQ(got.ImportTask, want.ImportTask);
}

TEST(CommandLine, MatchingRules) {
  const std::vector<TParseCase> cases = {
      {"both switch characters, any letter case", {"-RUN", "/Close", "-mIn"},
       Want([](TCommandLine& c) { c.Run = c.Close = c.Min = true; })},
      {"a simple switch matches only exactly", {"/run:1", "/running", "/dryer", "run"}, TCommandLine{}},
      {"dry and run together", {"/run", "/dry"}, Want([](TCommandLine& c) { c.Run = c.Dry = true; })},
      {"task value after a colon", {"/task:Nightly Backup"},
       Want([](TCommandLine& c) { c.HasTask = true, c.Task = "Nightly Backup"; })},
      {"task value without a colon", {"-TASKNightly"}, Want([](TCommandLine& c) { c.HasTask = true, c.Task = "Nightly"; })},
      {"only one colon is skipped", {"/task::x"}, Want([](TCommandLine& c) { c.HasTask = true, c.Task = ":x"; })},
      {"a bare value switch has an empty value; the next parameter is not taken", {"/task", "Nightly", "/run"},
       Want([](TCommandLine& c) { c.HasTask = true, c.Run = true; })},
      {"task_file is not a task parameter", {"/task_file:/jobs/a.ini"},
       Want([](TCommandLine& c) { c.HasTaskFile = true, c.TaskFile = "/jobs/a.ini"; })},
      {"the first of several counts", {"/task:A", "/task:B", "/task_file:1.ini", "/task_file:2.ini"},
       Want([](TCommandLine& c) { c.HasTask = true, c.Task = "A", c.HasTaskFile = true, c.TaskFile = "1.ini"; })},
      {"help forms", {"--help"}, Want([](TCommandLine& c) { c.Help = true; })},
      {"help form /?", {"/?"}, Want([](TCommandLine& c) { c.Help = true; })},
      {"version forms", {"--version"}, Want([](TCommandLine& c) { c.Version = true; })},
      {"version short form", {"-V"}, Want([](TCommandLine& c) { c.Version = true; })},
      {"-v is not the version (nor /version)", {"-v", "/version", "--VERSION"}, TCommandLine{}},
      {"list_tasks, either switch character", {"-LIST_TASKS"}, Want([](TCommandLine& c) { c.ListTasks = true; })},
      {"import", {"-import_task:job.ini"}, Want([](TCommandLine& c) { c.HasImportTask = true, c.ImportTask = "job.ini"; })},
      {"unknown parameters are ignored", {"/verbose", "file.txt", "/"}, TCommandLine{}},
  };
  for (const auto& c : cases) ExpectSame(ParseCommandLine(c.Args), c.Want, c.Name);
}

TEST(CommandLine, RunDetection) {
  EXPECT_TRUE(ParseCommandLine({"/dry"}).IsCommandLineRun());
  EXPECT_TRUE(ParseCommandLine({"/run"}).IsCommandLineRun());
  EXPECT_FALSE(ParseCommandLine({"/close", "/task:A"}).IsCommandLineRun());
}

TEST(CommandLine, DequoteTaskFile) {
  EXPECT_EQ(DequoteTaskFile("\"/a b/c.ini\""), "/a b/c.ini");
  EXPECT_EQ(DequoteTaskFile("\"say \"\"hi\"\".ini\""), "say \"hi\".ini");
  EXPECT_EQ(DequoteTaskFile("\"half.ini"), "\"half.ini");
  EXPECT_EQ(DequoteTaskFile("\""), "\"");
  EXPECT_EQ(DequoteTaskFile("plain.ini"), "plain.ini");
}

TEST(CommandLine, CopyCommandLineText) {
  EXPECT_EQ(CopyCommandLine("/opt/twinfold/twinfold", "Daily", "run"),
            "'/opt/twinfold/twinfold' /task:'Daily' /run /close /min");
  EXPECT_EQ(CopyCommandLine("/opt/twinfold/twinfold", "it's", "dry"),
            "'/opt/twinfold/twinfold' /task:'it'\\''s' /dry /close /min");
  EXPECT_EQ(CopyCommandLine("/opt/twinfold/twinfold", "a\tb", "run"),
            "'/opt/twinfold/twinfold' /task:'a'\"$(printf '\\011')\"'b' /run /close /min");
}

TEST(CommandLine, ProgramPathOfAReplacedProgram) {
  test::TTempDir tmp;
  test::WriteFile(tmp / "odd (deleted)", "");
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/twinfold", "/usr/bin/twinfold"},
      {"/usr/bin/twinfold (deleted)", "/usr/bin/twinfold"},
      {tmp / "odd (deleted)", tmp / "odd (deleted)"}, // a file of that very name
      {" (deleted)", " (deleted)"},
  };
  for (const auto& [link, want] : cases) EXPECT_EQ(ProgramPathFromLink(link), want) << link;
}

// Pasted into a shell, the copied line gives the program exactly these
// words, and nothing in a task name or the program's path runs.
TEST(CommandLine, CopiedCommandLineIsSafeInAShell) {
  test::TTempDir tmp;
  const std::string exes[] = {"/usr/bin/twinfold", tmp / "my apps/it's \"here\"/twinfold"};
  const std::string names[] = {
      "Nightly Backup",  "x$(touch pwned)", "`touch pwned`", "it's", "'", "''", "a\"b", "100% done",
      "$HOME ${PATH}",   "*",               "a;touch pwned", "-n",   "tab\there", "line\nbreak", "back\\slash",
      // Typed by a terminal that does not bracket the paste: erase the line,
      // then run what follows; or end the bracket early; or eat a quote.
      "a\x15touch pwned\x0f", "\x1b[201~\x15touch pwned\r", "\x7f; touch pwned; '", "cr\rbell\a\x01",
  };
  for (const std::string& exe : exes) {
    for (const std::string& name : names) {
      SCOPED_TRACE(exe + " | " + name);
      const std::string line = CopyCommandLine(exe, name, "run");
      test::WriteFile(tmp / "words.sh", "set -- " + line + "\nprintf '%s\\0' \"$@\"\n");
      const std::string out = test::ShellOut("cd '" + tmp.Path() + "' && sh words.sh");
      std::vector<std::string> words;
      for (size_t at = 0, end; (end = out.find('\0', at)) != std::string::npos; at = end + 1)
        words.push_back(out.substr(at, end - at));
      EXPECT_EQ(words, (std::vector<std::string>{exe, "/task:" + name, "/run", "/close", "/min"}));
      EXPECT_FALSE(test::Exists(tmp / "pwned"));
      // Nothing a line editor acts on: a line feed inside quotes only
      // continues the word.
      for (char c : line) EXPECT_FALSE((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) << int(c);
    }
  }
}

} // namespace
} // namespace twf
