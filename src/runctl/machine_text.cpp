#include "runctl/machine_text.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "twf_version.h"

namespace twf {

namespace {

std::string TrimText(const std::string& s) {
  // The device-tree model ends with a NUL; firmware strings carry blanks.
  const auto junk = [](unsigned char c) { return c <= ' ' || c == 0x7f; };
  size_t first = 0, last = s.size();
  while (first < last && junk(static_cast<unsigned char>(s[first]))) ++first;
  while (last > first && junk(static_cast<unsigned char>(s[last - 1]))) --last;
  return s.substr(first, last - first);
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  char buf[512];
  // Firmware strings are short; never read more than a few KB of anything.
  while (text.size() < 4096 && in.read(buf, sizeof buf).gcount() > 0) text.append(buf, static_cast<size_t>(in.gcount()));
  return text.substr(0, 4096);
}

} // namespace

std::string AppVersionString() {
  const std::string version = TWF_VERSION;
  long parts[4] = {0, 0, 0, 0};
  size_t start = 0;
  for (int i = 0; i < 4 && start <= version.size(); ++i) {
    const size_t dot = version.find('.', start);
    const std::string part = version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 5)
      return "1.0.0.0";
    parts[i] = std::stol(part);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
         std::to_string(parts[3]);
}

std::string ComputerNameText() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  std::string text = name;
  if (const size_t dot = text.find('.'); dot != std::string::npos) text.erase(dot);
  return text;
}

std::string UserNameText() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw;
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !found->pw_name) return {};
  return found->pw_name;
}

std::string DeviceModelTextAt(const std::string& root) {
  const std::string base = root.empty() || root.back() != '/' ? root + "/" : root;
  for (const char* file : {"sys/class/dmi/id/product_name", "sys/firmware/devicetree/base/model"}) {
    const std::string model = TrimText(ReadSmallFile(base + file));
    if (!model.empty()) return model;
  }
  return {};
}

std::string DeviceModelText() { return DeviceModelTextAt("/"); }

std::string FormatDuration(double seconds) {
  // Far beyond any run: keeps the conversion to an integer defined.
  constexpr double kLimit = 9.0e15;
  if (std::isnan(seconds)) seconds = 0;
  seconds = std::fmax(-kLimit, std::fmin(kLimit, seconds));
  // Halves go to the even neighbour, whatever rounding mode a thread has set.
  double whole = std::floor(seconds);
  const double fraction = seconds - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
  const int64_t s = static_cast<int64_t>(whole);
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
  return std::to_string(s / 3600) + " h " + std::to_string((s % 3600) / 60) + " min";
}

} // namespace twf
