#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/arena.h"

using namespace twf;

// Names stored while blocks fill, beside names longer than a block's share:
// each copy keeps its bytes, whatever the caller does with its own string.
TEST(ByteArena, CopiesStayPutAcrossBlocks) {
  TByteArena arena;
  std::vector<std::string> names;
  for (int i = 0; i < 20000; ++i) names.push_back("dir" + std::to_string(i % 37) + "/file" + std::to_string(i));
  names.insert(names.begin() + 3, std::string(100000, 'x'));
  names.insert(names.begin() + 15000, std::string(300000, 'y'));
  names.push_back("");
  std::vector<std::string_view> stored;
  for (const std::string& n : names) {
    std::string temp = n;
    stored.push_back(arena.Store(temp));
    temp.assign(temp.size(), '?');
  }
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(stored[i], names[i]) << i;
}

// An empty copy needs no bytes: it is valid whatever the arena holds so far,
// a fresh arena or one whose only block is a long name's own.
TEST(ByteArena, EmptyCopyInAnyState) {
  const std::vector<std::vector<std::string>> cases = {
      {""},
      {std::string(100000, 'x'), ""},
      {std::string(100000, 'x'), "", "a", ""},
  };
  for (const auto& names : cases) {
    TByteArena arena;
    std::vector<std::string_view> stored;
    for (const std::string& n : names) stored.push_back(arena.Store(n));
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(stored[i], names[i]) << i;
  }
}
