#include <gtest/gtest.h>

#include "engine/wildcard.h"

using namespace twf;

TEST(Wildcard, Matching) {
  struct Case {
    const char* mask;
    const char* text;
    bool match;
  };
  const Case cases[] = {
      {"*", "", true},
      {"*", "/a/b/c", true},
      {"*.tmp", "/src/x.tmp", true},
      {"*.tmp", "/src/x.tmp.bak", false},
      {"*/thumbs.db", "/src/a/Thumbs.db", true},  // ASCII letters ignore case
      {"*\\thumbs.db", "/src/a/thumbs.db", true}, // a backslash matches the separator
      {"*\\thumbs.db", "/src/a/thumbs.dbx", false},
      {"/src/cache/*", "/src/cache/", true},
      {"/src/cache/*", "/src/cache", false},
      {"?", "a", true},
      {"?", "\xC3\xA9", true},           // one code point
      {"??", "\xC3\xA9", false},
      {"?", "\xFF", true},                // an invalid byte counts as one character
      {"\xC3\xA9*", "\xC3\x89x", false},  // accented letters match only exactly
      {"[abc]x", "bx", true},
      {"[a-c]x", "Bx", true},
      {"[!a-c]x", "dx", true},
      {"[!a-c]x", "ax", false},
      {"[!a-c]x", "Ax", false},
      {"a*b*c", "a123b456c", true},
      {"a*b*c", "a123b456", false},
      {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false}, // no exponential backtracking
      {"?:\\$Recycle.Bin\\*", "/mnt/$Recycle.Bin/x", false},
      // The end after the last "*" decides first; it must agree with the
      // whole match in every way the characters can differ.
      {"*\\desktop.ini", "/a/DESKTOP.INI", true},
      {"*\\desktop.ini", "\\desktop.ini", true},
      {"*\\desktop.ini", "/a/desktop.ini/", false},
      {"*\\desktop.ini", "desktop.ini", false},          // shorter than the end
      {"*/x.tmp", "/a\xC3/x.tmp", true},                 // an invalid byte just before the end
      {"*/x.tmp", "/a/\xC3x.tmp", false},
      {"*.t?p", "/a/x.tmp", true},                         // the end is not plain: matched whole
      {"*\xC3\xA9", "/a/\xC3\xA9", true},                 // a non-ASCII end: matched whole
      {"*\xC3\xA9", "/a/\xC3\x89", false},
      {"a*b/", "a/b\\", true},
      {"a*[b]", "a/B", true},
      {"?:\\Windows\\*", "C:\\Windows\\x", true},      // a character the text must hold
      {"?:\\Windows\\*", "/C/Windows/x", false},
      {"x?1", "xA1", true},
      {"x?1", "x\xC3\xA92", false},
  };
  for (const Case& c : cases) {
    TWildcardMask m;
    ASSERT_TRUE(m.Compile(c.mask, nullptr)) << c.mask;
    EXPECT_EQ(m.Matches(c.text), c.match) << c.mask << " vs " << c.text;
  }
}

TEST(Wildcard, InvalidMasksNameThePlace) {
  const std::pair<const char*, const char*> cases[] = {
      {"[abc", "'[abc' is an invalid mask at (1)"},
      {"x[]", "'x[]' is an invalid mask at (3)"},
      {"[-a]", "'[-a]' is an invalid mask at (2)"},
      {"[a-]", "'[a-]' is an invalid mask at (4)"},
      {"[!]", "'[!]' is an invalid mask at (3)"},
  };
  for (auto& [mask, msg] : cases) {
    std::string err;
    EXPECT_FALSE(ValidateMask(mask, &err)) << mask;
    EXPECT_EQ(err, msg);
  }
}
