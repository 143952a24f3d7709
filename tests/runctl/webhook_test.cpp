#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "engine/text.h"
#include "log/logger.h"
#include "runctl/machine_text.h"
#include "runctl/runctl_support.h"
#include "runctl/webhook.h"

namespace twf {
namespace {

using namespace std::chrono_literals;
using test::ParseFlatJson;
using test::TWebhookServer;

// 2026-03-07 09:05:03 UTC with TZ=UTC.
TWallClock At(int64_t unixSeconds, std::chrono::microseconds extra = 0us) {
  return TWallClock(std::chrono::seconds(unixSeconds)) + extra;
}
constexpr int64_t kStart = 1772874303;

class Webhook : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
      unsetenv(v);
  }
};

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

TEST_F(Webhook, ReportHasThe25MembersInOrder) {
  TMirrorStats st;
  st.FilesCopied = 7;
  st.BytesCopied = 3000;
  st.FilesDeleted = 2;
  st.DirsCreated = 3;
  st.DirsDeleted = 4;
  st.Skipped = 5;
  st.Verified = 6;
  st.Archived = 8;
  st.Errors = 1;
  const std::string body = BuildWebhookPayload(st, "/data/Fotos \"2024\"", "Nächte", "/mnt/backup\\x", At(kStart),
                                               At(kStart + 2, 500us), TRunFlags{true, false, true});
  const std::vector<std::pair<std::string, std::string>> want = {
      {"app", Quoted("Quarlex Twinfold")},
      {"version", Quoted(AppVersionString())},
      {"computer", Quoted(AsciiJsonEscape(ComputerNameText()))},
      {"device_model", Quoted(AsciiJsonEscape(DeviceModelText()))},
      {"user", Quoted(AsciiJsonEscape(UserNameText()))},
      {"task", Quoted("N\\u00E4chte")},
      {"started_by", Quoted("command line")},
      {"status", Quoted("completed_with_errors")},
      {"dry_run", "true"},
      {"started", Quoted("2026-03-07T09:05:03")},
      {"finished", Quoted("2026-03-07T09:05:05")},
      {"elapsed_ms", "2000"}, // 2000.5 rounds to the even 2000
      {"avg_speed_bps", "1500"},
      {"avg_speed", Quoted("1.46 KB/s")},
      {"source", Quoted("/data/Fotos \\\"2024\\\"")},
      {"destination", Quoted("/mnt/backup\\\\x")},
      {"files_copied", "7"},
      {"bytes_copied", "3000"},
      {"files_deleted", "2"},
      {"folders_created", "3"},
      {"folders_removed", "4"},
      {"files_skipped", "5"},
      {"files_verified", "6"},
      {"files_archived", "8"},
      {"errors", "1"},
  };
  EXPECT_EQ(ParseFlatJson(body), want);
  for (unsigned char c : body) EXPECT_LT(c, 0x80);
}

TEST_F(Webhook, StatusAndFlags) {
  struct TCase {
    const char* Name;
    int32_t Errors;
    TRunFlags Flags;
    const char* Status;
    const char* StartedBy;
    const char* Dry;
  };
  const std::vector<TCase> cases = {
      {"clean window run", 0, {false, false, false}, "success", "GUI", "false"},
      {"errors", 3, {false, false, false}, "completed_with_errors", "GUI", "false"},
      {"cancelled wins over errors", 3, {true, true, false}, "cancelled", "command line", "false"},
      {"dry run", 0, {true, false, true}, "success", "command line", "true"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMirrorStats st;
    st.Errors = c.Errors;
    auto m = ParseFlatJson(BuildWebhookPayload(st, "s", "", "d", At(kStart), At(kStart), c.Flags));
    ASSERT_EQ(m.size(), 25u);
    EXPECT_EQ(m[5].second, "\"Untitled\"");
    EXPECT_EQ(m[6].second, Quoted(c.StartedBy));
    EXPECT_EQ(m[7].second, Quoted(c.Status));
    EXPECT_EQ(m[8].second, c.Dry);
  }
}

TEST_F(Webhook, ElapsedAndAverageSpeed) {
  struct TCase {
    const char* Name;
    std::chrono::microseconds Elapsed;
    int64_t Bytes;
    const char* WantElapsed;
    const char* WantBps;
    const char* WantSpeed;
  };
  const std::vector<TCase> cases = {
      {"nothing copied", 5s, 0, "5000", "0", "\"0 B/s\""},
      {"finish before start", -3s, 100, "0", "0", "\"0 B/s\""},
      {"under half a millisecond", 400us, 100, "0", "0", "\"0 B/s\""},
      {"a third rounds", 3ms, 1000, "3", "333333", "\"325.52 KB/s\""},
      {"1.5 ms rounds to 2", 1500us, 1000, "2", "500000", "\"488.28 KB/s\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMirrorStats st;
    st.BytesCopied = c.Bytes;
    auto m = ParseFlatJson(BuildWebhookPayload(st, "s", "t", "d", At(kStart), At(kStart, c.Elapsed), {}));
    ASSERT_EQ(m.size(), 25u);
    EXPECT_EQ(m[11].second, c.WantElapsed);
    EXPECT_EQ(m[12].second, c.WantBps);
    EXPECT_EQ(m[13].second, c.WantSpeed);
  }
}

TEST_F(Webhook, PureAsciiEscaping) {
  struct TCase {
    const char* Name;
    std::string In;
    std::string Want;
  };
  const std::vector<TCase> cases = {
      {"named escapes", "\"\\\b\t\n\f\r", "\\\"\\\\\\b\\t\\n\\f\\r"},
      {"other controls as upper-case \\u", std::string("\x01\x1b\x1f", 3), "\\u0001\\u001B\\u001F"},
      {"NUL", std::string("a\0b", 3), "a\\u0000b"},
      {"solidus and DEL unchanged", "/\x7f~", "/\x7f~"},
      {"Latin-1 and BMP", "é€", "\\u00E9\\u20AC"},
      {"outside the BMP: a surrogate pair", "\xF0\x9F\x8C\x99", "\\uD83C\\uDF19"},
      {"highest code point", "\xF4\x8F\xBF\xBF", "\\uDBFF\\uDFFF"},
      {"invalid bytes become U+FFFD", "a\xff" "b\xc3", "a\\uFFFDb\\uFFFD"},
      {"an encoded surrogate is invalid", "\xED\xA0\x80", "\\uFFFD\\uFFFD\\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(AsciiJsonEscape(c.In), c.Want);
  }
}

TEST_F(Webhook, IndentedExample) {
  EXPECT_EQ(IndentReport("{\"a\":\"x,y:z\",\"b\":1,\"c\":\"q\\\"s,\"}"),
            "{\r\n  \"a\": \"x,y:z\",\r\n  \"b\": 1,\r\n  \"c\": \"q\\\"s,\"\r\n}");

  const std::string example = ExampleReport(TRunFlags{false, true, false});
  auto m = ParseFlatJson(example);
  ASSERT_EQ(m.size(), 25u);
  EXPECT_EQ(m[5].second, "\"Nightly Backup\"");
  EXPECT_EQ(m[7].second, "\"cancelled\"");
  EXPECT_EQ(m[11].second, "10800000");
  EXPECT_EQ(m[14].second, "\"/home/dev/Documents\"");
  EXPECT_EQ(m[15].second, "\"/media/dev/Backup/Documents\"");
  EXPECT_EQ(m[16].second, "84213");
  EXPECT_EQ(m[17].second, "912345678901");
  EXPECT_EQ(m[18].second, "4");
  EXPECT_EQ(m[19].second, "1240");
  EXPECT_EQ(m[21].second, "3391");
  const std::string indented = IndentReport(example);
  EXPECT_EQ(std::count(indented.begin(), indented.end(), '\n'), 26);
  EXPECT_NE(indented.find("\r\n  \"files_copied\": 84213,\r\n"), std::string::npos);
}

// ---------------------------------------------------------------- delivery

struct TCapturedLog {
  std::mutex Lock;
  std::vector<std::string> Lines;
  TMirrorLogger Logger{"", false, [this](const std::string& l) {
                         std::lock_guard<std::mutex> g(Lock);
                         Lines.push_back(l.substr(25)); // without the time stamp
                       },
                       false};
};

// A test server with a transport that trusts its certificate.
struct TTrustedServer {
  TWebhookServer Server{TWebhookServer::wmOk, true};
  TWebhookTransport Transport{15000, Server.CertFile()};
};

TEST_F(Webhook, DeliveredWithTheBodyAndOnlyTheHeadersAsked) {
  TTrustedServer trusted;
  TWebhookServer& server = trusted.Server;
  ASSERT_TRUE(server.Started());
  const std::string report = BuildWebhookPayload({}, "s", "Tâche", "d", At(kStart), At(kStart), {});

  TCapturedLog log;
  PostWebhook(server.Url(), report, true, "", "", log.Logger, trusted.Transport);
  PostWebhook(server.Url("/with-key"), report, true, "s3cr3t-value", "X-Api-Key", log.Logger, trusted.Transport);
  PostWebhook(server.Url("/empty-value"), report, true, "", "X-Empty", log.Logger, trusted.Transport);
  EXPECT_EQ(log.Lines, std::vector<std::string>(3, "Webhook:     delivered (HTTP 200)"));

  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].RequestLine, "POST /hook HTTP/1.1");
  EXPECT_EQ(reqs[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(reqs[0].Body, report);
  bool found = true;
  reqs[0].Header("X-Api-Key", &found);
  EXPECT_FALSE(found) << "no key, no header";
  EXPECT_EQ(reqs[1].Header("X-Api-Key"), "s3cr3t-value");
  EXPECT_EQ(reqs[2].Header("X-Empty", &found), "");
  EXPECT_TRUE(found) << "an empty value is sent too";
  for (const auto& l : log.Lines) EXPECT_EQ(l.find("s3cr3t"), std::string::npos);
}

// The auth header is a secret: it goes only where the channel is encrypted
// and the server verified. Elsewhere the report goes without it, and the log
// says so once.
TEST_F(Webhook, TheAuthHeaderGoesOnlyOverVerifiedHttps) {
  TWebhookServer plain(TWebhookServer::wmOk);
  TTrustedServer trusted;
  ASSERT_TRUE(plain.Started());
  ASSERT_TRUE(trusted.Server.Started());
  std::string upperCase = trusted.Server.Url();
  upperCase.replace(0, 5, "HTTPS");
  struct TCase {
    const char* Name;
    TWebhookServer& Server;
    std::string Url;
    bool Verify;
    bool Sent;
  };
  const std::vector<TCase> cases = {
      {"https, certificate checked", trusted.Server, trusted.Server.Url(), true, true},
      {"the scheme in capitals", trusted.Server, upperCase, true, true},
      {"https, certificate checks off", trusted.Server, trusted.Server.Url(), false, false},
      {"plain http", plain, plain.Url(), true, false},
      {"plain http, checks off", plain, plain.Url(), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const size_t before = c.Server.Requests().size();
    TCapturedLog log;
    PostWebhook(c.Url, "{}", c.Verify, "s3cr3t-value", "X-Api-Key", log.Logger, trusted.Transport);
    std::vector<std::string> want = {"Webhook:     delivered (HTTP 200)"};
    if (!c.Sent) want.insert(want.begin(), kWebhookHeaderWithheldLine);
    EXPECT_EQ(log.Lines, want);
    const auto reqs = c.Server.Requests();
    ASSERT_EQ(reqs.size(), before + 1);
    bool found = false;
    EXPECT_EQ(reqs.back().Header("X-Api-Key", &found), c.Sent ? "s3cr3t-value" : "");
    EXPECT_EQ(found, c.Sent);
  }
  // Without a header there is nothing to withhold and nothing to say.
  TCapturedLog log;
  PostWebhook(plain.Url(), "{}", true, "", "", log.Logger);
  EXPECT_EQ(log.Lines, std::vector<std::string>{"Webhook:     delivered (HTTP 200)"});
}

TEST_F(Webhook, ServerErrorIsDelivered) {
  TWebhookServer server(TWebhookServer::wmStatus500);
  ASSERT_TRUE(server.Started());
  TCapturedLog log;
  PostWebhook(server.Url(), "{}", true, "", "", log.Logger);
  EXPECT_EQ(log.Lines, std::vector<std::string>{"Webhook:     delivered (HTTP 500)"});
}

TEST_F(Webhook, SelfSignedCertificate) {
  TWebhookServer server(TWebhookServer::wmOk, true);
  ASSERT_TRUE(server.Started());
  TCapturedLog log;
  PostWebhook(server.Url(), "{\"a\":1}", false, "", "", log.Logger);
  PostWebhook(server.Url(), "{\"a\":2}", true, "", "", log.Logger);
  ASSERT_EQ(log.Lines.size(), 2u);
  EXPECT_EQ(log.Lines[0], "Webhook:     delivered (HTTP 200)");
  EXPECT_EQ(log.Lines[1].rfind("Webhook:     FAILED - ", 0), 0u) << log.Lines[1];
  EXPECT_NE(log.Lines[1].find("certificate"), std::string::npos) << log.Lines[1];
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].Body, "{\"a\":1}");
}

TEST_F(Webhook, FailuresAreOneLine) {
  struct TCase {
    const char* Name;
    std::string Url;
    std::string HeaderName, HeaderValue;
    const char* WantPart;
  };
  const std::vector<TCase> cases = {
      {"refused port", "http://127.0.0.1:" + std::to_string(test::RefusedPort()) + "/", "", "", "connect"},
      {"malformed URL", "http://[::1/", "", "", ""},
      {"not HTTP", "file:///etc/hostname", "", "", "rotocol"},
      {"a line break in the key's value", "https://127.0.0.1:1/", "X-Key", "a\r\nX-Injected: 1", "line break"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TCapturedLog log;
    PostWebhook(c.Url, "{}", true, c.HeaderValue, c.HeaderName, log.Logger);
    ASSERT_EQ(log.Lines.size(), 1u);
    EXPECT_EQ(log.Lines[0].rfind("Webhook:     FAILED - ", 0), 0u) << log.Lines[0];
    EXPECT_NE(log.Lines[0].find(c.WantPart), std::string::npos) << log.Lines[0];
    EXPECT_NE(log.Lines[0].back(), '.');
    EXPECT_EQ(log.Lines[0].find("Injected"), std::string::npos);
  }
}

TEST_F(Webhook, SilentServerFailsAfterTheTimeout) {
  TWebhookServer server(TWebhookServer::wmHang);
  ASSERT_TRUE(server.Started());
  TCapturedLog log;
  const auto t0 = std::chrono::steady_clock::now();
  PostWebhook(server.Url(), "{}", true, "", "", log.Logger, {1000, ""});
  const auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_EQ(log.Lines.size(), 1u);
  EXPECT_EQ(log.Lines[0].rfind("Webhook:     FAILED - ", 0), 0u) << log.Lines[0];
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 10s);
  EXPECT_EQ(server.Requests().size(), 1u) << "the request did arrive";
}

// A machine without libcurl, or with a library of that name that is not
// libcurl: the request fails as any transport error does, and the next one
// with the real library still goes out.
TEST_F(Webhook, LibcurlThatCannotBeLoaded) {
  TWebhookServer server(TWebhookServer::wmOk);
  ASSERT_TRUE(server.Started());
  struct TCase {
    const char* Name;
    const char* Soname;
    const char* WantPart;
  };
  const std::vector<TCase> cases = {
      {"no such library", "libtwf-no-such-curl.so.4", "libtwf-no-such-curl.so.4"},
      {"a library without curl's functions", "libc.so.6", "curl_global_init"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TCapturedLog log;
    {
      TCurlLibraryOverride missing(c.Soname);
      PostWebhook(server.Url(), "{}", true, "", "", log.Logger);
    }
    PostWebhook(server.Url(), "{}", true, "", "", log.Logger);
    ASSERT_EQ(log.Lines.size(), 2u);
    EXPECT_EQ(log.Lines[0].rfind("Webhook:     FAILED - libcurl could not be loaded: ", 0), 0u) << log.Lines[0];
    EXPECT_NE(log.Lines[0].find(c.WantPart), std::string::npos) << log.Lines[0];
    EXPECT_EQ(log.Lines[1], "Webhook:     delivered (HTTP 200)");
  }
  EXPECT_EQ(server.Requests().size(), cases.size());
}

} // namespace
} // namespace twf
