// The scan's maps: entries keyed by their folded relative path.
//
// Entries live in one vector (enumeration order = insertion order); an
// open-addressing index of 32-bit slots finds them. Keys are derived from
// the stored relative path (FoldKey), so no key is stored twice: a map of
// 300,000 files stays near 100 bytes per file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/types.h"

namespace twf {

template <class TEntry, const std::string& (*RelOf)(const TEntry&)>
class TPathMap {
public:
  explicit TPathMap(size_t capacity = 0) { Reserve(capacity); }

  // Adds the entry, or replaces the one with the same key. Returns its index.
  uint32_t Set(TEntry&& e);
  // Index of the entry with this key, or -1.
  int64_t IndexOf(std::string_view key) const;
  const TEntry* Find(std::string_view key) const {
    int64_t i = IndexOf(key);
    return i < 0 ? nullptr : &FEntries[static_cast<size_t>(i)];
  }
  bool Contains(std::string_view key) const { return IndexOf(key) >= 0; }
  const TEntry& At(uint32_t index) const { return FEntries[index]; }
  size_t Count() const { return FEntries.size(); }
  bool Empty() const { return FEntries.empty(); }
  const std::vector<TEntry>& Entries() const { return FEntries; }
  void Reserve(size_t capacity);

private:
  static uint64_t Hash(std::string_view s);
  void Rehash(size_t slots);
  std::vector<TEntry> FEntries;
  std::vector<uint32_t> FSlots; // 0 = empty, else entry index + 1
  size_t FMask = 0;
};

inline const std::string& FileEntryRel(const TFileEntry& e) { return e.OrigRel; }
inline const std::string& DirEntryRel(const std::string& e) { return e; }

using TFileMap = TPathMap<TFileEntry, FileEntryRel>;
// A folder map holds the folder's relative path as found on disk.
using TDirMap = TPathMap<std::string, DirEntryRel>;

extern template class TPathMap<TFileEntry, FileEntryRel>;
extern template class TPathMap<std::string, DirEntryRel>;

} // namespace twf
