// The completion report of a run and its delivery by HTTP POST.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/types.h"

namespace twf {

class TMirrorLogger;

using TWallClock = std::chrono::system_clock::time_point;

// How the run ended, as the window (or a headless run) saw it.
struct TRunFlags {
  bool SilentRun = false;       // started from the command line
  bool CancelRequested = false; // the user asked to cancel
  bool DryRun = false;
};

// The report text: one compact JSON object of pure ASCII (every character
// from U+0080 on, and every control character, as \u escapes of its UTF-16
// units). Times are local, without milliseconds or zone.
std::string BuildWebhookPayload(const TMirrorStats& stats, const std::string& source, const std::string& task,
                                const std::string& destination, TWallClock started, TWallClock finished,
                                const TRunFlags& flags);

// JSON string body in the report's pure-ASCII form.
std::string AsciiJsonEscape(std::string_view utf8);

// "yyyy-mm-ddThh:nn:ss" in local time.
std::string ReportTime(TWallClock t);

// The report re-printed with one member per line, two blanks of indent,
// CR LF line ends (the example window shows it).
std::string IndentReport(const std::string& compact);

// The example report: fixed counters, a three-hour run ending now, the
// machine fields of this computer.
std::string ExampleReport(const TRunFlags& flags);

inline constexpr const char* kWebhookHeaderWithheldLine =
    "Webhook:     auth header withheld - it is sent only over https with certificate checks on";

// How a report travels.
struct TWebhookTransport {
  // For connecting, then for any silence while sending or waiting on the
  // response; the request as a whole never takes more than four times that.
  long TimeoutMs = 15000;
  // A file of trusted certificates to check the server's against instead of
  // the system's ("": the system's).
  std::string CaFile;
};

// Posts the report and logs "Webhook:     delivered (HTTP n)" or
// "Webhook:     FAILED - reason". Never throws. An empty headerName sends no
// authentication header; the header's value never reaches the log. The
// header goes only to an https URL with verifyCertificate on; otherwise the
// report is posted without it, after the line kWebhookHeaderWithheldLine.
// Only http and https URLs are posted, redirects are not followed, and a
// header name or value holding a line break fails the request. libcurl is
// loaded on the first request; when it cannot be, every request fails with
// "libcurl could not be loaded: reason".
void PostWebhook(const std::string& url, const std::string& payload, bool verifyCertificate,
                 const std::string& headerValue, const std::string& headerName, TMirrorLogger& log,
                 const TWebhookTransport& transport = {});

// Tests: while one exists, requests load libcurl from soname instead of the
// shared copy, afresh for each request (a name that cannot be loaded shows
// how a machine without libcurl fails). One at a time.
class TCurlLibraryOverride {
public:
  explicit TCurlLibraryOverride(const std::string& soname);
  ~TCurlLibraryOverride();
  TCurlLibraryOverride(const TCurlLibraryOverride&) = delete;
  TCurlLibraryOverride& operator=(const TCurlLibraryOverride&) = delete;
};

} // namespace twf
