// Path-keyed maps of entries, and the byte arena the plan keeps its file
// names in.
//
// The maps are built for hundreds of thousands of entries: records live in
// fixed chunks (growing never copies them, so there is no doubling spike),
// the relative paths in a byte arena (no allocation per path), and an
// open-addressing index of 32-bit slots finds them. The key of a record is
// its stored path: key folding (FoldKey) is the identity on this platform's
// case-sensitive file systems, so nothing is stored twice.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/types.h"

namespace twf {

// Bytes that stay where they are for the arena's whole life.
class TByteArena {
public:
  std::string_view Store(std::string_view s);

private:
  static constexpr size_t kBlock = 256 * 1024;
  std::vector<std::unique_ptr<char[]>> FBlocks;
  size_t FUsed = kBlock; // of the last block
};

// A folder: its relative path as found on disk, and for the destination
// the identity it had when the scan opened it (0, 0: not opened).
struct TFolderEntry {
  std::string_view OrigRel;
  uint64_t Dev = 0, Ino = 0;
};

template <class TRec>
class TPathMap {
public:
  explicit TPathMap(size_t capacity = 0) { Reserve(capacity); }
  TPathMap(const TPathMap&) = delete;
  TPathMap& operator=(const TPathMap&) = delete;

  // Adds the record under the key of its OrigRel, or replaces the fields of
  // the one with that key (keeping its stored path). The path is copied into
  // the map. Returns the record's index.
  uint32_t Set(const TRec& rec);
  // Index of the record with this key, or -1.
  int64_t IndexOf(std::string_view key) const;
  const TRec* Find(std::string_view key) const {
    int64_t i = IndexOf(key);
    return i < 0 ? nullptr : &At(uint32_t(i));
  }
  bool Contains(std::string_view key) const { return IndexOf(key) >= 0; }
  // Records in the order they were first added.
  const TRec& At(uint32_t index) const { return FChunks[index >> kChunkBits][index & (kChunk - 1)]; }
  size_t Count() const { return FCount; }
  bool Empty() const { return FCount == 0; }
  void Reserve(size_t capacity);

private:
  static constexpr unsigned kChunkBits = 12;
  static constexpr size_t kChunk = size_t(1) << kChunkBits;
  TRec& Slot(uint32_t index) { return FChunks[index >> kChunkBits][index & (kChunk - 1)]; }
  static uint64_t Hash(std::string_view s);
  void Rehash(size_t slots);

  std::vector<std::unique_ptr<TRec[]>> FChunks;
  size_t FCount = 0;
  TByteArena FPaths;
  std::vector<uint32_t> FSlots; // 0 = empty, else index + 1
  size_t FMask = 0;
};

using TFileMap = TPathMap<TFileEntry>;
using TDirMap = TPathMap<TFolderEntry>;

extern template class TPathMap<TFileEntry>;
extern template class TPathMap<TFolderEntry>;

} // namespace twf
