#include "engine/filemap.h"

#include "platform/fs.h"

namespace twf {

template <class TEntry, const std::string& (*RelOf)(const TEntry&)>
uint64_t TPathMap<TEntry, RelOf>::Hash(std::string_view s) {
  // FNV-1a, then a final mix so the low bits spread well.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 32;
  return h;
}

template <class TEntry, const std::string& (*RelOf)(const TEntry&)>
void TPathMap<TEntry, RelOf>::Reserve(size_t capacity) {
  FEntries.reserve(capacity);
  size_t slots = 16;
  while (slots < capacity * 2) slots <<= 1;
  if (slots > FSlots.size()) Rehash(slots);
}

template <class TEntry, const std::string& (*RelOf)(const TEntry&)>
void TPathMap<TEntry, RelOf>::Rehash(size_t slots) {
  FSlots.assign(slots, 0);
  FMask = slots - 1;
  for (uint32_t i = 0; i < FEntries.size(); ++i) {
    size_t s = Hash(FoldKey(RelOf(FEntries[i]))) & FMask;
    while (FSlots[s] != 0) s = (s + 1) & FMask;
    FSlots[s] = i + 1;
  }
}

template <class TEntry, const std::string& (*RelOf)(const TEntry&)>
int64_t TPathMap<TEntry, RelOf>::IndexOf(std::string_view key) const {
  if (FSlots.empty()) return -1;
  size_t s = Hash(key) & FMask;
  while (FSlots[s] != 0) {
    uint32_t i = FSlots[s] - 1;
    if (FoldKey(RelOf(FEntries[i])) == key) return i;
    s = (s + 1) & FMask;
  }
  return -1;
}

template <class TEntry, const std::string& (*RelOf)(const TEntry&)>
uint32_t TPathMap<TEntry, RelOf>::Set(TEntry&& e) {
  if ((FEntries.size() + 1) * 2 > FSlots.size()) Rehash(FSlots.empty() ? 16 : FSlots.size() * 2);
  const std::string& key = FoldKey(RelOf(e));
  size_t s = Hash(key) & FMask;
  while (FSlots[s] != 0) {
    uint32_t i = FSlots[s] - 1;
    if (FoldKey(RelOf(FEntries[i])) == key) {
      FEntries[i] = std::move(e);
      return i;
    }
    s = (s + 1) & FMask;
  }
  FEntries.push_back(std::move(e));
  FSlots[s] = static_cast<uint32_t>(FEntries.size());
  return static_cast<uint32_t>(FEntries.size() - 1);
}

template class TPathMap<TFileEntry, FileEntryRel>;
template class TPathMap<std::string, DirEntryRel>;

} // namespace twf
