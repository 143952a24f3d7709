// Free space and the identity (label, serial) of the file system holding a
// path. Both look at the nearest existing folder, so a destination that is
// not created yet still answers for the disk it will land on.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The mount source of the file system whose device is dev, from
// /proc/self/mountinfo: "id parent major:minor root point options... - type source super".
std::string MountSourceOf(dev_t dev) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  char want[32];
  snprintf(want, sizeof want, "%u:%u", major(dev), minor(dev));
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device;
    fields >> id >> parent >> device;
    if (device != want) continue;
    size_t sep = line.find(" - ");
    if (sep == std::string::npos) continue;
    std::istringstream tail(line.substr(sep + 3));
    std::string type, source;
    tail >> type >> source;
    return DecodeMountField(source);
  }
  return {};
}

// The name in folder (a /dev/disk/by-* folder of links) whose target is the
// block device rdev; empty when none is.
std::string LinkNameFor(const char* folder, dev_t rdev) {
  DIR* d = opendir(folder);
  if (!d) return {};
  std::string found;
  while (struct dirent* de = readdir(d)) {
    if (de->d_name[0] == '.') continue;
    struct stat st;
    if (fstatat(dirfd(d), de->d_name, &st, 0) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev) {
      found = de->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

// The block device behind a file system: its mount source when that is a
// device node, else the device number itself (file systems on partitions
// whose mount is not visible here); 0 for virtual file systems.
dev_t BlockDeviceOf(dev_t dev) {
  std::string source = MountSourceOf(dev);
  struct stat st;
  if (!source.empty() && source[0] == '/' && stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
    return st.st_rdev;
  return source.empty() && major(dev) != 0 ? dev : 0;
}

} // namespace

std::string SerialFromNumber(uint32_t value) {
  char buf[10];
  snprintf(buf, sizeof buf, "%04X-%04X", value >> 16, value & 0xFFFF);
  return buf;
}

std::string SerialFromUuid(const std::string& uuid) {
  std::string hex;
  for (char c : uuid) {
    if (c == '-') continue;
    if (HexValue(c) < 0) return {};
    hex += char(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    if (hex.size() == 8) return hex.substr(0, 4) + "-" + hex.substr(4);
  }
  return {};
}

std::string DecodeUdevName(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && HexValue(name[i + 2]) >= 0 &&
        HexValue(name[i + 3]) >= 0) {
      out += char(HexValue(name[i + 2]) * 16 + HexValue(name[i + 3]));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

std::string DecodeMountField(const std::string& field) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
        octal(field[i + 2]) && octal(field[i + 3])) {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool OnKnownLocalFileSystem(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
  case EXT4_SUPER_MAGIC: // ext2, ext3 and ext4 share it
  case XFS_SUPER_MAGIC:
  case BTRFS_SUPER_MAGIC:
  case F2FS_SUPER_MAGIC:
  case TMPFS_MAGIC:
    return true;
  default:
    return false;
  }
}

int64_t FreeSpace(const std::string& path) {
  std::string dir = NearestExistingDir(path);
  if (dir.empty()) return -1;
  int fd = OpenPathFd(dir);
  if (fd < 0) return -1;
  struct statvfs vfs;
  int rc = fstatvfs(fd, &vfs);
  close(fd);
  // No blocks at all means the file system keeps no figures (ramfs, some
  // network file systems), not that it is full.
  if (rc != 0 || vfs.f_blocks == 0) return -1;
  return int64_t(vfs.f_bavail) * int64_t(vfs.f_frsize);
}

bool VolumeIdentity(const std::string& path, std::string& label, std::string& serial) {
  label.clear();
  serial.clear();
  std::string dir = NearestExistingDir(path);
  if (dir.empty()) return false;
  int fd = OpenPathFd(dir);
  if (fd < 0) return false;
  struct stat st;
  struct statfs fs;
  bool haveFs = false;
  int rc = fstat(fd, &st);
  if (rc == 0) haveFs = fstatfs(fd, &fs) == 0;
  close(fd);
  if (rc != 0) return false;

  if (dev_t blk = BlockDeviceOf(st.st_dev)) {
    serial = SerialFromUuid(LinkNameFor("/dev/disk/by-uuid", blk));
    label = DecodeUdevName(LinkNameFor("/dev/disk/by-label", blk));
  }
  if (serial.empty() && haveFs) {
    uint32_t folded = uint32_t(fs.f_fsid.__val[0]) ^ uint32_t(fs.f_fsid.__val[1]);
    if (folded != 0) serial = SerialFromNumber(folded);
  }
  // Device numbers are unique among mounted file systems, and 12 + 20 bits fit.
  if (serial.empty()) serial = SerialFromNumber((major(st.st_dev) << 20) | (minor(st.st_dev) & 0xFFFFF));
  return true;
}

} // namespace twf::posix

namespace twf {

bool IsFileSystemRoot(const std::string& path) {
  const int fd = posix::OpenPathFd(path);
  if (fd < 0) return false;
  bool root = false;
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
    root = (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  } else {
    // Kernels before 5.8: a root lies on another device than its parent, or
    // is its own parent.
    struct stat self, parent;
    root = fstat(fd, &self) == 0 && fstatat(fd, "..", &parent, 0) == 0 &&
           (self.st_dev != parent.st_dev || self.st_ino == parent.st_ino);
  }
  close(fd);
  return root;
}

} // namespace twf
