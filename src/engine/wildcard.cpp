#include "engine/wildcard.h"

#include <cstdio>

#include "log/utf8.h"

namespace twf {

namespace {
constexpr uint32_t kInvalidBase = 0x110000;

uint32_t FoldAscii(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
bool IsSeparator(uint32_t c) { return c == '/' || c == '\\'; }
} // namespace

uint32_t NextCodePoint(std::string_view s, size_t& pos) {
  char32_t cp;
  if (size_t len = Utf8SequenceLength(s, pos, &cp)) {
    pos += len;
    return cp;
  }
  return kInvalidBase + static_cast<unsigned char>(s[pos++]);
}

bool TWildcardMask::Compile(std::string_view mask, std::string* error) {
  FTokens.clear();
  FRanges.clear();
  FTail.clear();
  FNeeded = 0;
  size_t pos = 0;
  int charIndex = 0; // 1-based position of the character being read, for messages
  auto fail = [&](int at) {
    if (error) *error = "'" + std::string(mask) + "' is an invalid mask at (" + std::to_string(at) + ")";
    FTokens.clear();
    FRanges.clear();
    return false;
  };
  while (pos < mask.size()) {
    uint32_t c = NextCodePoint(mask, pos);
    ++charIndex;
    TToken t{};
    if (c == '*') {
      if (!FTokens.empty() && FTokens.back().Kind == TKind::AnyRun) continue; // "**" is "*"
      t.Kind = TKind::AnyRun;
    } else if (c == '?') {
      t.Kind = TKind::AnyOne;
    } else if (IsSeparator(c)) {
      t.Kind = TKind::Separator;
    } else if (c == '[') {
      int setStart = charIndex;
      t.Kind = TKind::Set;
      t.FirstRange = static_cast<uint32_t>(FRanges.size());
      bool closed = false;
      bool first = true;
      while (pos < mask.size()) {
        uint32_t s = NextCodePoint(mask, pos);
        ++charIndex;
        if (first && s == '!') { t.Negated = true; first = false; continue; }
        first = false;
        if (s == ']') { closed = true; break; }
        if (s == '-') return fail(charIndex); // a range needs its first character
        uint32_t hi = s;
        size_t save = pos;
        if (pos < mask.size() && NextCodePoint(mask, save) == '-') {
          pos = save;
          ++charIndex;
          if (pos >= mask.size()) return fail(setStart);
          hi = NextCodePoint(mask, pos);
          ++charIndex;
          if (hi == ']') return fail(charIndex);
        }
        FRanges.push_back({s, hi});
      }
      if (!closed) return fail(setStart);
      t.RangeCount = static_cast<uint32_t>(FRanges.size()) - t.FirstRange;
      if (t.RangeCount == 0) return fail(charIndex);
    } else {
      t.Kind = TKind::Literal;
      t.Char = FoldAscii(c);
    }
    FTokens.push_back(t);
  }
  FindTail();
  return true;
}

void TWildcardMask::FindTail() {
  for (const TToken& t : FTokens)
    if (t.Kind == TKind::Literal && t.Char < 0x80 && !(t.Char >= 'a' && t.Char <= 'z')) {
      FNeeded = char(t.Char);
      break;
    }
  size_t last = FTokens.size();
  while (last > 0 && FTokens[last - 1].Kind != TKind::AnyRun) --last;
  if (last == 0) return; // no "*": short masks, matched directly
  std::string tail;
  for (size_t i = last; i < FTokens.size(); ++i) {
    const TToken& t = FTokens[i];
    if (t.Kind == TKind::Separator) tail += '/';
    else if (t.Kind == TKind::Literal && t.Char < 0x80) tail += char(t.Char);
    else return;
  }
  FTail = std::move(tail);
}

// ASCII bytes are never part of a longer UTF-8 sequence, nor taken into an
// invalid one, so the text's last characters are ASCII exactly when its last
// bytes are.
bool TWildcardMask::TailMatches(std::string_view text) const {
  if (text.size() < FTail.size()) return false;
  const char* end = text.data() + text.size() - FTail.size();
  for (size_t i = 0; i < FTail.size(); ++i) {
    const uint32_t c = static_cast<unsigned char>(end[i]);
    if (FTail[i] == '/' ? !IsSeparator(c) : FoldAscii(c) != uint32_t(static_cast<unsigned char>(FTail[i])))
      return false;
  }
  return true;
}

bool TWildcardMask::TokenMatches(const TToken& t, uint32_t c) const {
  switch (t.Kind) {
    case TKind::AnyOne: return true;
    case TKind::Separator: return IsSeparator(c);
    case TKind::Literal: return FoldAscii(c) == t.Char;
    case TKind::Set: {
      bool in = false;
      uint32_t fc = FoldAscii(c);
      for (uint32_t i = 0; i < t.RangeCount && !in; ++i) {
        const TRange& r = FRanges[t.FirstRange + i];
        if (c >= r.Lo && c <= r.Hi) in = true;
        // Letters match regardless of case: try the other case of the character too.
        else if (fc >= 'a' && fc <= 'z') {
          uint32_t other = (c == fc) ? fc - 32 : fc;
          if (other >= r.Lo && other <= r.Hi) in = true;
        }
      }
      return in != t.Negated;
    }
    case TKind::AnyRun: return true;
  }
  return false;
}

namespace {
void AsciiPresent(std::string_view text, uint64_t present[2]) {
  present[0] = present[1] = 0;
  for (unsigned char c : text)
    if (c < 0x80) present[c >> 6] |= uint64_t(1) << (c & 63);
}
} // namespace

bool TWildcardMask::Matches(std::string_view text) const {
  uint64_t present[2];
  AsciiPresent(text, present);
  return Matches(text, present);
}

bool TWildcardMask::Matches(std::string_view text, const uint64_t present[2]) const {
  const unsigned char needed = static_cast<unsigned char>(FNeeded);
  if (needed != 0 && (present[needed >> 6] & (uint64_t(1) << (needed & 63))) == 0) return false;
  if (!FTail.empty() && !TailMatches(text)) return false;
  // Iterative matching with backtracking to the last "*": linear in practice.
  size_t ti = 0, pi = 0;
  size_t starP = SIZE_MAX, starT = 0;
  while (true) {
    if (pi < FTokens.size() && FTokens[pi].Kind == TKind::AnyRun) {
      starP = pi++;
      starT = ti;
      continue;
    }
    if (ti >= text.size()) {
      if (pi == FTokens.size()) return true;
      // Out of text with tokens left: only trailing "*" could still match.
      while (pi < FTokens.size() && FTokens[pi].Kind == TKind::AnyRun) ++pi;
      return pi == FTokens.size();
    }
    size_t next = ti;
    uint32_t c = NextCodePoint(text, next);
    if (pi < FTokens.size() && TokenMatches(FTokens[pi], c)) {
      ++pi;
      ti = next;
      continue;
    }
    if (starP == SIZE_MAX) return false;
    // Let the last "*" swallow one more character and retry from there.
    size_t adv = starT;
    NextCodePoint(text, adv);
    starT = adv;
    ti = adv;
    pi = starP + 1;
  }
}

bool ValidateMask(std::string_view mask, std::string* error) {
  TWildcardMask m;
  return m.Compile(mask, error);
}

bool MatchesAny(const std::vector<TWildcardMask>& masks, std::string_view text) {
  uint64_t present[2];
  AsciiPresent(text, present);
  for (const auto& m : masks)
    if (m.Matches(text, present)) return true;
  return false;
}

} // namespace twf
