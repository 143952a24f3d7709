// Applying the plan: content comparison, copies and their verification.
#include <algorithm>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "engine/applier.h"
#include "engine/xxh3.h"
#include "platform/fs.h"

namespace twf {

namespace {
constexpr int64_t kLargeFile = 268435456; // 256 MiB: kept out of the page cache
// A worker takes at most this much of one folder at a time, so a big
// folder still spreads over the workers.
constexpr size_t kChunkFiles = 64;
constexpr int64_t kChunkBytes = 64 * 1048576;
// What a worker holds written but unnamed: the space it takes on the
// destination beside the old versions is not in the free-space check.
constexpr int64_t kHeldBytes = 8 * 1048576;

// Fills buf as far as the file goes; -errno on a read error.
int64_t ReadFull(IFileSystem& fs, int fd, char* buf, int64_t size) {
  int64_t got = 0;
  while (got < size) {
    const int64_t n = fs.Read(fd, buf + got, size - got);
    if (n < 0) return n;
    if (n == 0) break;
    got += n;
  }
  return got;
}
} // namespace

std::vector<TApplier::TChunk> TApplier::Chunks(const std::deque<TPlanFile>& files, bool bySize) {
  std::vector<TChunk> chunks;
  int64_t bytes = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const bool full = !chunks.empty() && (chunks.back().Count >= kChunkFiles || (bySize && bytes >= kChunkBytes));
    if (chunks.empty() || full || files[i].Folder != files[chunks.back().First].Folder) {
      chunks.push_back({i, 0});
      bytes = 0;
    }
    ++chunks.back().Count;
    bytes += files[i].Size;
  }
  return chunks;
}

// A link is its owner's word about which file to copy. As root that word
// could name any file on the machine, and the copy would then sit in the
// link owner's backup: followed only when root made the link or its owner
// owns the file (who could read it anyway). The check is made on the file
// actually opened, so swapping the link afterwards changes nothing.
int TApplier::OpenSourceFile(int srcDir, const TPlanFile& f, const std::string& rel, int& fd, TFileInfo& info,
                             const TFileInfo* srcDirInfo) {
  fd = -1;
  const bool follow = (f.Flags & afSrcLink) != 0;
  const std::string name(f.Name());
  const int err = srcDirInfo ? FRun.Fs.OpenFileIn(srcDir, *srcDirInfo, name, follow, fd, info)
                             : FRun.Fs.OpenFileAt(srcDir, name, follow, fd, info);
  if (err != 0 || !FRun.AsRoot || !info.ViaLink || info.LinkUid == 0 || info.LinkUid == info.Uid) return err;
  CloseFd(fd);
  fd = -1;
  TRunEvent e;
  e.Error = TRunError::LinkNotFollowed;
  const std::string path = FRun.SrcPath(rel);
  e.Path = path;
  e.Count = info.LinkUid;
  FRun.Fail(e);
  return kLinkRefused;
}

void TApplier::CheckContents() {
  std::mutex lock; // guards FPlan.Copies while the workers add to it
  ForEachChunk(FPlan.Checks, true, [&](const TChunk& c) {
    std::vector<TPlanFile> differ;
    CheckChunk(c, differ);
    std::lock_guard<std::mutex> g(lock);
    FPlan.Copies.insert(FPlan.Copies.end(), differ.begin(), differ.end());
  });
  FPlan.Checks.clear();
}

// Both sides are opened as the copy would open them: the source through
// the link rule, the destination through its checked folder, never by a
// path a user could have redirected since the scan.
void TApplier::CheckChunk(const TChunk& c, std::vector<TPlanFile>& differ) {
  const TPlanFolder& folder = FPlan.Folders[FPlan.Checks[c.First].Folder];
  TFdCloser src{FRun.Fs}, dst{FRun.Fs};
  TFileInfo info;
  const int srcErr = FRun.Fs.OpenDirAt(FRun.SrcRoot, folder.Rel, src.Fd, info);
  // A folder whose change could not be reported is still one that changed.
  int dstErr = kFolderChanged;
  Guarded([&] { dstErr = OpenDest(folder, dst.Fd); });
  for (size_t i = c.First; i < c.First + c.Count && !FRun.Cancelled(); ++i)
    Guarded([&] { CheckOne(FPlan.Checks[i], src.Fd, srcErr, dst.Fd, dstErr, differ); });
}

// A pair that differs, or cannot be compared, joins differ before it is
// reported: the copy does not hang on the report.
void TApplier::CheckOne(const TPlanFile& f, int src, int srcErr, int dst, int dstErr,
                        std::vector<TPlanFile>& differ) {
  const std::string rel = FPlan.RelOf(f);
  TCompare r{kFailed, srcErr, kSideSource};
  std::string what;
  if (srcErr == 0) {
    try {
      r = SameContent(f, rel, src, dst, dstErr);
    } catch (const std::exception& e) {
      r = TCompare{kFailed, 0, kSideNone};
      what = e.what();
    }
  }
  if (r.Result == kFailed) {
    differ.push_back(f);
    TRunEvent e;
    e.Error = TRunError::CompareFailed;
    e.Rel = rel;
    e.Errno = r.Errno;
    e.Text = what;
    const std::string path = r.Side == kSideSource ? FRun.SrcPath(rel)
                             : r.Side == kSideDest ? FRun.DstPath(rel)
                                                   : std::string();
    e.Path = path;
    FRun.Fail(e);
    return;
  }
  if (r.Result == kSettled) return;
  if (r.Result == kSame) {
    FRun.Skipped.fetch_add(1);
    return;
  }
  if (FRun.Cancelled()) return;
  differ.push_back(f);
  FRun.Item(TEventKind::ContentDiffers, rel);
}

TApplier::TCompare TApplier::SameContent(const TPlanFile& f, const std::string& rel, int srcDir, int dstDir,
                                         int dstErr) {
  constexpr int64_t kBuf = 8 * 1024 * 1024;
  TFdCloser fa{FRun.Fs}, fb{FRun.Fs};
  TFileInfo info;
  int err = OpenSourceFile(srcDir, f, rel, fa.Fd, info);
  if (err == kLinkRefused) return {kSettled}; // reported; nothing is copied for it
  if (err != 0) return {kFailed, err, kSideSource};
  if (dstErr == kFolderChanged) return {kSettled}; // reported; nothing below it is touched
  err = dstErr != 0 ? dstErr : FRun.Fs.OpenReadAt(dstDir, std::string(f.Name()), false, fb.Fd);
  if (err != 0) return {kFailed, err, kSideDest};
  // Small files need no 8 MiB buffers; the size is only a hint, so the
  // buffers still loop until both ends are reached.
  int64_t bufSize = kBuf;
  if (info.Size + 1 < kBuf) bufSize = info.Size + 1;
  std::unique_ptr<char[]> b1(new char[size_t(bufSize)]), b2(new char[size_t(bufSize)]);
  for (;;) {
    const int64_t n1 = ReadFull(FRun.Fs, fa.Fd, b1.get(), bufSize);
    if (n1 < 0) return {kFailed, int(-n1), kSideNone};
    const int64_t n2 = ReadFull(FRun.Fs, fb.Fd, b2.get(), bufSize);
    if (n2 < 0) return {kFailed, int(-n2), kSideNone};
    if (n1 != n2 || (n1 > 0 && std::memcmp(b1.get(), b2.get(), size_t(n1)) != 0)) return {kDiffer};
    if (n1 == 0) return {kSame};
    if (FRun.Cancelled()) return {kSame};
  }
}

// Every worker holds its batch open, so the batches of all of them stay
// well inside the process's descriptor limit.
static size_t HeldCopiesPerWorker(int workers) {
  const int64_t limit = OpenFileLimit();
  const int64_t perWorker = limit <= 0 ? 8 : limit / 2 / std::max(workers, 1) - 4;
  return size_t(std::clamp<int64_t>(perWorker, 1, int64_t(kChunkFiles)));
}

void TApplier::CopyFiles() {
  // Holding copies back pays only where each would wait for the device.
  FHeldPerWorker = FRun.Opt.VerifyHash != vhNone ? HeldCopiesPerWorker(FRun.Opt.Workers) : 1;
  const std::vector<TChunk> chunks = Chunks(FPlan.Copies, true);
  FCopyChunks.assign(FPlan.Folders.size(), 0);
  for (const TChunk& c : chunks) {
    uint8_t& n = FCopyChunks[FPlan.Copies[c.First].Folder];
    n = uint8_t(std::min(n + 1, 2));
  }
  ForEachChunk(chunks, [&](const TChunk& c) { CopyChunk(c); });
}

TApplier::TCopyBatch::~TCopyBatch() {
  for (THeldCopy& h : Held)
    if (h.Copy.Fd >= 0) Fs.DropCopyAt(h.Copy, Dir);
}

void TApplier::CopyChunk(const TChunk& c) {
  const TPlanFolder& folder = FPlan.Folders[FPlan.Copies[c.First].Folder];
  TFdCloser dir{FRun.Fs}, src{FRun.Fs};
  TFileInfo srcInfo;
  int code = 0;
  if (FRun.Opt.DryRun) {
    // A dry run names the text of each link it would make.
    bool links = false;
    for (size_t i = c.First; i < c.First + c.Count; ++i) links = links || (FPlan.Copies[i].Flags & afMakeLink);
    TFileInfo info;
    if (links) FRun.Fs.OpenDirAt(FRun.SrcRoot, folder.Rel, src.Fd, info);
  } else {
    // A folder whose change could not be reported is still one that changed.
    code = kFolderChanged;
    Guarded([&] { code = OpenDest(folder, dir.Fd); });
    // The source folder is opened below its root without following links
    // on the way; each file itself only where the scan found a link there.
    if (code == 0) code = FRun.Fs.OpenDirAt(FRun.SrcRoot, folder.Rel, src.Fd, srcInfo);
  }
  TCopyBatch batch{FRun.Fs, dir.Fd, srcInfo, {}};
  batch.Held.reserve(FHeldPerWorker); // so adding to it never throws
  for (size_t i = c.First; i < c.First + c.Count && !FRun.Cancelled(); ++i) {
    if (code != kFolderChanged) Guarded([&] { WriteOne(i, src.Fd, code, batch); });
    FRun.DoneOps.fetch_add(1); // progress follows the writing; naming is quick
    if (batch.Held.size() >= FHeldPerWorker || batch.Bytes >= kHeldBytes) NameBatch(batch, src.Fd);
  }
  NameBatch(batch, src.Fd);
  // The one step that writes into the folder: its time is set while the
  // folder is open (the folder times step leaves it).
  if (code == 0 && FCopyChunks[FPlan.Copies[c.First].Folder] == 1) SetFolderTime(folder, dir.Fd);
}

void TApplier::SetFolderTime(const TPlanFolder& folder, int dir) {
  TDirNode* node = folder.Node.get();
  if (!node || !node->SrcListed || dir < 0 || FRun.Cancelled()) return;
  TimeSetReport(folder.Rel, FRun.Fs.SetTimesFd(dir, node->SrcTime));
  node->TimeSet = true;
}

// code: what opening the two folders gave (0, or the errno every file of
// the chunk fails with). A written copy joins batch.
void TApplier::WriteOne(size_t index, int srcDir, int code, TCopyBatch& batch) {
  const TPlanFile& f = FPlan.Copies[index];
  if (f.Flags & afMakeLink) return MakeLinkOne(f, srcDir, code, batch.Dir);
  const std::string rel = FPlan.RelOf(f), name(f.Name());
  if (FRun.Opt.DryRun) {
    TRunEvent e;
    e.Kind = TEventKind::Copied;
    e.Rel = rel;
    e.Size = f.Size;
    e.Dry = true;
    FRun.Emit(e);
    FRun.FilesCopied.fetch_add(1);
    FRun.BytesCopied.fetch_add(f.Size);
    return;
  }
  int in = -1;
  TFileInfo srcInfo;
  if (code == 0) code = OpenSourceFile(srcDir, f, rel, in, srcInfo, &batch.SrcDirInfo);
  TFdCloser closeIn{FRun.Fs, in};
  if (code == kLinkRefused) return;

  // The ACL and the extended attributes go onto the copy before it gets
  // its name.
  std::string acl, xattrs;
  int aclRead = 0, aclSet = 0, xattrRead = 0, xattrSet = 0;
  TBeforeVisible beforeVisible;
  if (code == 0 && FRun.Opt.PreserveAcl) {
    aclRead = FRun.Fs.GetAclFd(in, acl);
    // The attributes are read once the contents are copied: a write to the
    // source takes its file capability away before it changes a byte, so
    // a capability read afterwards is one the copied contents still had.
    beforeVisible = [&](int fd) {
      xattrRead = FRun.Fs.GetXattrsFd(in, xattrs);
      if (xattrRead == ENOTSUP || xattrRead == EOPNOTSUPP) xattrRead = 0; // the source has none
      if (xattrRead == 0 && !xattrs.empty()) xattrSet = FRun.Fs.SetXattrsFd(fd, xattrs);
      return aclRead == 0 ? FRun.Fs.SetAclFd(fd, acl) : 0;
    };
  }

  int64_t last = 0; // bytes of this file already added to BytesCopied
  TCopyProgress progress = [&](int64_t transferred) {
    const int64_t delta = transferred - last;
    if (delta > 0) {
      last = transferred;
      FRun.BytesCopied.fetch_add(delta);
    }
    return !FRun.Cancelled();
  };
  const bool verify = FRun.Opt.VerifyHash != vhNone;
  // Whatever ends this step before the copy joins the batch (a failure, an
  // exception) removes it and takes its bytes back.
  THeldCopy held;
  held.Index = index;
  struct TUndo {
    TApplier& A;
    int Dir;
    THeldCopy& H;
    int64_t& Last;
    bool Kept = false;
    ~TUndo() {
      if (Kept) return;
      if (H.Copy.Fd >= 0) A.FRun.Fs.DropCopyAt(H.Copy, Dir);
      if (Last > 0) A.FRun.BytesCopied.fetch_sub(Last);
    }
  } undo{*this, batch.Dir, held, last};
  bool spaceAwaited = false;
  for (int attempt = 1; code == 0; ++attempt) {
    code = FRun.Fs.CopyFileAt(in, batch.Dir, name, progress, &FRun.CancelFlag, f.Size >= kLargeFile, verify,
                              beforeVisible, &aclSet, &held.Copy);
    // The space of files deleted or replaced a moment ago may still be on
    // its way back: where the wait found some and the copy would now fit,
    // it is tried again at once (not one of the retries the user asked
    // for, so not reported as one).
    bool spaceBack = false;
    if (code == ENOSPC && !spaceAwaited) {
      spaceAwaited = true;
      spaceBack = FRun.Fs.WaitForFreedSpace() && SpaceComesBack(f.Size);
      if (spaceBack) --attempt;
    }
    if (!spaceBack && !WillRetry(code, attempt, rel)) break;
    if (last > 0) {
      FRun.BytesCopied.fetch_sub(last);
      last = 0;
    }
    if (!spaceBack) RetryWait();
    code = 0;
  }
  if (code != 0) {
    if (code != kCopyAborted) FRun.Fail(TRunError::CopyFailed, rel, code);
    return;
  }
  held.Counted = last;
  held.AclRead = aclRead;
  held.AclSet = aclSet;
  held.XattrRead = xattrRead;
  held.XattrSet = xattrSet;
  batch.Held.push_back(std::move(held)); // capacity reserved: does not throw
  batch.Bytes += f.Size;
  undo.Kept = true;
}

// The last close of a released file returns before its blocks are free
// again: their space is looked for a little longer.
bool TApplier::SpaceComesBack(int64_t size) {
  for (int look = 0; look < 20; ++look) {
    const int64_t free = FRun.Fs.FreeSpace(FRun.Opt.DestDir);
    if (free < 0) return false;
    if (free >= size) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void TApplier::NameBatch(TCopyBatch& batch, int srcDir) {
  for (THeldCopy& h : batch.Held) {
    Guarded([&] { NameOne(h, batch.Dir, srcDir); });
    if (h.Copy.Fd >= 0) Unwrite(h, batch.Dir); // an exception left it unnamed
  }
  batch.Held.clear();
  batch.Bytes = 0;
}

void TApplier::Unwrite(THeldCopy& h, int dir) {
  FRun.Fs.DropCopyAt(h.Copy, dir);
  FRun.BytesCopied.fetch_sub(h.Counted);
  h.Counted = 0;
}

// A copy written in full is named even when the run was cancelled since
// (it is as good as one named before); only its verification is left out.
// With verification on, the copy is on the device and read back from it
// before anything else happens: one that differs from its source, or
// cannot be read back, is removed unnamed, so its name keeps the old
// version, and nothing goes to the archive.
void TApplier::NameOne(THeldCopy& h, int dir, int srcDir) {
  const TPlanFile& f = FPlan.Copies[h.Index];
  const std::string rel = FPlan.RelOf(f), name(f.Name());
  const bool verify = FRun.Opt.VerifyHash != vhNone;
  int code = verify ? FRun.Fs.FlushCopy(h.Copy) : 0;
  TReadBack check;
  if (code == 0 && verify && !FRun.Cancelled()) {
    check = ReadBack(f, rel, srcDir, dir, h);
    if (check.Outcome == TReadBack::kDiffer) {
      Unwrite(h, dir);
      TRunEvent e;
      e.Error = TRunError::VerifyMismatch;
      e.Rel = rel;
      e.Text = check.SrcHash;
      e.Text2 = check.DstHash;
      FRun.Fail(e);
      return;
    }
    // A copy that cannot be read back is not known to be whole: it does
    // not take the place of what the name holds. (One whose source cannot
    // be read again is named, unverified.)
    if (check.Outcome == TReadBack::kUnreadable && check.CopyUnreadable) {
      Unwrite(h, dir);
      ReportReadBack(check, rel);
      return;
    }
  }
  const bool archived = code == 0 && FArchive && (f.Flags & afDstExists);
  if (archived && !FArchive->Move(dir, name, rel, TArchive::TKind::Changed)) return Unwrite(h, dir);
  h.Copy.Replaces = (f.Flags & afDstExists) && !archived;
  if (code == 0) code = FRun.Fs.NameCopyAt(h.Copy, dir, name, false);
  if (code != 0) {
    Unwrite(h, dir);
    // The name keeps its old version: back from the archive, where it
    // stays (and is reported as archived) only when it cannot come back.
    if (archived && !FArchive->Restore(dir, name, rel, TArchive::TKind::Changed))
      FRun.Item(TEventKind::OldVersionArchived, rel);
    FRun.Fail(TRunError::CopyFailed, rel, code);
    return;
  }
  if (archived) FRun.Item(TEventKind::OldVersionArchived, rel);
  FRun.FilesCopied.fetch_add(1);
  if (f.Size > h.Counted) FRun.BytesCopied.fetch_add(f.Size - h.Counted);
  TRunEvent e;
  e.Kind = TEventKind::Copied;
  e.Rel = rel;
  e.Size = f.Size;
  FRun.Emit(e);
  if (h.AclRead != 0) FRun.FailAt(TRunError::ReadAclFailed, FRun.SrcPath(rel), h.AclRead);
  else if (h.AclSet != 0) FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(rel), h.AclSet);
  if (h.XattrRead != 0) FRun.FailAt(TRunError::ReadAclFailed, FRun.SrcPath(rel), h.XattrRead);
  else if (h.XattrSet != 0) XattrsRefused(h.XattrSet, FRun.DstPath(rel));
  ReportReadBack(check, rel);
}

void TApplier::XattrsRefused(int code, const std::string& path) {
  if (code != ENOTSUP && code != EOPNOTSUPP) return FRun.FailAt(TRunError::SetAclFailed, path, code);
  if (FXattrsReported.exchange(true)) return;
  FRun.FailAt(TRunError::XattrUnsupported, path, code);
}

// A link is made again from its text as it stands now, never followed on
// either side, and takes the place of what the name held in one step.
void TApplier::MakeLinkOne(const TPlanFile& f, int srcDir, int code, int dstDir) {
  const std::string rel = FPlan.RelOf(f), name(f.Name());
  std::string target;
  TFileInfo info;
  if (code == 0) code = srcDir < 0 ? EBADF : FRun.Fs.ReadLinkAt(srcDir, name, target, info);
  TRunEvent e;
  e.Kind = TEventKind::LinkMade;
  e.Rel = rel;
  if (FRun.Opt.DryRun) {
    if (code == 0) e.Text = target;
    e.Dry = true;
    FRun.Emit(e);
    FRun.FilesCopied.fetch_add(1);
    return;
  }
  if (code != 0) return FRun.Fail(TRunError::CopyFailed, rel, code);
  const bool archived = FArchive && (f.Flags & afDstExists);
  if (archived && !FArchive->Move(dstDir, name, rel, TArchive::TKind::Changed)) return;
  int owner = 0;
  code = FRun.Fs.MakeLinkAt(dstDir, name, target, info, &owner);
  if (code != 0) {
    if (archived && !FArchive->Restore(dstDir, name, rel, TArchive::TKind::Changed))
      FRun.Item(TEventKind::OldVersionArchived, rel);
    // Never followed instead: the link is missing from the mirror, and said so.
    const bool unsupported = code == EPERM || code == ENOTSUP || code == EOPNOTSUPP;
    FRun.Fail(unsupported ? TRunError::LinkUnsupported : TRunError::CopyFailed, rel, code);
    return;
  }
  if (archived) FRun.Item(TEventKind::OldVersionArchived, rel);
  FRun.FilesCopied.fetch_add(1);
  e.Text = target;
  FRun.Emit(e);
}

void TApplier::FixOwners() {
  ForEachChunk(FPlan.OwnerFixes, false, [&](const TChunk& c) { OwnerChunk(c); });
}

// Only an item still as the scan saw it is changed, and never what a
// link points to. Where this user may not set an owner, the run's header
// has said so: no line per item.
void TApplier::OwnerChunk(const TChunk& c) {
  const TPlanFolder& folder = FPlan.Folders[FPlan.OwnerFixes[c.First].Folder];
  TFdCloser dir{FRun.Fs}, src{FRun.Fs};
  int code = kFolderChanged;
  Guarded([&] { code = OpenDest(folder, dir.Fd); });
  if (code != 0) return;
  for (size_t i = c.First; i < c.First + c.Count && !FRun.Cancelled(); ++i) {
    const TPlanFile& f = FPlan.OwnerFixes[i];
    Guarded([&] {
      // A link gets the owner only while it holds the source link's text:
      // what the mirror would have made there anyway.
      std::string text;
      if (f.Flags & afMakeLink) {
        TFileInfo info;
        if (src.Fd < 0 && FRun.Fs.OpenDirAt(FRun.SrcRoot, folder.Rel, src.Fd, info) != 0) return;
        if (FRun.Fs.ReadLinkAt(src.Fd, std::string(f.Name()), text, info) != 0) return;
      }
      TFileInfo seen;
      seen.Mode = (f.Flags & afMakeLink) ? S_IFLNK : S_IFREG;
      seen.Uid = OwnerUid(f.DstSize);
      seen.Gid = OwnerGid(f.DstSize);
      const int64_t uid = FRun.AsRoot ? int64_t(OwnerUid(f.Size)) : -1;
      const int err = FRun.Fs.SetOwnerAt(dir.Fd, std::string(f.Name()), seen, uid, OwnerGid(f.Size), text);
      if (err != 0 && err != EPERM && err != ESTALE && err != ENOENT && err != ENOTSUP && err != EOPNOTSUPP)
        FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(FPlan.RelOf(f)), err);
    });
  }
}

TApplier::TReadBack TApplier::ReadBack(const TPlanFile& f, const std::string& rel, int srcDir, int dstDir,
                                       THeldCopy& h) {
  TReadBack r;
  auto unreadable = [&](int err, std::string path) {
    r.Outcome = TReadBack::kUnreadable;
    r.Errno = err;
    r.Path = std::move(path);
    return r;
  };
  TFdCloser fd{FRun.Fs};
  try {
    TFileInfo info;
    int err = OpenSourceFile(srcDir, f, rel, fd.Fd, info);
    if (err == kLinkRefused) return r; // reported; the copy stays unverified
    if (err != 0) return unreadable(err, FRun.SrcPath(rel));
    r.SrcHash = HashOpened(FRun.Fs, fd.Fd, FRun.Opt.VerifyHash, FRun.CancelFlag);
    FRun.Fs.Close(fd.Fd);
    fd.Fd = -1;
    r.CopyUnreadable = true; // from here on
    // The copy is on the device; its cached pages are dropped before
    // reading, so a device that lost the write is caught.
    err = FRun.Fs.OpenCopyForReading(h.Copy, dstDir, std::string(f.Name()), true, fd.Fd);
    if (err != 0) return unreadable(err, FRun.DstPath(rel));
    r.DstHash = HashOpened(FRun.Fs, fd.Fd, FRun.Opt.VerifyHash, FRun.CancelFlag);
  } catch (const std::system_error& e) {
    return unreadable(e.code().value(), {}); // a read that failed part-way
  } catch (const std::exception& e) {
    r.Outcome = TReadBack::kUnreadable;
    r.What = e.what();
    return r;
  }
  if (r.SrcHash.empty() || r.DstHash.empty() || FRun.Cancelled()) return r;
  r.Outcome = r.SrcHash == r.DstHash ? TReadBack::kSame : TReadBack::kDiffer;
  return r;
}

// After the copy's own line: its verification, or why there was none.
void TApplier::ReportReadBack(const TReadBack& r, const std::string& rel) {
  if (r.Outcome == TReadBack::kSame) {
    FRun.Verified.fetch_add(1);
    TRunEvent e;
    e.Kind = TEventKind::Verified;
    e.Rel = rel;
    e.Text = r.DstHash;
    FRun.Emit(e);
  } else if (r.Outcome == TReadBack::kUnreadable) {
    TRunEvent e;
    e.Error = TRunError::VerifyReadFailed;
    e.Rel = rel;
    e.Errno = r.Errno;
    e.Path = r.Path;
    e.Text = r.What;
    FRun.Fail(e);
  }
}

} // namespace twf
