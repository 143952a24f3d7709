#include "runctl/runctl_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <thread>

#include "support/tree.h"

namespace twf::test {

namespace {

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Spawns with standard input closed and both outputs on pipes.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int& outFd, int& errFd) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addclose(&fa, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  auto a = CStrings(argv);
  auto e = CStrings(env);
  pid_t pid = -1;
  if (posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  outFd = out[0];
  errFd = err[0];
  return pid;
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

} // namespace

TProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs) {
  TProcessResult r;
  int outFd = -1, errFd = -1;
  pid_t pid = Spawn(argv, env, outFd, errFd);
  if (pid < 0) return r;

  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> g(m);
    if (!cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return finished; })) {
      r.TimedOut = true;
      kill(pid, SIGKILL);
    }
  });

  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.Out : r.Err).append(buf, size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> g(m);
    finished = true;
  }
  cv.notify_all();
  watchdog.join();
  r.ExitCode = ExitCodeOf(status);
  return r;
}

std::string TRecordedRequest::Header(const std::string& name, bool* found) const {
  for (const auto& [k, v] : Headers) {
    if (strcasecmp(k.c_str(), name.c_str()) == 0) {
      if (found) *found = true;
      return v;
    }
  }
  if (found) *found = false;
  return "";
}

TWebhookServer::TWebhookServer(TMode mode, bool tls) : FTls(tls) {
  char tmpl[] = "/tmp/twf-hook-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  FDir = tmpl;
  std::vector<std::string> argv = {"/usr/bin/python3", TWF_SOURCE_DIR "/tests/fixtures/runctl/webhook_server.py",
                                   mode == wmOk ? "ok" : mode == wmStatus500 ? "status500" : "hang", FDir};
  if (tls) {
    TProcessResult cert = RunProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                      "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                                      "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", FDir + "/key.pem", "-out", FDir + "/cert.pem"},
                                     {"PATH=/usr/bin:/bin"}, 30000);
    if (cert.ExitCode != 0) return;
    argv.push_back(FDir + "/cert.pem");
    argv.push_back(FDir + "/key.pem");
  }
  int outFd = -1, errFd = -1;
  FPid = Spawn(argv, {"PATH=/usr/bin:/bin"}, outFd, errFd);
  if (FPid < 0) return;
  close(errFd);
  // The first line is "PORT <n>".
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos) {
    const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                               std::chrono::steady_clock::now())
                             .count());
    pollfd p{outFd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char buf[256];
    ssize_t n = read(outFd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, size_t(n));
  }
  close(outFd);
  if (line.rfind("PORT ", 0) == 0) FPort = atoi(line.c_str() + 5);
}

TWebhookServer::~TWebhookServer() {
  if (FPid > 0) {
    kill(FPid, SIGTERM);
    int status;
    while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!FDir.empty()) RemoveTree(FDir);
}

std::string TWebhookServer::Url(const std::string& path) const {
  return std::string(FTls ? "https" : "http") + "://127.0.0.1:" + std::to_string(FPort) + path;
}

std::vector<TRecordedRequest> TWebhookServer::Requests() const {
  std::vector<TRecordedRequest> out;
  for (int n = 1;; ++n) {
    const std::string path = FDir + "/request-" + std::to_string(n);
    if (!Exists(path)) break;
    const std::string raw = ReadFile(path);
    TRecordedRequest r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) break;
    r.Body = raw.substr(end + 4);
    size_t pos = 0;
    bool first = true;
    while (pos < end) {
      size_t eol = raw.find("\r\n", pos);
      if (eol == std::string::npos || eol > end) eol = end;
      std::string l = raw.substr(pos, eol - pos);
      pos = eol + 2;
      if (first) {
        r.RequestLine = l;
        first = false;
        continue;
      }
      size_t colon = l.find(':');
      if (colon == std::string::npos) continue;
      std::string v = l.substr(colon + 1);
      if (!v.empty() && v[0] == ' ') v.erase(0, 1);
      r.Headers.emplace_back(l.substr(0, colon), v);
    }
    out.push_back(std::move(r));
  }
  return out;
}

int RefusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  // Bound but never listening: a connection is refused at once.
  // (The descriptor is left open on purpose, so no one else takes the port.)
  return port;
}

std::vector<std::pair<std::string, std::string>> ParseFlatJson(const std::string& t) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t i = 0;
  auto fail = [&] { return std::vector<std::pair<std::string, std::string>>{}; };
  auto readString = [&](std::string& raw) {
    if (i >= t.size() || t[i] != '"') return false;
    size_t start = i++;
    while (i < t.size() && t[i] != '"') i += t[i] == '\\' ? 2 : 1;
    if (i >= t.size()) return false;
    raw = t.substr(start, ++i - start);
    return true;
  };
  if (t.empty() || t[i++] != '{') return fail();
  while (i < t.size() && t[i] != '}') {
    std::string key, value;
    if (!readString(key) || i >= t.size() || t[i++] != ':') return fail();
    if (i < t.size() && t[i] == '"') {
      if (!readString(value)) return fail();
    } else {
      size_t start = i;
      while (i < t.size() && t[i] != ',' && t[i] != '}') ++i;
      value = t.substr(start, i - start);
    }
    out.emplace_back(key.substr(1, key.size() - 2), value);
    if (i < t.size() && t[i] == ',') ++i;
  }
  if (i + 1 != t.size()) return fail();
  return out;
}

} // namespace twf::test
