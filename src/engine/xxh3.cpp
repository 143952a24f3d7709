#include "engine/xxh3.h"

#include <cstdio>
#include <memory>
#include <system_error>
#include <stdexcept>

#include <xxhash.h>

#include "platform/fs.h"

namespace twf {

namespace {

constexpr int64_t kBlock = 8 * 1024 * 1024;

std::string Hex64(uint64_t v) {
  char buf[17];
  snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string DigestText(XXH3_state_t* st, TVerifyHash width) {
  if (width == vhXXH3_128) {
    XXH128_hash_t h = XXH3_128bits_digest(st);
    return Hex64(h.high64) + Hex64(h.low64);
  }
  return Hex64(XXH3_64bits_digest(st));
}

struct TStateFree {
  void operator()(XXH3_state_t* p) const { XXH3_freeState(p); }
};

} // namespace

std::string HashOpened(IFileSystem& fs, int fd, TVerifyHash width, const std::atomic<bool>& cancel) {
  std::unique_ptr<XXH3_state_t, TStateFree> st(XXH3_createState());
  // One state serves both widths: the 128-bit reset with seed 0 keeps the
  // same accumulators, and the width is chosen at the digest.
  if (width == vhXXH3_128) XXH3_128bits_reset_withSeed(st.get(), 0);
  else XXH3_64bits_reset_withSeed(st.get(), 0);
  std::unique_ptr<char[]> buf(new char[kBlock]);
  for (;;) {
    int64_t n = fs.Read(fd, buf.get(), kBlock);
    // A read error is not the end of the file: a digest of what came
    // before it could pass for the whole file's.
    if (n < 0) throw std::system_error(int(-n), std::generic_category(), "read");
    if (n == 0) break;
    if (width == vhXXH3_128) XXH3_128bits_update(st.get(), buf.get(), static_cast<size_t>(n));
    else XXH3_64bits_update(st.get(), buf.get(), static_cast<size_t>(n));
    if (cancel.load(std::memory_order_relaxed)) break;
  }
  if (cancel.load()) return std::string();
  return DigestText(st.get(), width);
}

std::string HashFile(IFileSystem& fs, const std::string& path, TVerifyHash width,
                     const std::atomic<bool>& cancel, bool fromDevice) {
  int fd = -1;
  int err = fs.OpenRead(path, fromDevice, fd);
  if (err != 0) throw std::runtime_error("Cannot open file \"" + path + "\". " + SystemMessage(err));
  std::string digest;
  try {
    digest = HashOpened(fs, fd, width, cancel);
  } catch (...) {
    fs.Close(fd);
    throw;
  }
  fs.Close(fd);
  return digest;
}

std::string HashBytes(std::string_view data, TVerifyHash width) {
  if (width == vhXXH3_128) {
    XXH128_hash_t h = XXH3_128bits(data.data(), data.size());
    return Hex64(h.high64) + Hex64(h.low64);
  }
  return Hex64(XXH3_64bits(data.data(), data.size()));
}

} // namespace twf
