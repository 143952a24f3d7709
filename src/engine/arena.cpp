#include "engine/arena.h"

#include <cstring>

namespace twf {

std::string_view TByteArena::Store(std::string_view s) {
  // Nothing to keep: there may be no block yet, or the last one may be a long
  // name's own, which the offset FUsed does not belong to.
  if (s.empty()) return {};
  if (s.size() > kBlock / 4) {
    // A long path gets a block of its own; the current block keeps filling.
    auto own = std::make_unique<char[]>(s.size());
    char* p = own.get();
    std::memcpy(p, s.data(), s.size());
    FBlocks.insert(FBlocks.empty() ? FBlocks.end() : FBlocks.end() - 1, std::move(own));
    return std::string_view(p, s.size());
  }
  if (FUsed + s.size() > kBlock) {
    FBlocks.push_back(std::make_unique<char[]>(kBlock));
    FUsed = 0;
  }
  char* p = FBlocks.back().get() + FUsed;
  std::memcpy(p, s.data(), s.size());
  FUsed += s.size();
  return std::string_view(p, s.size());
}

} // namespace twf
