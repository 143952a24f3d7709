// Key-name folding through GLib's Unicode tables (full case folding, so
// "Straße" and "STRASSE" are one name). GLib stays in this file: its headers
// must not meet Qt's keyword macros.
#include "tasks/settings_store.h"

#include <glib.h>

namespace twf {

std::string FoldKeyName(std::string_view name) {
  // Plain ASCII, by far the usual case, folds to lower case: Unicode case
  // folding maps nothing else in that range. Task files of many keys fold
  // every one of them.
  bool ascii = true;
  for (const char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string out(name);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  std::string out;
  out.reserve(name.size());
  const char* p = name.data();
  const char* const end = p + name.size();
  while (p < end) {
    const gchar* validEnd = p;
    g_utf8_validate(p, end - p, &validEnd);
    if (validEnd > p) {
      gchar* folded = g_utf8_casefold(p, validEnd - p);
      out += folded;
      g_free(folded);
      p = validEnd;
    }
    // A byte that cannot start valid UTF-8 (or a NUL) stands for itself.
    if (p < end) out += *p++;
  }
  return out;
}

bool SameKeyName(std::string_view a, std::string_view b) {
  return a == b || FoldKeyName(a) == FoldKeyName(b);
}

namespace {

// Sort key in the user's collation (LC_COLLATE, set by the program at start),
// so that "Ärger" sorts among the A's where the language says so.
std::string CollateKey(const std::string& name) {
  gchar* valid = g_utf8_make_valid(FoldKeyName(name).c_str(), -1);
  gchar* key = g_utf8_collate_key(valid, -1);
  std::string out = key;
  g_free(key);
  g_free(valid);
  return out;
}

} // namespace

bool KeyNameLess(const std::string& a, const std::string& b) {
  const std::string ka = CollateKey(a), kb = CollateKey(b);
  if (ka != kb) return ka < kb;
  return a < b;
}

} // namespace twf
