#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>


namespace twf::fuzz {

namespace {

std::string MakeHome() {
  char tmpl[] = "/tmp/twf-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) Fail("cannot create a temporary home");
  std::string home = tmpl;
  const char* subs[][2] = {{"HOME", ""}, {"XDG_CONFIG_HOME", "/config"}, {"XDG_DATA_HOME", "/data"},
                           {"XDG_CACHE_HOME", "/cache"}, {"XDG_STATE_HOME", "/state"},
                           {"XDG_RUNTIME_DIR", "/run"}, {"TMPDIR", "/tmp"}};
  for (auto& [var, sub] : subs) {
    const std::string path = home + sub;
    mkdir(path.c_str(), 0700);
    setenv(var, path.c_str(), 1);
  }
  static std::string removeAtExit;
  removeAtExit = home;
  atexit([] {
    nftw(removeAtExit.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  });
  return home;
}

// Code point of the valid sequence at s[i], its length in len; false when invalid.
bool Decode(std::string_view s, size_t i, uint32_t& cp, size_t& len) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  uint32_t min;
  if (c < 0x80) { cp = c; len = 1; return true; }
  if (c >= 0xC2 && c <= 0xDF) { cp = c & 0x1F; len = 2; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { cp = c & 0x0F; len = 3; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { cp = c & 0x07; len = 4; min = 0x10000; }
  else return false;
  if (i + len > s.size()) return false;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (t & 0x3F);
  }
  return cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) out += char(cp);
  else if (cp < 0x800) { out += char(0xC0 | (cp >> 6)); out += char(0x80 | (cp & 0x3F)); }
  else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18)); out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F));
  }
}

class TJsonReader {
public:
  explicit TJsonReader(std::string_view t) : T(t) {}
  bool Document(std::string* decoded) {
    Blank();
    if (I < T.size() && T[I] == '"') {
      if (!String(decoded)) return false;
    } else if (!Value(0)) {
      return false;
    }
    Blank();
    return I == T.size();
  }

private:
  std::string_view T;
  size_t I = 0;

  void Blank() {
    while (I < T.size() && (T[I] == ' ' || T[I] == '\t' || T[I] == '\n' || T[I] == '\r')) ++I;
  }
  bool Lit(std::string_view w) {
    if (T.substr(I, w.size()) != w) return false;
    I += w.size();
    return true;
  }
  bool Hex4(uint32_t& v) {
    if (I + 4 > T.size()) return false;
    v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = T[I++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return false;
    }
    return true;
  }
  bool String(std::string* out) {
    if (!Lit("\"")) return false;
    std::string s;
    while (I < T.size()) {
      const unsigned char c = static_cast<unsigned char>(T[I]);
      if (c == '"') { ++I; if (out) *out = s; return true; }
      if (c < 0x20) return false;
      if (c != '\\') {
        uint32_t cp; size_t len;
        if (!Decode(T, I, cp, len)) return false;
        s.append(T.substr(I, len));
        I += len;
        continue;
      }
      if (++I >= T.size()) return false;
      const char e = T[I++];
      switch (e) {
        case '"': s += '"'; break;
        case '\\': s += '\\'; break;
        case '/': s += '/'; break;
        case 'b': s += '\b'; break;
        case 'f': s += '\f'; break;
        case 'n': s += '\n'; break;
        case 'r': s += '\r'; break;
        case 't': s += '\t'; break;
        case 'u': {
          uint32_t u;
          if (!Hex4(u)) return false;
          if (u >= 0xDC00 && u <= 0xDFFF) return false;
          if (u >= 0xD800 && u <= 0xDBFF) {
            uint32_t lo;
            if (!Lit("\\u") || !Hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
          }
          AppendUtf8(s, u);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Number() {
    const size_t start = I;
    if (I < T.size() && T[I] == '-') ++I;
    if (I < T.size() && T[I] == '0') ++I;
    else if (I < T.size() && T[I] >= '1' && T[I] <= '9') while (I < T.size() && isdigit((unsigned char)T[I])) ++I;
    else return false;
    if (I < T.size() && T[I] == '.') {
      ++I;
      if (I >= T.size() || !isdigit((unsigned char)T[I])) return false;
      while (I < T.size() && isdigit((unsigned char)T[I])) ++I;
    }
    if (I < T.size() && (T[I] == 'e' || T[I] == 'E')) {
      ++I;
      if (I < T.size() && (T[I] == '+' || T[I] == '-')) ++I;
      if (I >= T.size() || !isdigit((unsigned char)T[I])) return false;
      while (I < T.size() && isdigit((unsigned char)T[I])) ++I;
    }
    return I > start;
  }
  bool Value(int depth) {
    if (depth > 64) return false;
    Blank();
    if (I >= T.size()) return false;
    switch (T[I]) {
      case '"': return String(nullptr);
      case 't': return Lit("true");
      case 'f': return Lit("false");
      case 'n': return Lit("null");
      case '[': {
        ++I; Blank();
        if (Lit("]")) return true;
        while (true) {
          if (!Value(depth + 1)) return false;
          Blank();
          if (Lit("]")) return true;
          if (!Lit(",")) return false;
        }
      }
      case '{': {
        ++I; Blank();
        if (Lit("}")) return true;
        while (true) {
          Blank();
          if (!String(nullptr)) return false;
          Blank();
          if (!Lit(":") || !Value(depth + 1)) return false;
          Blank();
          if (Lit("}")) return true;
          if (!Lit(",")) return false;
        }
      }
      default: return Number();
    }
  }
};

} // namespace

const std::string& PrivateHome() {
  static const std::string home = MakeHome();
  return home;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp; size_t len;
    if (!Decode(s, i, cp, len)) return false;
    i += len;
  }
  return true;
}

bool IsJsonValue(std::string_view text, std::string* decoded) {
  return TJsonReader(text).Document(decoded);
}

void Fail(const char* what) {
  fprintf(stderr, "property violated: %s\n", what);
  fflush(stderr);
  abort();
}

} // namespace twf::fuzz
