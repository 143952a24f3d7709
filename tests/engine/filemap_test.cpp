#include <gtest/gtest.h>

#include "engine/filemap.h"

using namespace twf;

TEST(FileMap, AddsFindsReplacesAndKeepsOrder) {
  TFileMap map(4);
  std::vector<std::string> names;
  for (int i = 0; i < 20000; ++i) names.push_back("dir" + std::to_string(i % 37) + "/file" + std::to_string(i));
  names.push_back(std::string(100000, 'x')); // longer than an arena block's share
  names.push_back("");
  for (size_t i = 0; i < names.size(); ++i) {
    std::string temp = names[i]; // the map must copy the path, not keep a view of the caller's
    EXPECT_EQ(map.Set(TFileEntry{temp, int64_t(i), 7}), uint32_t(i));
    temp.assign(temp.size(), '?');
  }
  // Replacing keeps the index and the stored path, and changes the fields.
  EXPECT_EQ(map.Set(TFileEntry{names[5], 555, 8}), 5u);
  ASSERT_EQ(map.Count(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const TFileEntry* e = map.Find(names[i]);
    ASSERT_NE(e, nullptr) << i;
    EXPECT_EQ(e->OrigRel, names[i]);
    EXPECT_EQ(&map.At(uint32_t(i)), e);
    EXPECT_EQ(e->Size, i == 5 ? 555 : int64_t(i));
  }
  EXPECT_FALSE(map.Contains("dir0/file1"));
  EXPECT_FALSE(map.Contains("Dir0/file0")); // case-sensitive names
}
