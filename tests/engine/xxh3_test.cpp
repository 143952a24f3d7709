#include <gtest/gtest.h>

#include <regex>
#include <system_error>

#include "engine/xxh3.h"
#include "support/fault_fs.h"
#include "platform/fs.h"
#include "support/tree.h"

using namespace twf;
using namespace twf::test;

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245 + 12345;
    s[i] = char(x >> 16);
  }
  return s;
}

// The reference digest from Debian's xxhsum.
std::string Reference(const std::string& path, const char* algo) {
  std::smatch m;
  std::string out = ShellOut(std::string("xxhsum ") + algo + " '" + path + "' 2>/dev/null");
  if (std::regex_search(out, m, std::regex("\\b([0-9a-f]{16}|[0-9a-f]{32})\\b"))) return m[1];
  return "xxhsum gave: " + out;
}

std::atomic<bool> kNotCancelled{false};

} // namespace

TEST(Xxh3, EmptyFileDigests) {
  TTempDir dir;
  WriteFile(dir / "e", "");
  EXPECT_EQ(HashFile(RealFileSystem(), dir / "e", vhXXH3_64, kNotCancelled), "2d06800538d394c2");
  EXPECT_EQ(HashFile(RealFileSystem(), dir / "e", vhXXH3_128, kNotCancelled), "99aa06d3014798d86001c324468d497f");
}

TEST(Xxh3, MatchesXxhsumAtTheBorderSizes) {
  TTempDir dir;
  const size_t sizes[] = {1, 3, 4, 8, 9, 16, 17, 128, 129, 240, 241, 1024, 8 * 1024 * 1024 + 1, 20000000};
  for (size_t n : sizes) {
    const std::string path = dir / ("f" + std::to_string(n));
    WriteFile(path, Pattern(n));
    for (bool dev : {false, true}) {
      const std::string h64 = HashFile(RealFileSystem(), path, vhXXH3_64, kNotCancelled, dev);
      const std::string h128 = HashFile(RealFileSystem(), path, vhXXH3_128, kNotCancelled, dev);
      EXPECT_EQ(h64, Reference(path, "-H3")) << n;
      EXPECT_EQ(h128, Reference(path, "-H128")) << n;
      EXPECT_TRUE(std::regex_match(h64, std::regex("[0-9a-f]{16}")));
      EXPECT_TRUE(std::regex_match(h128, std::regex("[0-9a-f]{32}")));
    }
    EXPECT_EQ(HashBytes(Pattern(n), vhXXH3_64), Reference(path, "-H3")) << n;
  }
}

TEST(Xxh3, MissingFileRaisesTheOpenError) {
  try {
    HashFile(RealFileSystem(), "/nonexistent/x", vhXXH3_64, kNotCancelled);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"/nonexistent/x\". No such file or directory");
  }
}

TEST(Xxh3, CancelStopsAfterOneMoreBlock) {
  TTempDir dir;
  WriteFile(dir / "big", std::string(30 * 1024 * 1024, 'a'));
  TFaultFileSystem fs(RealFileSystem());
  std::atomic<bool> cancel{false};
  fs.SetHook([&](TFsCall kind, const std::string&) {
    if (kind == TFsCall::Read) cancel = true;
  });
  EXPECT_EQ(HashFile(fs, dir / "big", vhXXH3_64, cancel), "");
  EXPECT_EQ(fs.Calls(TFsCall::Read), 1u);
}

// A read that fails part-way is the read's error, not the end of the file:
// a digest of what came before it could pass for the whole file's.
TEST(Xxh3, ReadErrorPartWayIsTheReadsError) {
  TTempDir dir;
  WriteFile(dir / "f", Pattern(9 * 1024 * 1024));
  TFaultFileSystem fs(RealFileSystem());
  fs.FailNth(TFsCall::Read, 2, EIO);
  try {
    HashFile(fs, dir / "f", vhXXH3_64, kNotCancelled);
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EIO);
  }
}
