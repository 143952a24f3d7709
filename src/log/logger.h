// The run log: one logger per run, called from many threads.
#pragma once

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace twf {

// printf into a std::string.
std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* fmt, va_list args);

// Text meant for people: bytes that are not valid UTF-8 become U+FFFD.
std::string ValidUtf8(std::string_view text);
// As ValidUtf8, and control characters (U+0000-U+001F, U+007F) become their
// visible Control Pictures (U+2400...), so a file name with a newline cannot
// split a log line.
std::string PrintableText(std::string_view text);
// JSON string body of a UTF-8 text (invalid bytes become U+FFFD first).
std::string JsonEscape(std::string_view text);

// "yyyy-mm-dd hh:nn:ss.zzz" of the local time now.
std::string LogTimestamp();

class TMirrorLogger {
public:
  using TLineCallback = std::function<void(const std::string&)>;

  // With toFile the file is created (mode 0600) or emptied, and starts with
  // the UTF-8 byte-order mark. A file another logger holds is refused and
  // left as it is; a symbolic link is never followed. Throws
  // std::runtime_error "Cannot create file \"<path>\". <reason>" when it
  // cannot be created.
  TMirrorLogger(const std::string& fileName, bool toFile, TLineCallback onLine, bool jsonFile);
  // Writes to fd, a file the caller has just created exclusively under
  // fileName, and never opens fileName itself: whoever can change the
  // folder cannot redirect the log between the claim and the first line.
  // Takes fd over (also when it throws).
  TMirrorLogger(int fd, const std::string& fileName, TLineCallback onLine, bool jsonFile);
  virtual ~TMirrorLogger();
  TMirrorLogger(const TMirrorLogger&) = delete;
  TMirrorLogger& operator=(const TMirrorLogger&) = delete;

  // One line: stamped, written to the file (one write, complete on disk when
  // this returns), then handed to the callback. Throws std::runtime_error
  // when the file write fails; the callback is then not called.
  void Log(const std::string& msg);
  void LogFmt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  const std::string& FileName() const { return FFileName; }

private:
  // Locks, empties and starts the file; closes fd and throws on failure.
  void StartFile(int fd);

  std::recursive_mutex FLock; // guards FFd
  int FFd = -1;
  TLineCallback FOnLine;
  std::string FFileName;
  bool FJsonFile = false;
};

} // namespace twf
