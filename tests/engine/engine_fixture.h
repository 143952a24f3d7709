// Fixture for engine tests: a source and a destination folder, and a run
// that captures the log lines without their timestamps.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/mirror_engine.h"
#include "log/logger.h"
#include "support/tree.h"

namespace twf::test {

struct TRunResult {
  std::vector<std::string> Lines; // without the timestamp
  TMirrorStats Stats;

  bool Has(const std::string& line) const {
    for (const auto& l : Lines)
      if (l == line) return true;
    return false;
  }
  int CountPrefix(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : Lines)
      if (l.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
  }
  std::string Text() const {
    std::string s;
    for (const auto& l : Lines) s += l + "\n";
    return s;
  }
};

class EngineTest : public ::testing::Test {
protected:
  TTempDir Tmp;
  std::string Src = Tmp / "src";
  std::string Dst = Tmp / "dst";

  TMirrorOptions Opt() const { return Opt(Tmp); }
  // Options for src/ and dst/ below another folder (one per table case).
  static TMirrorOptions Opt(const TTempDir& dir) {
    TMirrorOptions o;
    o.SourceDir = dir / "src";
    o.DestDir = dir / "dst";
    o.Workers = 4;
    o.WarnMassDelete = false;
    return o;
  }

  TRunResult Run(const TMirrorOptions& opt, IFileSystem* fs = nullptr, TMirrorEngine::TConfirm confirm = {},
                 const std::function<void(TMirrorEngine&)>& before = {}) {
    TRunResult r;
    std::mutex m;
    TMirrorLogger log("", false,
                      [&](const std::string& line) {
                        std::lock_guard<std::mutex> g(m);
                        r.Lines.push_back(line.substr(25));
                      },
                      false);
    TMirrorEngine engine(opt, &log, fs);
    if (confirm) engine.SetOnConfirm(confirm);
    if (before) before(engine);
    engine.Run();
    r.Stats = engine.Stats();
    return r;
  }
};

} // namespace twf::test
