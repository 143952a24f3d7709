#include "runctl/webhook.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

// For the types and constants only: libcurl itself is loaded on the first
// request (TCurl), so a run that sends none never pays for it and its chain.
#include <curl/curl.h>

#include "engine/text.h"
#include "log/logger.h"
#include "log/utf8.h"
#include "platform/dynamic_library.h"
#include "runctl/machine_text.h"

namespace twf {

namespace {

// One character; a byte that does not start valid UTF-8 becomes U+FFFD.
uint32_t DecodeUtf8(std::string_view s, size_t& i) {
  char32_t cp = 0;
  const size_t len = Utf8SequenceLength(s, i, &cp);
  if (len == 0) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return uint32_t(cp);
}

// "\uXXXX" with upper-case digits; unit is one UTF-16 code unit.
void AppendU(std::string& out, uint32_t unit) {
  static const char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

std::string Str(const std::string& s) { return "\"" + AsciiJsonEscape(s) + "\""; }

} // namespace

std::string AsciiJsonEscape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = DecodeUtf8(s, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case 0x08: out += "\\b"; continue;
      case 0x09: out += "\\t"; continue;
      case 0x0A: out += "\\n"; continue;
      case 0x0C: out += "\\f"; continue;
      case 0x0D: out += "\\r"; continue;
      default: break;
    }
    if (cp < 0x20 || (cp >= 0x80 && cp < 0x10000)) {
      AppendU(out, cp);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendU(out, 0xD800 + (cp >> 10));
      AppendU(out, 0xDC00 + (cp & 0x3FF));
    } else {
      out += char(cp);
    }
  }
  return out;
}

std::string ReportTime(TWallClock t) {
  time_t secs = std::chrono::system_clock::to_time_t(t);
  tm local;
  localtime_r(&secs, &local);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  return buf;
}

std::string BuildWebhookPayload(const TMirrorStats& st, const std::string& source, const std::string& task,
                                const std::string& destination, TWallClock started, TWallClock finished,
                                const TRunFlags& flags) {
  const double elapsedExact = std::chrono::duration<double, std::milli>(finished - started).count();
  int64_t elapsed = RoundHalfEven(elapsedExact);
  if (elapsed < 0) elapsed = 0;
  int64_t speed = 0;
  if (elapsed > 0 && st.BytesCopied > 0) speed = RoundHalfEven(double(st.BytesCopied) * 1000.0 / double(elapsed));
  const char* status = flags.CancelRequested ? "cancelled" : st.Errors <= 0 ? "success" : "completed_with_errors";
  auto num = [](int64_t v) { return std::to_string(v); };
  std::string j = "{";
  j += "\"app\":" + Str("Quarlex Twinfold");
  j += ",\"version\":" + Str(AppVersionString());
  j += ",\"computer\":" + Str(ComputerNameText());
  j += ",\"device_model\":" + Str(DeviceModelText());
  j += ",\"user\":" + Str(UserNameText());
  j += ",\"task\":" + Str(task.empty() ? "Untitled" : task);
  j += ",\"started_by\":" + Str(flags.SilentRun ? "command line" : "GUI");
  j += ",\"status\":" + Str(status);
  j += std::string(",\"dry_run\":") + (flags.DryRun ? "true" : "false");
  j += ",\"started\":" + Str(ReportTime(started));
  j += ",\"finished\":" + Str(ReportTime(finished));
  j += ",\"elapsed_ms\":" + num(elapsed);
  j += ",\"avg_speed_bps\":" + num(speed);
  j += ",\"avg_speed\":" + Str(FormatSize(speed) + "/s");
  j += ",\"source\":" + Str(source);
  j += ",\"destination\":" + Str(destination);
  j += ",\"files_copied\":" + num(st.FilesCopied);
  j += ",\"bytes_copied\":" + num(st.BytesCopied);
  j += ",\"files_deleted\":" + num(st.FilesDeleted);
  j += ",\"folders_created\":" + num(st.DirsCreated);
  j += ",\"folders_removed\":" + num(st.DirsDeleted);
  j += ",\"files_skipped\":" + num(st.Skipped);
  j += ",\"files_verified\":" + num(st.Verified);
  j += ",\"files_archived\":" + num(st.Archived);
  j += ",\"errors\":" + num(st.Errors);
  j += "}";
  return j;
}

std::string IndentReport(const std::string& compact) {
  // The report is flat (no nested objects or arrays): split at the commas
  // and colons that stand outside strings.
  std::string out = "{\r\n  ";
  bool inString = false;
  for (size_t i = 1; i + 1 < compact.size(); ++i) {
    char c = compact[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 2 < compact.size()) out += compact[++i];
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    if (c == ',') out += ",\r\n  ";
    else if (c == ':') out += ": ";
    else out += c;
  }
  out += "\r\n}";
  return out;
}

std::string ExampleReport(const TRunFlags& flags) {
  TMirrorStats st;
  st.FilesCopied = 84213;
  st.BytesCopied = 912345678901LL;
  st.FilesDeleted = 4;
  st.DirsCreated = 1240;
  st.Skipped = 3391;
  const TWallClock now = std::chrono::system_clock::now();
  return BuildWebhookPayload(st, "/home/dev/Documents", "Nightly Backup", "/media/dev/Backup/Documents",
                             now - std::chrono::hours(3), now, flags);
}

namespace {

constexpr char kCurlSoname[] = "libcurl.so.4";

// The libcurl functions the webhook calls. Error is empty when all of them
// were found.
struct TCurl {
  CURLcode (*GlobalInit)(long flags) = nullptr;
  CURL* (*EasyInit)() = nullptr;
  CURLcode (*EasySetopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*EasyPerform)(CURL*) = nullptr;
  CURLcode (*EasyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
  void (*EasyCleanup)(CURL*) = nullptr;
  const char* (*EasyStrerror)(CURLcode) = nullptr;
  curl_slist* (*SlistAppend)(curl_slist*, const char*) = nullptr;
  void (*SlistFreeAll)(curl_slist*) = nullptr;
  std::string Error;
  TDynamicLibrary Library;
};

TCurl LoadCurl(const std::string& soname) {
  TCurl c;
  bool found = c.Library.Open(soname);
  auto get = [&](auto& fn, const char* name) {
    if (found) found = (fn = c.Library.Function<std::remove_reference_t<decltype(fn)>>(name)) != nullptr;
  };
  get(c.GlobalInit, "curl_global_init");
  get(c.EasyInit, "curl_easy_init");
  get(c.EasySetopt, "curl_easy_setopt");
  get(c.EasyPerform, "curl_easy_perform");
  get(c.EasyGetinfo, "curl_easy_getinfo");
  get(c.EasyCleanup, "curl_easy_cleanup");
  get(c.EasyStrerror, "curl_easy_strerror");
  get(c.SlistAppend, "curl_slist_append");
  get(c.SlistFreeAll, "curl_slist_free_all");
  if (!found) {
    c.Error = "libcurl could not be loaded: " + c.Library.Error();
    c.Library.Close();
    return c;
  }
  c.GlobalInit(CURL_GLOBAL_DEFAULT);
  return c;
}

std::mutex gCurlOverrideLock;
std::string gCurlOverride;

// The process's libcurl: loaded by whichever request comes first, and
// never unloaded (nor its table freed), since a request on another thread
// may still be in it at exit. A load that failed (no descriptor or memory
// left, the library installed meanwhile) is tried again by the next request.
const TCurl* SharedCurl(std::string& error) {
  static std::mutex lock;
  static const TCurl* loaded = nullptr;
  std::lock_guard<std::mutex> g(lock);
  if (!loaded) {
    auto curl = std::make_unique<TCurl>(LoadCurl(kCurlSoname));
    if (!curl->Error.empty()) {
      error = curl->Error;
      return nullptr;
    }
    curl->Library.Release();
    loaded = curl.release();
  }
  return loaded;
}

size_t DiscardBody(char*, size_t size, size_t n, void*) { return size * n; }

// The response timeout: once connected, the request ends when nothing has
// moved in either direction for timeoutMs. (curl's own low-speed limit
// averages over several seconds, which would stretch a short timeout.)
struct TResponseWatch {
  const TCurl& Api;
  CURL* Curl;
  long TimeoutMs;
  std::chrono::steady_clock::time_point Last = std::chrono::steady_clock::now();
  curl_off_t Up = -1, Down = -1;
  bool TimedOut = false;
};

int OnTransferProgress(void* data, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto* w = static_cast<TResponseWatch*>(data);
  const auto now = std::chrono::steady_clock::now();
  curl_off_t connectedUs = 0;
  w->Api.EasyGetinfo(w->Curl, CURLINFO_CONNECT_TIME_T, &connectedUs);
  if (connectedUs == 0 || up != w->Up || down != w->Down) {
    // Connecting is the connect timeout's business; any byte is progress.
    w->Up = up;
    w->Down = down;
    w->Last = now;
    return 0;
  }
  if (now - w->Last < std::chrono::milliseconds(w->TimeoutMs)) return 0;
  w->TimedOut = true;
  return 1;
}

// The auth header is a secret: only a channel that is encrypted and whose
// server has been verified may carry it.
bool MayCarrySecret(const std::string& url, bool verifyCertificate) {
  static constexpr std::string_view kHttps = "https://";
  if (!verifyCertificate || url.size() < kHttps.size()) return false;
  for (size_t i = 0; i < kHttps.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != kHttps[i]) return false;
  return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

} // namespace

TCurlLibraryOverride::TCurlLibraryOverride(const std::string& soname) {
  std::lock_guard<std::mutex> g(gCurlOverrideLock);
  gCurlOverride = soname;
}

TCurlLibraryOverride::~TCurlLibraryOverride() {
  std::lock_guard<std::mutex> g(gCurlOverrideLock);
  gCurlOverride.clear();
}

void PostWebhook(const std::string& url, const std::string& payload, bool verifyCertificate,
                 const std::string& headerValueIn, const std::string& headerNameIn, TMirrorLogger& log,
                 const TWebhookTransport& transport) {
  const long timeoutMs = transport.TimeoutMs;
  std::string line;
  std::string headerName = headerNameIn, headerValue = headerValueIn;
  if (!headerName.empty() && !MayCarrySecret(url, verifyCertificate)) {
    headerName.clear();
    headerValue.clear();
    try {
      log.Log(kWebhookHeaderWithheldLine);
    } catch (...) {
    }
  }
  try {
    std::string overrideName;
    {
      std::lock_guard<std::mutex> g(gCurlOverrideLock);
      overrideName = gCurlOverride;
    }
    std::optional<TCurl> ownCurl;
    if (!overrideName.empty()) ownCurl.emplace(LoadCurl(overrideName));
    TCurl unloaded; // carries the reason when the shared one cannot be loaded
    const TCurl* shared = ownCurl ? nullptr : SharedCurl(unloaded.Error);
    const TCurl& api = ownCurl ? *ownCurl : shared ? *shared : unloaded;
    CURL* curl = nullptr;
    if (HasLineBreak(headerName) || HasLineBreak(headerValue)) {
      // A line break would let the key's text add header lines of its own.
      line = "Webhook:     FAILED - the auth header contains a line break";
    } else if (!api.Error.empty()) {
      line = "Webhook:     FAILED - " + StripTrailingDot(api.Error);
    } else if (!(curl = api.EasyInit())) {
      line = "Webhook:     FAILED - the HTTP client could not be created";
    } else {
      char errbuf[CURL_ERROR_SIZE] = {0};
      curl_slist* headers = api.SlistAppend(nullptr, "Content-Type: application/json");
      if (!headerName.empty()) {
        // "Name;" is how curl sends a header with an empty value.
        std::string h = headerValue.empty() ? headerName + ";" : headerName + ": " + headerValue;
        headers = api.SlistAppend(headers, h.c_str());
      }
      auto set = api.EasySetopt;
      set(curl, CURLOPT_URL, url.c_str());
      set(curl, CURLOPT_POST, 1L);
      set(curl, CURLOPT_POSTFIELDS, payload.data());
      set(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(payload.size()));
      set(curl, CURLOPT_HTTPHEADER, headers);
      set(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
      TResponseWatch watch{api, curl, timeoutMs};
      set(curl, CURLOPT_XFERINFOFUNCTION, OnTransferProgress);
      set(curl, CURLOPT_XFERINFODATA, &watch);
      set(curl, CURLOPT_NOPROGRESS, 0L);
      // A server trickling bytes must not hold the run's finish forever.
      set(curl, CURLOPT_TIMEOUT_MS, 4 * timeoutMs);
      // Only what an HTTP client does: no file://, no other protocols, and
      // no redirects.
      set(curl, CURLOPT_PROTOCOLS_STR, "http,https");
      set(curl, CURLOPT_NOSIGNAL, 1L);
      set(curl, CURLOPT_ERRORBUFFER, errbuf);
      set(curl, CURLOPT_WRITEFUNCTION, DiscardBody);
      set(curl, CURLOPT_SSL_VERIFYPEER, verifyCertificate ? 1L : 0L);
      set(curl, CURLOPT_SSL_VERIFYHOST, verifyCertificate ? 2L : 0L);
      if (!transport.CaFile.empty()) set(curl, CURLOPT_CAINFO, transport.CaFile.c_str());
      CURLcode rc = api.EasyPerform(curl);
      if (rc == CURLE_OK) {
        long code = 0;
        api.EasyGetinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        line = FormatText("Webhook:     delivered (HTTP %ld)", code);
      } else {
        std::string msg = watch.TimedOut ? FormatText("no response from the server within %ld ms", timeoutMs)
                          : errbuf[0]     ? errbuf
                                          : api.EasyStrerror(rc);
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
        line = "Webhook:     FAILED - " + StripTrailingDot(msg);
      }
      api.SlistFreeAll(headers);
      api.EasyCleanup(curl);
    }
  } catch (const std::exception& e) {
    line = "Webhook:     FAILED - " + StripTrailingDot(e.what());
  }
  try {
    log.Log(line);
  } catch (...) {
  }
}

} // namespace twf
