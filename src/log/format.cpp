#include "log/format.h"

#include <cmath>

#include "log/logger.h"

namespace twf {

namespace {
const char* const kSizeUnits[] = {"B", "KB", "MB", "GB", "TB"};
}

std::string FormatSize(int64_t bytes) {
  double x = static_cast<double>(bytes);
  int u = 0;
  while (x >= 1024 && u < 4) {
    x /= 1024;
    ++u;
  }
  if (u == 0) return FormatText("%lld %s", static_cast<long long>(bytes), kSizeUnits[0]);
  return FormatText("%.2f %s", x, kSizeUnits[u]);
}

std::string FormatElapsed(int64_t ms) {
  return FormatText("%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(ms / 3600000),
                    static_cast<long long>((ms / 60000) % 60), static_cast<long long>((ms / 1000) % 60),
                    static_cast<long long>(ms % 1000));
}

std::string StripTrailingDot(const std::string& text) {
  if (!text.empty() && text.back() == '.') return text.substr(0, text.size() - 1);
  return text;
}

std::string VolumeText(const std::string& label, const std::string& serial) {
  return label.empty() ? serial : label + " (" + serial + ")";
}

int64_t RoundHalfEven(double value) { return static_cast<int64_t>(std::nearbyint(value)); }

} // namespace twf
