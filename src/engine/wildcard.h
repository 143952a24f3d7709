// Wildcard masks of the exclusion list.
//
// "*" any run of characters (separators included), "?" one character,
// "[abc]", "[a-z]", "[!a-z]" one character of a set; anything else matches
// itself, ASCII letters regardless of case. "\" and "/" in a mask both match
// a path separator, so lists written with either keep working. Characters
// are Unicode code points decoded from UTF-8; a byte that is not valid
// UTF-8 counts as one character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twf {

class TWildcardMask {
public:
  // Returns false and sets error ("'<mask>' is an invalid mask at (<pos>)")
  // when the mask breaks the syntax.
  bool Compile(std::string_view mask, std::string* error);
  bool Matches(std::string_view text) const;
  // Matches, given which ASCII bytes text holds (bit c of present[c / 64]),
  // worked out once for a text tried against many masks.
  bool Matches(std::string_view text, const uint64_t present[2]) const;

private:
  struct TRange { uint32_t Lo, Hi; };
  enum class TKind : uint8_t { Literal, AnyOne, AnyRun, Set, Separator };
  struct TToken {
    TKind Kind;
    bool Negated = false;
    uint32_t Char = 0;              // Literal: code point, lower-cased for ASCII letters
    uint32_t FirstRange = 0, RangeCount = 0; // Set: slice of FRanges
  };
  bool TokenMatches(const TToken& t, uint32_t c) const;
  void FindTail();
  bool TailMatches(std::string_view text) const;
  std::vector<TToken> FTokens;
  std::vector<TRange> FRanges;
  // The ASCII letters and separators after the mask's last "*" ('/' for a
  // separator, letters lower-cased): a text must end with them to match.
  // Checked first, so most names are turned down without decoding a
  // character ("*\desktop.ini" against every path of a tree). Empty when
  // the end is not that simple.
  std::string FTail;
  // An ASCII character other than a letter that the mask holds as a plain
  // character (0: none): a text without it cannot match ("?:\\Windows\\*"
  // against a path with no ':').
  char FNeeded = 0;
};

// Validates a mask without keeping it.
bool ValidateMask(std::string_view mask, std::string* error);

// True when one of the masks matches text (tested in order, first match wins).
bool MatchesAny(const std::vector<TWildcardMask>& masks, std::string_view text);

// Next character of text at pos (advanced): its code point, or 0x110000 + byte
// for a byte that is not valid UTF-8.
uint32_t NextCodePoint(std::string_view text, size_t& pos);

} // namespace twf
