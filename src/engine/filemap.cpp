#include "engine/filemap.h"

#include <cstring>


namespace twf {

std::string_view TByteArena::Store(std::string_view s) {
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
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  FUsed += s.size();
  return std::string_view(p, s.size());
}

template <class TRec>
uint64_t TPathMap<TRec>::Hash(std::string_view s) {
  // FNV-1a, then a final mix so the low bits spread well.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 32;
  return h;
}

template <class TRec>
void TPathMap<TRec>::Reserve(size_t capacity) {
  size_t slots = 16;
  while (slots < capacity * 2) slots <<= 1;
  if (slots > FSlots.size()) Rehash(slots);
}

template <class TRec>
void TPathMap<TRec>::Rehash(size_t slots) {
  FSlots.assign(slots, 0);
  FMask = slots - 1;
  for (uint32_t i = 0; i < FCount; ++i) {
    size_t s = Hash(At(i).OrigRel) & FMask;
    while (FSlots[s] != 0) s = (s + 1) & FMask;
    FSlots[s] = i + 1;
  }
}

template <class TRec>
int64_t TPathMap<TRec>::IndexOf(std::string_view key) const {
  if (FSlots.empty()) return -1;
  size_t s = Hash(key) & FMask;
  while (FSlots[s] != 0) {
    uint32_t i = FSlots[s] - 1;
    if (At(i).OrigRel == key) return i;
    s = (s + 1) & FMask;
  }
  return -1;
}

template <class TRec>
uint32_t TPathMap<TRec>::Set(const TRec& rec) {
  if ((FCount + 1) * 2 > FSlots.size()) Rehash(FSlots.empty() ? 16 : FSlots.size() * 2);
  const std::string_view key = rec.OrigRel;
  size_t s = Hash(key) & FMask;
  while (FSlots[s] != 0) {
    uint32_t i = FSlots[s] - 1;
    if (At(i).OrigRel == key) {
      TRec& existing = Slot(i);
      const std::string_view kept = existing.OrigRel;
      existing = rec;
      existing.OrigRel = kept;
      return i;
    }
    s = (s + 1) & FMask;
  }
  if ((FCount >> kChunkBits) >= FChunks.size()) FChunks.push_back(std::make_unique<TRec[]>(kChunk));
  const uint32_t index = uint32_t(FCount++);
  TRec& slot = Slot(index);
  slot = rec;
  slot.OrigRel = FPaths.Store(rec.OrigRel);
  FSlots[s] = index + 1;
  return index;
}

template class TPathMap<TFileEntry>;
template class TPathMap<TFolderEntry>;

} // namespace twf
