// Text written for people and programs: the input is up to four strings
// split at NUL bytes, used as file names, paths, texts and task names.
// What each encoder promises is checked on its output, not only that it
// survives: log text is valid UTF-8 without control characters, every line
// of a JSON log is one JSON object, JSON string bodies decode to the text
// with invalid bytes replaced, and the completion report is pure-ASCII JSON
// (also re-printed with indentation).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "engine/events.h"
#include "fuzz/fuzz_support.h"
#include "log/logger.h"
#include "log/run_log.h"
#include "runctl/webhook.h"

using namespace twf;
using twf::fuzz::Check;
using twf::fuzz::IsJsonValue;
using twf::fuzz::IsValidUtf8;

namespace {

void CheckPersonText(const std::string& text) {
  Check(IsValidUtf8(text), "log text is valid UTF-8");
  for (unsigned char c : text) Check(c >= 0x20 && c != 0x7f, "log text holds no control character");
}

void CheckEscapes(std::string_view text) {
  const std::string clean = ValidUtf8(text);
  Check(IsValidUtf8(clean), "ValidUtf8 gives valid UTF-8");
  if (IsValidUtf8(text)) Check(clean == text, "ValidUtf8 keeps valid text as it is");
  CheckPersonText(PrintableText(text));

  std::string decoded;
  Check(IsJsonValue("\"" + JsonEscape(text) + "\"", &decoded), "JsonEscape gives a JSON string");
  Check(decoded == clean, "the JSON string decodes to the text");
  const std::string ascii = AsciiJsonEscape(text);
  for (unsigned char c : ascii) Check(c < 0x80, "AsciiJsonEscape gives ASCII");
  Check(IsJsonValue("\"" + ascii + "\"", &decoded), "AsciiJsonEscape gives a JSON string");
  Check(decoded == clean, "the ASCII JSON string decodes to the text");
}

std::string ReadAll(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fd);
  return out;
}

// Every event the run log knows, carrying the input's strings.
void LogEveryEvent(TRunLog& log, const std::vector<std::string_view>& part, const TMirrorOptions& options) {
  const TRunFigures figures;
  TRunEvent e;
  e.Rel = part[0];
  e.Path = part[1];
  e.Text = part[2];
  e.Text2 = part[3];
  e.Errno = EIO;
  e.Count = 3;
  e.Total = 7;
  e.Options = &options;
  e.Figures = &figures;
  for (int k = 0; k <= int(TEventKind::Error); ++k) {
    e.Kind = TEventKind(k);
    if (e.Kind != TEventKind::Error) {
      log.OnEvent(e);
      continue;
    }
    for (int r = 0; r <= int(TRunError::Unexpected); ++r) {
      e.Error = TRunError(r);
      log.OnEvent(e);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> part;
  for (size_t start = 0; part.size() < 4;) {
    const size_t nul = in.find('\0', start);
    part.push_back(in.substr(std::min(start, in.size()), nul == std::string_view::npos ? in.npos : nul - start));
    start = nul == std::string_view::npos ? in.size() + 1 : nul + 1;
  }
  CheckEscapes(in);

  TMirrorOptions options;
  options.SourceDir = part[1];
  options.DestDir = part[2];
  options.ExcludePatterns = part[3];
  options.TaskName = part[0];
  options.ArchiveDir = part[2];

  const std::string file = twf::fuzz::PrivateHome() + "/log.json";
  {
    TMirrorLogger logger(file, true, [](const std::string& line) { CheckPersonText(line); }, true);
    logger.Log(std::string(in));
    TRunLog runLog(&logger, kAllLogOps);
    LogEveryEvent(runLog, part, options);
  }
  const std::string json = ReadAll(file);
  Check(json.compare(0, 3, "\xEF\xBB\xBF") == 0, "the JSON log starts with the byte-order mark");
  size_t lines = 0;
  for (size_t start = 3; start < json.size(); ++lines) {
    const size_t end = json.find("\r\n", start);
    Check(end != std::string::npos, "every JSON log line ends with CR LF");
    const std::string_view line(json.data() + start, end - start);
    Check(line.find_first_of("\r\n") == std::string_view::npos, "a JSON log line is one line");
    Check(line.front() == '{' && IsJsonValue(line), "a JSON log line is one JSON object");
    if (lines == 0) {
      // The first line is the input itself: its message decodes back to it.
      const size_t msg = line.find(",\"msg\":");
      std::string decoded;
      Check(msg != std::string_view::npos && line.ends_with("}"), "a JSON log line has its message last");
      Check(IsJsonValue(line.substr(msg + 7, line.size() - msg - 8), &decoded) && decoded == ValidUtf8(in),
            "the JSON log line's message is the logged text");
    }
    start = end + 2;
  }
  Check(lines > 0, "the JSON log holds the lines");

  TMirrorStats stats;
  stats.Phase = std::string(part[3]);
  const TWallClock t0{std::chrono::seconds(1700000000)};
  const std::string report =
      BuildWebhookPayload(stats, std::string(part[1]), std::string(part[0]), std::string(part[2]), t0,
                          t0 + std::chrono::seconds(90), TRunFlags{});
  for (unsigned char c : report) Check(c < 0x80, "the report is ASCII");
  Check(report.front() == '{' && IsJsonValue(report), "the report is one JSON object");
  Check(IsJsonValue(IndentReport(report)), "the indented report is JSON");
  return 0;
}
