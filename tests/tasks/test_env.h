// A private home for one test: HOME, XDG_CONFIG_HOME and TMPDIR point into a
// fresh temporary folder. Stores are opened at StorePath(), the store the
// environment names, so no test touches the real user's store or key (root's
// neither: the program's own rule, as root, would not follow HOME).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "tasks/settings_store.h"
#include "tasks/work_folder.h"

namespace twf::test {

class TTempHome : public ::testing::Test {
protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base == '/' ? base : "/tmp") + "/twf-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    Root = pattern;
    Home = Root + "/home";
    Config = Home + "/.config";
    Temp = Root + "/tmp";
    for (const std::string& d : {Home, Temp}) ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    SaveEnv("HOME", Home);
    SaveEnv("XDG_CONFIG_HOME", Config);
    SaveEnv("TMPDIR", Temp);
  }
  void TearDown() override {
    for (auto& [name, value] : FSaved) {
      if (value.second) setenv(name.c_str(), value.first.c_str(), 1);
      else unsetenv(name.c_str());
    }
    RemoveTree(Root);
  }
  void SaveEnv(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    FSaved.emplace_back(name, std::make_pair(std::string(old ? old : ""), old != nullptr));
    setenv(name.c_str(), value.c_str(), 1);
  }

  std::string StorePath() const { return Config + "/Zentorvi/Quarlex Twinfold/settings.db"; }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
  }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  std::string Root, Home, Config, Temp;

private:
  std::vector<std::pair<std::string, std::pair<std::string, bool>>> FSaved;
};

} // namespace twf::test
