// Bytes that stay where they are for the arena's whole life: the plan keeps
// its names here, in blocks, not one allocation per name.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

namespace twf {

class TByteArena {
public:
  // A copy of s that lives as long as the arena.
  std::string_view Store(std::string_view s);

private:
  static constexpr size_t kBlock = 256 * 1024;
  std::vector<std::unique_ptr<char[]>> FBlocks;
  size_t FUsed = kBlock; // of the last block
};

} // namespace twf
