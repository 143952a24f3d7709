#include "engine/text.h"

#include "log/logger.h"
#include "platform/fs.h"

namespace twf {

std::string LongPath(const std::string& path) { return path; }

bool IsPathInside(const std::string& parent, const std::string& child) {
  std::string p = parent, c = child;
  if (p.empty() || p.back() != '/') p += '/';
  if (c.empty() || c.back() != '/') c += '/';
  return c.size() >= p.size() && FoldKey(c.substr(0, p.size())) == FoldKey(p);
}

bool GetVolumeLabelSerial(IFileSystem& fs, const std::string& path, std::string& label, std::string& serial) {
  label.clear();
  serial.clear();
  return fs.VolumeIdentity(path, label, serial);
}

bool GetVolumeLabelSerial(const std::string& path, std::string& label, std::string& serial) {
  return GetVolumeLabelSerial(RealFileSystem(), path, label, serial);
}

} // namespace twf
