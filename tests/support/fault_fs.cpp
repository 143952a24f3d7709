#include "support/fault_fs.h"

#include <dlfcn.h>

#include <cstdio>

// Each call of the layer is told apart by where it came from: the address
// its caller returns to. The overrides are only ever reached through
// IFileSystem, and are kept out of line so that address is the caller's.
#define TWF_NOINLINE __attribute__((noinline))
#define TWF_CALLER reinterpret_cast<uintptr_t>(__builtin_return_address(0))

namespace twf {

const char* FsCallName(TFsCall kind) {
  static constexpr const char* kNames[] = {
      "IsDirectory", "ListDir", "Stat",    "DeleteFile", "RemoveDir",  "CreateDir",
      "CreateDirPath", "CopyFile", "MoveFile", "OpenRead", "Read",
      "Close",       "GetAcl",  "SetAcl",  "TrashFiles", "FreeSpace",  "VolumeIdentity",
      "OpenDir",     "SetOwner", "SetMode",  "NameCopy", "ReadLink",   "MakeLink",   "SetTimes",
      "GetXattr",    "SetXattr"};
  static_assert(std::size(kNames) == size_t(TFsCall::Count));
  return kind < TFsCall::Count ? kNames[size_t(kind)] : "?";
}

void TFaultFileSystem::FailNth(TFsCall kind, uint64_t n, int errnoValue, bool persistent) {
  std::lock_guard<std::mutex> g(Lock_);
  Faults_.push_back({kind, errnoValue, n, persistent, {}, -1});
}

void TFaultFileSystem::FailPath(TFsCall kind, const std::string& pathPart, int errnoValue) {
  std::lock_guard<std::mutex> g(Lock_);
  Faults_.push_back({kind, errnoValue, 0, false, pathPart, -1});
}

void TFaultFileSystem::FailCopyAfter(uint64_t n, int64_t bytes, int errnoValue) {
  std::lock_guard<std::mutex> g(Lock_);
  Faults_.push_back({TFsCall::CopyFile, errnoValue, n, false, {}, bytes});
}

void TFaultFileSystem::ClearFaults() {
  std::lock_guard<std::mutex> g(Lock_);
  Faults_.clear();
}

uint64_t TFaultFileSystem::Calls(TFsCall kind) const {
  return Counts_[size_t(kind)].load();
}

void TFaultFileSystem::ResetCounts() {
  std::lock_guard<std::mutex> g(Lock_);
  for (auto& c : Counts_) c.store(0);
}

void TFaultFileSystem::FailSite(TFsCall kind, uintptr_t address, int errnoValue, int64_t afterBytes, uint64_t n) {
  std::lock_guard<std::mutex> g(Lock_);
  TFault f{kind, errnoValue, n, false, {}, afterBytes};
  f.Site = address;
  Faults_.push_back(f);
}

std::vector<TFaultFileSystem::TCallSite> TFaultFileSystem::Sites() const {
  std::lock_guard<std::mutex> g(Lock_);
  return Sites_;
}

std::vector<std::string> TFaultFileSystem::FailedPaths() const {
  std::lock_guard<std::mutex> g(Lock_);
  return FailedPaths_;
}

std::string TFaultFileSystem::DescribeSite(uintptr_t address) {
  Dl_info info{};
  char buf[64];
  if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || !info.dli_fname) {
    snprintf(buf, sizeof buf, "0x%zx", size_t(address));
    return buf;
  }
  std::string module = info.dli_fname;
  module = module.substr(module.rfind('/') + 1);
  // The return address lies just past the call: one byte back is the call.
  snprintf(buf, sizeof buf, "+0x%zx", size_t(address - 1 - reinterpret_cast<uintptr_t>(info.dli_fbase)));
  std::string text = module + buf;
  if (info.dli_sname) text += std::string(" (") + info.dli_sname + ")";
  return text;
}

TFaultFileSystem::TDecision TFaultFileSystem::Enter(TFsCall kind, uintptr_t site, const std::string& path,
                                                    const std::string& path2) {
  if (Hook_) Hook_(kind, path);
  std::lock_guard<std::mutex> g(Lock_);
  uint64_t count = Counts_[size_t(kind)].fetch_add(1) + 1;
  auto [at, added] = SiteIndex_.emplace(std::make_pair(kind, site), Sites_.size());
  if (added) Sites_.push_back({kind, site, count, path});
  const uint64_t atSite = ++Sites_[at->second].Calls;
  for (TFault& f : Faults_) {
    if (f.Kind != kind) continue;
    bool hit;
    if (f.Site != 0) {
      hit = f.Site == site && atSite == f.Nth && !f.Spent;
      f.Spent |= hit;
    } else if (f.Nth > 0) {
      hit = count == f.Nth || (f.Persistent && count > f.Nth);
    } else {
      hit = path.find(f.PathPart) != std::string::npos ||
            (!path2.empty() && path2.find(f.PathPart) != std::string::npos);
    }
    if (hit) {
      FailedPaths_.push_back(path);
      return {f.Errno, f.AfterBytes};
    }
  }
  return {};
}

std::string TFaultFileSystem::PathAt(int dir, const std::string& name) {
  std::string p = PathOfDescriptor(dir);
  if (name.empty()) return p;
  if (p.empty() || p.back() != '/') p += '/';
  return p + name;
}

void TFaultFileSystem::Track(int fd, const std::string& path) {
  std::lock_guard<std::mutex> g(Lock_);
  OpenPaths_[fd] = path;
}

std::string TFaultFileSystem::PathOfFd(int fd) {
  {
    std::lock_guard<std::mutex> g(Lock_);
    auto it = OpenPaths_.find(fd);
    if (it != OpenPaths_.end()) return it->second;
  }
  // Not opened through this layer (a copy's own descriptor): ask the system.
  return fd >= 0 ? PathOfDescriptor(fd) : std::string();
}

TWF_NOINLINE bool TFaultFileSystem::IsDirectory(const std::string& path) {
  return Enter(TFsCall::IsDirectory, TWF_CALLER, path).Errno == 0 && Inner_.IsDirectory(path);
}

TWF_NOINLINE int TFaultFileSystem::Stat(const std::string& path, TFileInfo& info) {
  if (int err = Enter(TFsCall::Stat, TWF_CALLER, path).Errno) return err;
  return Inner_.Stat(path, info);
}

TWF_NOINLINE int TFaultFileSystem::CreateDirPath(const std::string& path) {
  if (int err = Enter(TFsCall::CreateDirPath, TWF_CALLER, path).Errno) return err;
  return Inner_.CreateDirPath(path);
}

TWF_NOINLINE int TFaultFileSystem::OpenRead(const std::string& path, bool dropCache, int& fd) {
  if (int err = Enter(TFsCall::OpenRead, TWF_CALLER, path).Errno) {
    fd = -1;
    return err;
  }
  int err = Inner_.OpenRead(path, dropCache, fd);
  if (err == 0) {
    std::lock_guard<std::mutex> g(Lock_);
    OpenPaths_[fd] = path;
  }
  return err;
}

TWF_NOINLINE int64_t TFaultFileSystem::Read(int fd, void* buf, int64_t size) {
  if (int err = Enter(TFsCall::Read, TWF_CALLER, PathOfFd(fd)).Errno) return -err;
  return Inner_.Read(fd, buf, size);
}

TWF_NOINLINE void TFaultFileSystem::Close(int fd) {
  std::string path = PathOfFd(fd);
  {
    std::lock_guard<std::mutex> g(Lock_);
    OpenPaths_.erase(fd);
  }
  Enter(TFsCall::Close, TWF_CALLER, path); // close() releases the descriptor even when it reports an error
  Inner_.Close(fd);
}

TWF_NOINLINE int64_t TFaultFileSystem::FreeSpace(const std::string& path) {
  if (Enter(TFsCall::FreeSpace, TWF_CALLER, path).Errno) return -1;
  return Inner_.FreeSpace(path);
}

TWF_NOINLINE bool TFaultFileSystem::VolumeIdentity(const std::string& path, std::string& label,
                                      std::string& serial) {
  if (Enter(TFsCall::VolumeIdentity, TWF_CALLER, path).Errno) {
    label.clear();
    serial.clear();
    return false;
  }
  return Inner_.VolumeIdentity(path, label, serial);
}

TWF_NOINLINE int TFaultFileSystem::OpenDir(const std::string& path, int& fd, TFileInfo& info) {
  fd = -1;
  if (int err = Enter(TFsCall::OpenDir, TWF_CALLER, path).Errno) return err;
  int err = Inner_.OpenDir(path, fd, info);
  if (err == 0) Track(fd, path);
  return err;
}

TWF_NOINLINE int TFaultFileSystem::OpenDirAt(int root, const std::string& rel, int& fd, TFileInfo& info) {
  fd = -1;
  const std::string path = PathAt(root, rel);
  if (int err = Enter(TFsCall::OpenDir, TWF_CALLER, path).Errno) return err;
  int err = Inner_.OpenDirAt(root, rel, fd, info);
  if (err == 0) Track(fd, path);
  return err;
}

TWF_NOINLINE int TFaultFileSystem::StatAt(int dir, const std::string& name, TFileInfo& info) {
  if (int err = Enter(TFsCall::Stat, TWF_CALLER, PathAt(dir, name)).Errno) return err;
  return Inner_.StatAt(dir, name, info);
}

TWF_NOINLINE int TFaultFileSystem::ListDirAt(int dir, std::vector<TDirEntry>& out, bool linksAsLinks) {
  if (int err = Enter(TFsCall::ListDir, TWF_CALLER, PathAt(dir, {})).Errno) {
    out.clear();
    return err;
  }
  return Inner_.ListDirAt(dir, out, linksAsLinks);
}

TWF_NOINLINE int TFaultFileSystem::ReadLinkAt(int dir, const std::string& name, std::string& target, TFileInfo& info) {
  if (int err = Enter(TFsCall::ReadLink, TWF_CALLER, PathAt(dir, name)).Errno) return err;
  return Inner_.ReadLinkAt(dir, name, target, info);
}

// A failed one leaves nothing behind, as the real one.
TWF_NOINLINE int TFaultFileSystem::MakeLinkAt(int dir, const std::string& name, const std::string& target,
                                              const TFileInfo& meta, int* ownerResult) {
  if (ownerResult) *ownerResult = 0;
  if (int err = Enter(TFsCall::MakeLink, TWF_CALLER, PathAt(dir, name)).Errno) return err;
  return Inner_.MakeLinkAt(dir, name, target, meta, ownerResult);
}

TWF_NOINLINE int TFaultFileSystem::SetOwnerAt(int dir, const std::string& name, const TFileInfo& seen, int64_t uid,
                                              int64_t gid, const std::string& linkText) {
  if (int err = Enter(TFsCall::SetOwner, TWF_CALLER, PathAt(dir, name)).Errno) return err;
  return Inner_.SetOwnerAt(dir, name, seen, uid, gid, linkText);
}

TWF_NOINLINE int TFaultFileSystem::SetTimesFd(int fd, TFileTime writeTime) {
  if (int err = Enter(TFsCall::SetTimes, TWF_CALLER, PathOfFd(fd)).Errno) return err;
  return Inner_.SetTimesFd(fd, writeTime);
}

TWF_NOINLINE int TFaultFileSystem::GetXattrsFd(int fd, std::string& attrs) {
  if (int err = Enter(TFsCall::GetXattr, TWF_CALLER, PathOfFd(fd)).Errno) {
    attrs.clear();
    return err;
  }
  return Inner_.GetXattrsFd(fd, attrs);
}

TWF_NOINLINE int TFaultFileSystem::SetXattrsFd(int fd, const std::string& attrs) {
  if (int err = Enter(TFsCall::SetXattr, TWF_CALLER, PathOfFd(fd)).Errno) return err;
  return Inner_.SetXattrsFd(fd, attrs);
}

TWF_NOINLINE int TFaultFileSystem::OpenFileAt(int root, const std::string& rel, bool followLink, int& fd, TFileInfo& info) {
  fd = -1;
  const std::string path = PathAt(root, rel);
  if (int err = Enter(TFsCall::OpenRead, TWF_CALLER, path).Errno) return err;
  int err = Inner_.OpenFileAt(root, rel, followLink, fd, info);
  if (err == 0) Track(fd, path);
  return err;
}

TWF_NOINLINE int TFaultFileSystem::OpenFileIn(int dir, const TFileInfo& dirInfo, const std::string& name,
                                               bool followLink, int& fd, TFileInfo& info) {
  fd = -1;
  const std::string path = PathAt(dir, name);
  if (int err = Enter(TFsCall::OpenRead, TWF_CALLER, path).Errno) return err;
  int err = Inner_.OpenFileIn(dir, dirInfo, name, followLink, fd, info);
  if (err == 0) Track(fd, path);
  return err;
}

TWF_NOINLINE int TFaultFileSystem::OpenReadAt(int dir, const std::string& name, bool dropCache, int& fd) {
  fd = -1;
  const std::string path = PathAt(dir, name);
  if (int err = Enter(TFsCall::OpenRead, TWF_CALLER, path).Errno) return err;
  int err = Inner_.OpenReadAt(dir, name, dropCache, fd);
  if (err == 0) Track(fd, path);
  return err;
}

TWF_NOINLINE int TFaultFileSystem::DeleteFileAt(int dir, const std::string& name) {
  if (int err = Enter(TFsCall::DeleteFile, TWF_CALLER, PathAt(dir, name)).Errno) return err;
  return Inner_.DeleteFileAt(dir, name);
}

TWF_NOINLINE int TFaultFileSystem::RemoveDirAt(int dir, const std::string& name) {
  if (int err = Enter(TFsCall::RemoveDir, TWF_CALLER, PathAt(dir, name)).Errno) return err;
  return Inner_.RemoveDirAt(dir, name);
}

TWF_NOINLINE int TFaultFileSystem::CreateDirAt(int dir, const std::string& name, int& fd, TFileInfo& info) {
  fd = -1;
  const std::string path = PathAt(dir, name);
  if (int err = Enter(TFsCall::CreateDir, TWF_CALLER, path).Errno) return err;
  int err = Inner_.CreateDirAt(dir, name, fd, info);
  if (err == 0) Track(fd, path);
  return err;
}

TWF_NOINLINE int TFaultFileSystem::CopyFileAt(int in, int dir, const std::string& name, const TCopyProgress& progress,
                                 const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice,
                                 const TBeforeVisible& beforeVisible, int* beforeVisibleResult, TPendingCopy* held) {
  if (held) *held = TPendingCopy{};
  TDecision d = Enter(TFsCall::CopyFile, TWF_CALLER, PathOfFd(in), PathAt(dir, name));
  if (d.Errno == 0)
    return Inner_.CopyFileAt(in, dir, name, progress, cancel, largeFile, flushToDevice, beforeVisible,
                             beforeVisibleResult, held);
  if (d.AfterBytes < 0) return d.Errno;
  bool tripped = false;
  TCopyProgress tripwire = [&](int64_t transferred) {
    bool go = !progress || progress(transferred);
    if (transferred >= d.AfterBytes) tripped = true;
    return go && !tripped;
  };
  int err = Inner_.CopyFileAt(in, dir, name, tripwire, cancel, largeFile, flushToDevice, beforeVisible,
                              beforeVisibleResult, held);
  if (tripped && held) Inner_.DropCopyAt(*held, dir);
  return tripped ? d.Errno : err;
}

// A failed naming removes the copy, as the real one does.
TWF_NOINLINE int TFaultFileSystem::NameCopyAt(TPendingCopy& copy, int dir, const std::string& name, bool flushToDevice) {
  if (int err = Enter(TFsCall::NameCopy, TWF_CALLER, PathAt(dir, name)).Errno) {
    Inner_.DropCopyAt(copy, dir);
    return err;
  }
  return Inner_.NameCopyAt(copy, dir, name, flushToDevice);
}

TWF_NOINLINE int TFaultFileSystem::OpenCopyForReading(TPendingCopy& copy, int dir, const std::string& name,
                                                    bool dropCache, int& fd) {
  fd = -1;
  const std::string path = PathAt(dir, name);
  if (int err = Enter(TFsCall::OpenRead, TWF_CALLER, path).Errno) return err;
  int err = Inner_.OpenCopyForReading(copy, dir, name, dropCache, fd);
  if (err == 0) Track(fd, path);
  return err;
}

void TFaultFileSystem::DropCopyAt(TPendingCopy& copy, int dir) { Inner_.DropCopyAt(copy, dir); }

TWF_NOINLINE int TFaultFileSystem::FlushCopy(TPendingCopy& copy) {
  if (int err = Enter(TFsCall::NameCopy, TWF_CALLER, PathOfFd(copy.Fd)).Errno) return err;
  return Inner_.FlushCopy(copy);
}

TWF_NOINLINE int TFaultFileSystem::MoveFileAt(int fromDir, const std::string& fromName, int toDir, const std::string& toName) {
  if (int err = Enter(TFsCall::MoveFile, TWF_CALLER, PathAt(fromDir, fromName), PathAt(toDir, toName)).Errno) return err;
  return Inner_.MoveFileAt(fromDir, fromName, toDir, toName);
}

TWF_NOINLINE int TFaultFileSystem::SetOwnerFd(int fd, int64_t uid, int64_t gid) {
  if (int err = Enter(TFsCall::SetOwner, TWF_CALLER, PathOfFd(fd)).Errno) return err;
  return Inner_.SetOwnerFd(fd, uid, gid);
}

TWF_NOINLINE int TFaultFileSystem::SetModeFd(int fd, uint32_t mode) {
  if (int err = Enter(TFsCall::SetMode, TWF_CALLER, PathOfFd(fd)).Errno) return err;
  return Inner_.SetModeFd(fd, mode);
}

TWF_NOINLINE int TFaultFileSystem::GetAclFd(int fd, std::string& acl) {
  if (int err = Enter(TFsCall::GetAcl, TWF_CALLER, PathOfFd(fd)).Errno) {
    acl.clear();
    return err;
  }
  return Inner_.GetAclFd(fd, acl);
}

TWF_NOINLINE int TFaultFileSystem::SetAclFd(int fd, const std::string& acl) {
  if (int err = Enter(TFsCall::SetAcl, TWF_CALLER, PathOfFd(fd)).Errno) return err;
  return Inner_.SetAclFd(fd, acl);
}

TWF_NOINLINE int TFaultFileSystem::TrashFileAt(int dir, const std::string& name) {
  const std::string path = PathAt(dir, name);
  if (int err = Enter(TFsCall::TrashFiles, TWF_CALLER, path).Errno) return err;
  return Inner_.TrashFileAt(dir, name);
}

} // namespace twf
