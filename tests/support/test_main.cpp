// Test entry for binaries that touch per-user places (the Trash, the config
// folder): they all point at a fresh temporary home first, before any
// library reads and caches them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/tree.h"

int main(int argc, char** argv) {
  twf::test::TTempDir home;
  setenv("HOME", home.Path().c_str(), 1);
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  twf::test::MakeDirs(home / "data");
  twf::test::SetPrivateDataHome(home / "data");
  twf::test::MakeDirs(home / "config");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
