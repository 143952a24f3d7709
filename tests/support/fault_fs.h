// A file system that passes every call to another one, except the calls it
// is told to fail. Tests use it to prove that every failure of the layer is
// handled: fail the n-th call of a kind, once or from then on, and check that
// the run either succeeds or fails cleanly with nothing lost.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace twf {

// One per kind of operation, whichever call makes it: DeleteFileAt is a
// DeleteFile, OpenFileAt, OpenReadAt and OpenRead are an OpenRead,
// TrashFileAt a TrashFiles ... The paths passed to faults and hooks for
// descriptor calls are the descriptors' current paths.
enum class TFsCall : uint8_t {
  IsDirectory,
  ListDir,
  Stat,
  DeleteFile,
  RemoveDir,
  CreateDir,
  CreateDirPath,
  CopyFile,
  MoveFile,
  OpenRead,
  Read,
  Close,
  GetAcl,
  SetAcl,
  TrashFiles,
  FreeSpace,
  VolumeIdentity,
  OpenDir,  // OpenDir and OpenDirAt
  SetOwner, // SetOwnerFd and SetOwnerAt
  SetMode,  // SetModeFd
  NameCopy, // NameCopyAt: a held copy flushed and given its name
  ReadLink, // ReadLinkAt
  MakeLink, // MakeLinkAt
  SetTimes, // SetTimesFd
  GetXattr, // GetXattrsFd
  SetXattr, // SetXattrsFd
  Count
};

const char* FsCallName(TFsCall kind);

// Thread-safe: the engine calls it from many workers. An injected failure
// looks like the real one: nothing is changed on disk (a failed copy
// leaves no file behind, a failed Close still closes), bool calls answer
// false, FreeSpace -1, a listing returns no entries.
class TFaultFileSystem : public IFileSystem {
public:
  explicit TFaultFileSystem(IFileSystem& inner) : Inner_(inner) {}

  // The n-th call of kind (1-based, counted from construction or
  // ResetCounts) fails with errnoValue; persistent: that call and every
  // later one.
  void FailNth(TFsCall kind, uint64_t n, int errnoValue, bool persistent = false);
  // Every call of kind whose path (either path for CopyFile and MoveFile;
  // the opened file's path for Read and Close) contains pathPart fails.
  void FailPath(TFsCall kind, const std::string& pathPart, int errnoValue);
  // The n-th copy copies until at least `bytes` were transferred
  // (reporting progress as usual), then fails with errnoValue, cleaning up
  // like a real read or write failure part-way. Progress comes per chunk of
  // the real copy, so more than `bytes` may be reported; a file that ends
  // before `bytes` copies normally.
  void FailCopyAfter(uint64_t n, int64_t bytes, int errnoValue);
  // Forgets every fault; the counters stay.
  void ClearFaults();

  // Where calls come from: the return address in the code that called the
  // file layer (engine, hasher), so every call site of the program is told
  // apart without anyone listing them. Recorded for every call.
  struct TCallSite {
    TFsCall Kind;
    uintptr_t Address;
    uint64_t Ordinal; // the first call from there: its number within its kind
    std::string Path; // and its path
    uint64_t Calls = 0; // from there so far
  };
  // Each distinct (kind, call site) seen since construction, in the order
  // first seen.
  std::vector<TCallSite> Sites() const;
  // The n-th call (1-based) of kind from the call site at address (as
  // Sites() gives it) fails with errnoValue, once. afterBytes >= 0 on a
  // copy: it fails part-way, as FailCopyAfter.
  void FailSite(TFsCall kind, uintptr_t address, int errnoValue, int64_t afterBytes = -1, uint64_t n = 1);
  // The paths of the calls an injected fault failed, in the order failed.
  std::vector<std::string> FailedPaths() const;
  // A call site for people: "module+0xoffset" (addr2line -e module offset
  // names the line), with the function's name where the module exports it.
  static std::string DescribeSite(uintptr_t address);

  // Calls of kind so far, failed ones included.
  uint64_t Calls(TFsCall kind) const;
  void ResetCounts();

  // Runs before every call (outside any lock), e.g. to cancel a run at a
  // chosen point, or to swap a folder for a link just before an operation.
  // Set it before the file system is in use.
  using THook = std::function<void(TFsCall kind, const std::string& path)>;
  void SetHook(THook hook) { Hook_ = std::move(hook); }

  bool IsDirectory(const std::string& path) override;
  int Stat(const std::string& path, TFileInfo& info) override;
  int CreateDirPath(const std::string& path) override;
  int OpenRead(const std::string& path, bool dropCache, int& fd) override;
  int64_t Read(int fd, void* buf, int64_t size) override;
  void Close(int fd) override;
  int64_t FreeSpace(const std::string& path) override;
  bool VolumeIdentity(const std::string& path, std::string& label, std::string& serial) override;

  int OpenDir(const std::string& path, int& fd, TFileInfo& info) override;
  int OpenDirAt(int root, const std::string& rel, int& fd, TFileInfo& info) override;
  int StatAt(int dir, const std::string& name, TFileInfo& info) override;
  int ListDirAt(int dir, std::vector<TDirEntry>& out, bool linksAsLinks = false) override;
  int ReadLinkAt(int dir, const std::string& name, std::string& target, TFileInfo& info) override;
  int MakeLinkAt(int dir, const std::string& name, const std::string& target, const TFileInfo& meta,
                 int* ownerResult) override;
  int SetOwnerAt(int dir, const std::string& name, const TFileInfo& seen, int64_t uid, int64_t gid,
                 const std::string& linkText) override;
  int SetTimesFd(int fd, TFileTime writeTime) override;
  int GetXattrsFd(int fd, std::string& attrs) override;
  int SetXattrsFd(int fd, const std::string& attrs) override;
  int OpenFileAt(int root, const std::string& rel, bool followLink, int& fd, TFileInfo& info) override;
  int OpenFileIn(int dir, const TFileInfo& dirInfo, const std::string& name, bool followLink, int& fd,
                 TFileInfo& info) override;
  int OpenReadAt(int dir, const std::string& name, bool dropCache, int& fd) override;
  int DeleteFileAt(int dir, const std::string& name) override;
  int RemoveDirAt(int dir, const std::string& name) override;
  int CreateDirAt(int dir, const std::string& name, int& fd, TFileInfo& info) override;
  int CopyFileAt(int in, int dir, const std::string& name, const TCopyProgress& progress,
                 const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice,
                 const TBeforeVisible& beforeVisible, int* beforeVisibleResult, TPendingCopy* held) override;
  int NameCopyAt(TPendingCopy& copy, int dir, const std::string& name, bool flushToDevice) override;
  void DropCopyAt(TPendingCopy& copy, int dir) override;
  // An OpenRead, by the path the copy is to have.
  int OpenCopyForReading(TPendingCopy& copy, int dir, const std::string& name, bool dropCache, int& fd) override;
  int FlushCopy(TPendingCopy& copy) override; // a NameCopy
  int MoveFileAt(int fromDir, const std::string& fromName, int toDir, const std::string& toName) override;
  int SetOwnerFd(int fd, int64_t uid, int64_t gid) override;
  int SetModeFd(int fd, uint32_t mode) override;
  int GetAclFd(int fd, std::string& acl) override;
  int SetAclFd(int fd, const std::string& acl) override;
  int TrashFileAt(int dir, const std::string& name) override;
  // Waits as the real one does, but an injected ENOSPC is a full disk, not
  // space on its way back: it never asks for the copy to be tried again.
  bool WaitForFreedSpace() override {
    Inner_.WaitForFreedSpace();
    return false;
  }

private:
  struct TFault {
    TFsCall Kind;
    int Errno;
    uint64_t Nth = 0; // 0: by path (by call site: the n-th call from there)
    bool Persistent = false;
    std::string PathPart;
    int64_t AfterBytes = -1; // copies only
    uintptr_t Site = 0;      // by call site: the first call from there, once
    bool Spent = false;
  };
  struct TDecision {
    int Errno = 0;
    int64_t AfterBytes = -1;
  };

  // Counts the call and decides whether it fails.
  TDecision Enter(TFsCall kind, uintptr_t site, const std::string& path, const std::string& path2 = {});
  std::string PathOfFd(int fd);
  void Track(int fd, const std::string& path);
  // The current path of name in the folder open as dir.
  static std::string PathAt(int dir, const std::string& name);

  IFileSystem& Inner_;
  THook Hook_;
  mutable std::mutex Lock_;
  std::vector<TFault> Faults_;
  std::array<std::atomic<uint64_t>, size_t(TFsCall::Count)> Counts_{};
  std::map<int, std::string> OpenPaths_; // for faults on Read and Close by path
  std::map<std::pair<TFsCall, uintptr_t>, size_t> SiteIndex_;
  std::vector<TCallSite> Sites_;
  std::vector<std::string> FailedPaths_;
};

} // namespace twf
