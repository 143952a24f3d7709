// The INI documents that carry tasks. Reading never fails on odd input: every
// line is judged on its own by the rules below, and whatever they do not
// describe is dropped.
//
//  - UTF-8; a leading byte-order mark is skipped; bytes are kept as they are.
//  - Lines end with CR LF, LF or CR; each is trimmed of blanks and control
//    characters at both ends. Empty lines and lines starting with ";" go.
//  - "[name]" starts a section (name trimmed, letter case ignored). A section
//    header seen before makes the lines below it, up to the next new
//    header, ignored.
//  - In a section, "key=value" splits at the first "="; the key is trimmed
//    at its end, the value at its start. Keys compare without regard to
//    letter case; a key repeated in a section keeps its first value.
//  - Lines before the first section, and lines without "=", are ignored.
//
// Writing gives UTF-8 with a byte-order mark and CR LF, the sections in the
// order they first appeared, each followed by an empty line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace twf {

// Larger files are not task files; reading them is refused so a wrong pick
// cannot exhaust memory.
inline constexpr size_t kMaxTaskFileSize = 16u << 20;

class TIniDocument {
public:
  static TIniDocument Parse(std::string_view text);
  // Reads a regular file of at most maxBytes. False, with an empty document,
  // when it is missing, unreadable, not a regular file or too large.
  bool LoadFromFile(const std::string& path, size_t maxBytes = kMaxTaskFileSize);
  // The same from an open descriptor, read from its current position; the
  // descriptor stays open.
  bool LoadFromDescriptor(int fd, size_t maxBytes = kMaxTaskFileSize);

  std::string Serialize() const;
  // Replaces the file as a whole (a temporary file renamed over it, keeping
  // an existing file's permission bits), so a failed write leaves the old
  // content. A symbolic link is followed, not replaced.
  bool SaveToFile(const std::string& path) const;

  bool HasSection(std::string_view section) const;
  // Keys of a section in file order, each in its first spelling.
  std::vector<std::string> KeyNames(std::string_view section) const;
  bool ReadString(std::string_view section, std::string_view key, std::string& value) const;
  std::string ReadString(std::string_view section, std::string_view key, const std::string& def) const;
  // Sets the key's value, appending the key (and the section) when new. A
  // line break in the value is written as "|" so it cannot start a new line.
  // False, with nothing changed, for a key that would not read back as itself
  // (empty, containing "=" or a line break, starting with ";" or "[", or
  // with blanks at either end).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);

private:
  struct TEntry {
    std::string Key, Value;
  };
  // Lookups go through the folded-name indexes: a file of many keys must
  // not cost a scan per key.
  struct TSection {
    std::string Name;
    std::vector<TEntry> Entries;
    std::unordered_map<std::string, size_t> Index; // folded key -> Entries
  };
  const TSection* Find(std::string_view section) const;
  TSection& FindOrAdd(std::string_view section);
  std::vector<TSection> FSections;
  std::unordered_map<std::string, size_t> FIndex; // folded name -> FSections
};

// Trim as the reader does: bytes up to 0x20, and DEL, at both ends.
std::string_view TrimIni(std::string_view s);

// A whole number in the signed 32-bit range: optional blanks, an optional
// "+" or "-", then decimal digits, or hexadecimal digits after "$", "x",
// "X", "0x" or "0X"; nothing after the digits.
bool ParseWholeNumber(std::string_view text, int32_t& value);

} // namespace twf
