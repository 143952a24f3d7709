// Developer driver: runs the engine once from the command line and prints
// the log to standard output. Exit code 1 when the run counted errors.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "engine/mirror_engine.h"
#include "log/logger.h"
#include "twf_version.h"

using namespace twf;

namespace {

void Usage() {
  std::puts(
      "usage: twinfold-mirror [options] SOURCE DESTINATION\n"
      "  --dry                    report every operation, change nothing\n"
      "  --workers N              parallel workers (1-64, default 8)\n"
      "  --compare MODE           size-date (default), size, binary\n"
      "  --verify 64|128          re-read each copy and compare XXH3 hashes\n"
      "  --archive DIR            move displaced files into DIR/<time>/{deleted,changed}\n"
      "  --trash                  delete to the Trash\n"
      "  --retry                  retry files in use\n"
      "  --skip-newer             keep destination files more than 2 s newer\n"
      "  --acl                    copy ACLs of copied files and created folders\n"
      "  --exclude PATTERN        wildcard pattern matched against full paths (repeatable)\n"
      "  --exclude-empty          leave out empty files\n"
      "  --exclude-hidden-files   leave out files whose name begins with '.'\n"
      "  --exclude-hidden-dirs    leave out folders whose name begins with '.'\n"
      "  --max-mb N               leave out files larger than N MiB\n"
      "  --no-guard               no mass-delete guard\n"
      "  --guard-pct N            mass-delete threshold in percent (default 25)\n"
      "  --yes                    answer the mass-delete question with yes\n"
      "  --log FILE               also write the log to FILE\n"
      "  --json                   log file as JSON Lines\n"
      "  --quiet                  print nothing (the log file is still written)");
}

std::atomic<TMirrorEngine*> gEngine{nullptr};

} // namespace

int main(int argc, char** argv) {
  TMirrorOptions opt;
  opt.AppVersion = TWF_VERSION;
  opt.StartedBy = "twinfold-mirror";
  opt.ExcludeEnabled = true;
  std::string logFile;
  bool json = false, quiet = false, yes = false;
  std::string positional[2];
  int npos = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "twinfold-mirror: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "-h" || a == "--help") { Usage(); return 0; }
    else if (a == "--dry") opt.DryRun = true;
    else if (a == "--workers") opt.Workers = std::atoi(next().c_str());
    else if (a == "--compare") {
      std::string m = next();
      opt.CompareMode = m == "size" ? cmSizeOnly : m == "binary" ? cmBinary : cmSizeDate;
    } else if (a == "--verify") opt.VerifyHash = next() == "128" ? vhXXH3_128 : vhXXH3_64;
    else if (a == "--archive") { opt.ArchiveEnabled = true; opt.ArchiveDir = next(); }
    else if (a == "--trash") opt.RecycleDeletes = true;
    else if (a == "--retry") opt.RetryLocked = true;
    else if (a == "--skip-newer") opt.SkipNewer = true;
    else if (a == "--acl") opt.PreserveAcl = true;
    else if (a == "--exclude") opt.ExcludePatterns += next() + "\n";
    else if (a == "--exclude-empty") opt.ExcludeEmpty = true;
    else if (a == "--exclude-hidden-files") opt.ExcludeHiddenSysFiles = true;
    else if (a == "--exclude-hidden-dirs") opt.ExcludeHiddenDirs = true;
    else if (a == "--max-mb") opt.ExcludeLargerMB = std::atoi(next().c_str());
    else if (a == "--no-guard") opt.WarnMassDelete = false;
    else if (a == "--guard-pct") opt.WarnMassDeletePct = std::atoi(next().c_str());
    else if (a == "--yes") yes = true;
    else if (a == "--log") logFile = next();
    else if (a == "--json") json = true;
    else if (a == "--quiet") quiet = true;
    else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "twinfold-mirror: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else if (npos < 2) positional[npos++] = a;
    else { std::fprintf(stderr, "twinfold-mirror: too many folders\n"); return 2; }
  }
  if (npos != 2) { Usage(); return 2; }
  opt.SourceDir = positional[0];
  opt.DestDir = positional[1];

  std::unique_ptr<TMirrorLogger> log;
  try {
    TMirrorLogger::TLineCallback cb;
    if (!quiet) cb = [](const std::string& line) { std::fwrite((line + "\n").data(), 1, line.size() + 1, stdout); };
    log = std::make_unique<TMirrorLogger>(logFile, !logFile.empty(), cb, json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "twinfold-mirror: %s\n", e.what());
    return 2;
  }

  // Ctrl+C cancels the run; the engine writes its cancellation lines.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int sig;
    while (sigwait(&set, &sig) == 0)
      if (TMirrorEngine* e = gEngine.load()) e->Cancel();
  }).detach();

  TMirrorEngine engine(opt, log.get());
  if (yes) engine.SetOnConfirm([](const std::string&) { return true; });
  gEngine = &engine;
  try {
    engine.Run();
  } catch (const std::exception& e) {
    log->Log(std::string("FATAL:       ") + e.what());
    gEngine = nullptr;
    return 1;
  }
  gEngine = nullptr;
  std::fflush(stdout);
  return engine.Stats().Errors > 0 ? 1 : 0;
}
