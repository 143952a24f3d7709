// Exclusion masks: the input is "<mask>\0<path>" (no NUL: the mask is tried
// against itself). Beyond not crashing, the shortcuts the matcher takes
// before its full walk must never turn down a path the walk would accept.
#include <string>
#include <string_view>

#include "engine/wildcard.h"
#include "fuzz/fuzz_support.h"

using namespace twf;
using twf::fuzz::Check;

namespace {

bool Compiles(std::string_view mask, TWildcardMask& m) {
  std::string error;
  const bool ok = m.Compile(mask, &error);
  Check(ok == error.empty(), "Compile sets an error exactly when it fails");
  return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const size_t nul = in.find('\0');
  const std::string_view mask = in.substr(0, nul);
  const std::string_view path = nul == std::string_view::npos ? mask : in.substr(nul + 1);

  TWildcardMask m;
  std::string error;
  Check(ValidateMask(mask, &error) == Compiles(mask, m), "ValidateMask agrees with Compile");
  if (!error.empty()) return 0;

  const bool match = m.Matches(path);
  Check(MatchesAny({m}, path) == match, "MatchesAny agrees with Matches");
  if (match) {
    // A leading or trailing "*" only widens a mask; the extended path tests
    // that the tail and needed-character shortcuts allow what the walk does.
    TWildcardMask star;
    const std::string front = "*" + std::string(mask);
    if (Compiles(front, star)) {
      Check(star.Matches(path), "'*' + mask matches what mask matches");
      Check(star.Matches("x/" + std::string(path)), "'*' + mask matches a longer path");
    }
    if (Compiles(std::string(mask) + "*", star)) {
      Check(star.Matches(path), "mask + '*' matches what mask matches");
      Check(star.Matches(std::string(path) + "/x"), "mask + '*' matches a longer path");
    }
  }
  // Only ASCII letters ignore case, and "/" and "\\" are one separator:
  // texts that differ only there match alike.
  auto mapped = [](std::string_view t, auto f) {
    std::string out(t);
    for (char& c : out) c = f(c);
    return out;
  };
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
  Check(m.Matches(mapped(path, upper)) == match, "letter case of the path does not matter");
  Check(m.Matches(mapped(path, lower)) == match, "letter case of the path does not matter");
  if (mask.find('[') == std::string_view::npos) {
    const auto slash = [](char c) { return c == '\\' ? '/' : c; };
    const auto back = [](char c) { return c == '/' ? '\\' : c; };
    Check(m.Matches(mapped(path, slash)) == match, "either separator in the path matches");
    Check(m.Matches(mapped(path, back)) == match, "either separator in the path matches");
    TWildcardMask other;
    for (const std::string& variant : {mapped(mask, slash), mapped(mask, back), mapped(mask, upper)})
      if (Compiles(variant, other)) Check(other.Matches(path) == match, "separator and case of the mask do not matter");
  }
  // A mask without wildcard characters matches itself.
  if (mask.find_first_of("*?[") == std::string_view::npos) Check(m.Matches(mask), "a plain mask matches itself");

  size_t pos = 0;
  while (pos < path.size()) {
    const size_t before = pos;
    NextCodePoint(path, pos);
    Check(pos > before && pos <= path.size(), "NextCodePoint advances within the text");
  }
  return 0;
}
