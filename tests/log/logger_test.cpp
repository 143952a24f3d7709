#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "log/logger.h"
#include "support/tree.h"

using namespace twf;
using twf::test::ReadFile;
using twf::test::TTempDir;

namespace {

const std::string kBom = "\xEF\xBB\xBF";
constexpr size_t kStampLen = 23; // "yyyy-mm-dd hh:nn:ss.zzz"

// Splits a file body (after the BOM) into its CR LF lines.
std::vector<std::string> FileLines(const std::string& body) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find("\r\n", pos);
    if (end == std::string::npos) { out.push_back(body.substr(pos) + "<no CR LF>"); break; }
    out.push_back(body.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0u;
}

} // namespace

TEST(Logger, NewFileHoldsOnlyTheByteOrderMarkAndReplacesAnOldOne) {
  TTempDir dir;
  const std::string path = dir / "run.log";
  twf::test::WriteFile(path, "old contents that must go");
  chmod(path.c_str(), 0644);
  { TMirrorLogger log(path, true, nullptr, false); }
  EXPECT_EQ(ReadFile(path), kBom);
  // A log lists every file name of the run: for its owner only.
  EXPECT_EQ(ModeOf(path), 0600u);
  { TMirrorLogger log(dir / "new.log", true, nullptr, false); }
  EXPECT_EQ(ModeOf(dir / "new.log"), 0600u);
}

TEST(Logger, ALogHeldByAnotherRunIsRefusedAndKept) {
  TTempDir dir;
  const std::string path = dir / "run.log";
  TMirrorLogger first(path, true, nullptr, false);
  first.Log("first run");
  const std::string before = ReadFile(path);
  try {
    TMirrorLogger second(path, true, nullptr, false);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + path + "\". The file is in use by another run");
  }
  EXPECT_EQ(ReadFile(path), before);
  first.Log("still writing");
  EXPECT_EQ(FileLines(ReadFile(path).substr(3)).size(), 2u);
}

// Whoever can change the log folder must not be able to point the log at
// another file: neither through a link at the name, nor by swapping the
// name after it was claimed.
TEST(Logger, NeverWritesThroughALinkOrAReplacedName) {
  TTempDir dir;
  const std::string victim = dir / "victim";
  twf::test::WriteFile(victim, "precious");
  const std::string linked = dir / "linked.log";
  ASSERT_EQ(symlink(victim.c_str(), linked.c_str()), 0);
  EXPECT_THROW(TMirrorLogger(linked, true, nullptr, false), std::runtime_error);

  const std::string claimed = dir / "claimed.log";
  const int fd = open(claimed.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(rename(claimed.c_str(), (dir / "moved.log").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), claimed.c_str()), 0);
  {
    TMirrorLogger log(fd, claimed, nullptr, false);
    EXPECT_EQ(log.FileName(), claimed);
    log.Log("a line");
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  auto lines = FileLines(ReadFile(dir / "moved.log").substr(3));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLen), "  a line");
}

TEST(Logger, WithoutFileEveryLineStillReachesTheCallback) {
  std::vector<std::string> got;
  TMirrorLogger log("/nonexistent/x.log", false, [&](const std::string& l) { got.push_back(l); }, true);
  log.Log("hello");
  log.Log("");
  EXPECT_TRUE(log.FileName().empty());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), kStampLen + 7);
  EXPECT_EQ(got[0].substr(kStampLen), "  hello");
  EXPECT_EQ(got[1].substr(kStampLen), "  ");
  // yyyy-mm-dd hh:nn:ss.zzz
  EXPECT_EQ(got[0][4], '-');
  EXPECT_EQ(got[0][10], ' ');
  EXPECT_EQ(got[0][13], ':');
  EXPECT_EQ(got[0][19], '.');
}

TEST(Logger, CannotCreateFileNamesPathAndReason) {
  try {
    TMirrorLogger log("/nonexistent-folder/x.log", true, nullptr, false);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"/nonexistent-folder/x.log\". No such file or directory");
  }
}

TEST(Logger, FileFormats) {
  struct Case {
    const char* name;
    bool json;
    std::string msg;
    std::string fileMsg; // what follows the timestamp part in the file
  };
  const std::string tricky = "a\"b\\c\td\r\ne\x01" "f/\x7F";
  const Case cases[] = {
      {"plain", false, "COPY         x (1 B)", "  COPY         x (1 B)"},
      {"json escapes", true, tricky, "\",\"msg\":\"a\\\"b\\\\c\\td\\r\\ne\\u0001f/\x7F\"}"},
      {"json backspace and form feed", true, "\b\f\x1B", "\",\"msg\":\"\\b\\f\\u001B\"}"},
      {"json keeps non-ASCII as UTF-8", true, "Caf\xC3\xA9 \xF0\x9F\x98\x80", "\",\"msg\":\"Caf\xC3\xA9 \xF0\x9F\x98\x80\"}"},
      {"plain keeps non-ASCII as UTF-8", false, "Caf\xC3\xA9 \xF0\x9F\x98\x80", "  Caf\xC3\xA9 \xF0\x9F\x98\x80"},
      // A newline in a file name must not split the line: control characters
      // show as their visible pictures.
      {"plain control characters", false, "a\nb\rc", "  a\xE2\x90\x8A" "b\xE2\x90\x8D" "c"},
      {"invalid UTF-8 becomes U+FFFD", false, "bad\xFF\xC3", "  bad\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"invalid UTF-8 in JSON", true, "bad\xFF", "\",\"msg\":\"bad\xEF\xBF\xBD\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir dir;
    const std::string path = dir / "run.log";
    std::vector<std::string> cb;
    {
      TMirrorLogger log(path, true, [&](const std::string& l) { cb.push_back(l); }, c.json);
      log.Log(c.msg);
    }
    const std::string body = ReadFile(path);
    ASSERT_EQ(body.substr(0, 3), kBom);
    auto lines = FileLines(body.substr(3));
    ASSERT_EQ(lines.size(), 1u);
    if (c.json) {
      ASSERT_EQ(lines[0].substr(0, 7), "{\"ts\":\"");
      EXPECT_EQ(lines[0].substr(7 + kStampLen), c.fileMsg);
    } else {
      EXPECT_EQ(lines[0].substr(kStampLen), c.fileMsg);
    }
    // The callback gets the text line, never the JSON form.
    ASSERT_EQ(cb.size(), 1u);
    EXPECT_EQ(cb[0].find("{\"ts\""), std::string::npos);
    EXPECT_EQ(cb[0].find('\n'), std::string::npos);
  }
}

TEST(Logger, ConcurrentLinesStayWhole) {
  TTempDir dir;
  const std::string path = dir / "run.log";
  std::mutex m;
  size_t calls = 0;
  {
    TMirrorLogger log(path, true, [&](const std::string&) { std::lock_guard<std::mutex> g(m); ++calls; }, false);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
      ts.emplace_back([&, t] {
        for (int i = 0; i < 500; ++i) log.LogFmt("thread %d line %d %s", t, i, std::string(100, 'x').c_str());
      });
    for (auto& t : ts) t.join();
  }
  auto lines = FileLines(ReadFile(path).substr(3));
  ASSERT_EQ(lines.size(), 4000u);
  for (const auto& l : lines) ASSERT_EQ(l.substr(l.size() - 100), std::string(100, 'x'));
  EXPECT_EQ(calls, 4000u);
}

TEST(Logger, LongLineIsWrittenWhole) {
  TTempDir dir;
  const std::string path = dir / "run.log";
  const std::string big(200000, 'y');
  {
    TMirrorLogger log(path, true, nullptr, false);
    log.Log(big);
  }
  auto lines = FileLines(ReadFile(path).substr(3));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLen + 2), big);
}

TEST(Logger, FullDiskIsReportedAsAnError) {
  // /dev/full accepts the open and fails every write with ENOSPC.
  bool called = false;
  try {
    TMirrorLogger log("/dev/full", true, [&](const std::string&) { called = true; }, false);
    log.Log("x");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(called);
}
