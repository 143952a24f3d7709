#include "log/logger.h"

#include "log/utf8.h"
#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace twf {

std::string FormatTextV(const char* fmt, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(n);
  return out;
}

std::string FormatText(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = FormatTextV(fmt, args);
  va_end(args);
  return s;
}

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) out += char(cp);
  else if (cp < 0x800) { out += char(0xC0 | (cp >> 6)); out += char(0x80 | (cp & 0x3F)); }
  else { out += char(0xE0 | (cp >> 12)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
}

template <class OnAscii>
std::string Transform(std::string_view text, OnAscii onAscii) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    size_t len = Utf8SequenceLength(text, i);
    if (len == 0) { out += kReplacement; ++i; continue; }
    if (len == 1) onAscii(out, static_cast<unsigned char>(text[i]));
    else out.append(text.data() + i, len);
    i += len;
  }
  return out;
}

} // namespace

std::string ValidUtf8(std::string_view text) {
  return Transform(text, [](std::string& out, unsigned char c) { out += char(c); });
}

std::string PrintableText(std::string_view text) {
  return Transform(text, [](std::string& out, unsigned char c) {
    if (c < 0x20) AppendUtf8(out, 0x2400 + c);
    else if (c == 0x7F) AppendUtf8(out, 0x2421);
    else out += char(c);
  });
}

std::string JsonEscape(std::string_view text) {
  return Transform(text, [](std::string& out, unsigned char c) {
    switch (c) {
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  });
}

std::string LogTimestamp() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  char buf[40];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, int(ts.tv_nsec / 1000000));
  return buf;
}

TMirrorLogger::TMirrorLogger(const std::string& fileName, bool toFile, TLineCallback onLine, bool jsonFile)
    : FOnLine(std::move(onLine)), FJsonFile(jsonFile) {
  if (!toFile) return;
  FFileName = fileName;
  // No O_TRUNC: a log that another run holds must survive our refusal, so it
  // is emptied only once the lock is ours. Non-blocking so that a FIFO in
  // its place cannot hang the start.
  int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    int e = errno;
    throw std::runtime_error("Cannot create file \"" + fileName + "\". " + SystemMessage(e));
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  StartFile(fd);
}

TMirrorLogger::TMirrorLogger(int fd, const std::string& fileName, TLineCallback onLine, bool jsonFile)
    : FOnLine(std::move(onLine)), FFileName(fileName), FJsonFile(jsonFile) {
  StartFile(fd);
}

void TMirrorLogger::StartFile(int fd) {
  auto fail = [&](const std::string& reason) {
    close(fd);
    throw std::runtime_error("Cannot create file \"" + FFileName + "\". " + reason);
  };
  // No share modes here: an advisory lock keeps a second logger of ours off the file.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) fail("The file is in use by another run");
  struct stat st;
  if (fstat(fd, &st) != 0) fail(SystemMessage(errno));
  if (S_ISREG(st.st_mode)) {
    if (ftruncate(fd, 0) != 0) fail(SystemMessage(errno));
    // The log lists every file name of the run: for its owner only.
    if (st.st_uid == geteuid() && (st.st_mode & 07777) != 0600) fchmod(fd, 0600);
  }
  static const char bom[] = "\xEF\xBB\xBF";
  // A short write sets no errno: the device had no room for the rest.
  if (const ssize_t n = write(fd, bom, 3); n != 3) fail(SystemMessage(n < 0 ? errno : ENOSPC));
  FFd = fd;
}

TMirrorLogger::~TMirrorLogger() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

void TMirrorLogger::Log(const std::string& msg) {
  const std::string ts = LogTimestamp();
  std::string text = ts + "  " + PrintableText(msg);
  std::string fileLine;
  if (FFd >= 0) {
    fileLine = FJsonFile ? "{\"ts\":\"" + JsonEscape(ts) + "\",\"msg\":\"" + JsonEscape(msg) + "\"}" : text;
    fileLine += "\r\n";
  }
  {
    std::lock_guard<std::recursive_mutex> g(FLock);
    if (FFd >= 0) {
      // One write per piece of at most 64 KiB; a short line is a single write.
      size_t done = 0;
      while (done < fileLine.size()) {
        size_t piece = std::min<size_t>(fileLine.size() - done, 65536);
        ssize_t n = write(FFd, fileLine.data() + done, piece);
        if (n < 0) {
          if (errno == EINTR) continue;
          int e = errno;
          throw std::runtime_error(std::string("Cannot write the log file: ") + SystemMessage(e));
        }
        done += static_cast<size_t>(n);
      }
    }
  }
  if (FOnLine) FOnLine(text);
}

void TMirrorLogger::LogFmt(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = FormatTextV(fmt, args);
  va_end(args);
  Log(s);
}

} // namespace twf
