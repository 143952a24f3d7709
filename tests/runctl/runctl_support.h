// Helpers of the run-control tests: child processes with a time limit, the
// loopback webhook server, and a reader for the flat JSON report.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace twf::test {

struct TProcessResult {
  int ExitCode = -1; // -1 when killed by a signal (or by the time limit)
  bool TimedOut = false;
  std::string Out, Err;
};

// Runs argv[0] (a full path) with exactly the environment env, standard
// input closed, and captures both outputs. Killed after timeoutMs.
TProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int timeoutMs = 60000);

struct TRecordedRequest {
  std::string RequestLine; // "POST /hook HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // The value of the first header of that name (letter case ignored); found
  // tells whether there was one.
  std::string Header(const std::string& name, bool* found = nullptr) const;
};

// tests/fixtures/runctl/webhook_server.py on 127.0.0.1, for the life of the object.
class TWebhookServer {
public:
  enum TMode { wmOk, wmStatus500, wmHang };
  // tls: HTTPS with a self-signed certificate for 127.0.0.1 made by the
  // openssl command (CertFile(), to trust it).
  explicit TWebhookServer(TMode mode, bool tls = false);
  ~TWebhookServer();
  TWebhookServer(const TWebhookServer&) = delete;
  TWebhookServer& operator=(const TWebhookServer&) = delete;

  bool Started() const { return FPort > 0; }
  int Port() const { return FPort; }
  std::string Url(const std::string& path = "/hook") const;
  std::string CertFile() const { return FDir + "/cert.pem"; }
  // The requests received so far, in order.
  std::vector<TRecordedRequest> Requests() const;

private:
  pid_t FPid = -1;
  int FPort = 0;
  bool FTls = false;
  std::string FDir;
};

// A loopback port on which nothing listens.
int RefusedPort();

// The members of a flat JSON object in order: each value as its raw token
// (strings with their quotes and escapes as written). Empty on a syntax error.
std::vector<std::pair<std::string, std::string>> ParseFlatJson(const std::string& text);

} // namespace twf::test
