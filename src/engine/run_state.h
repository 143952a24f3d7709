// What the parts of one run share: the options, the file layer, the
// observer, the counters behind Stats(), cancellation and the held roots.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/events.h"
#include "engine/types.h"

namespace twf {

class IFileSystem;

struct TRunState {
  TRunState(const TMirrorOptions& opt, IFileSystem& fs, IRunObserver& observer)
      : Opt(opt), Fs(fs), Observer(observer) {}

  TMirrorOptions Opt;
  IFileSystem& Fs;
  IRunObserver& Observer;

  std::atomic<int32_t> CancelCount{0};
  std::atomic<bool> CancelFlag{false}; // for the file layer's copy loop
  bool Cancelled() const { return CancelCount.load() != 0; }

  std::atomic<int32_t> ScannedSrc{0}, ScannedDst{0}, FilesCopied{0}, FilesDeleted{0}, DirsCreated{0},
      DirsDeleted{0}, Skipped{0}, Errors{0}, Leftovers{0}, Verified{0}, Archived{0}, TotalOps{0}, DoneOps{0};
  std::atomic<int64_t> BytesCopied{0}, TotalBytes{0};

  // Both roots are held open for the whole run; -1 with the errno of the
  // failed open.
  int SrcRoot = -1, DstRoot = -1;
  int DstRootErr = ENOENT;
  int64_t RunStart = 0; // TFileTime of the run's start
  bool AsRoot = false;  // reads any file: source links are followed only where their owner could

  void Emit(const TRunEvent& e) { Observer.OnEvent(e); }
  // Counts the error, then reports it.
  void Fail(TRunEvent e) {
    Errors.fetch_add(1);
    e.Kind = TEventKind::Error;
    Observer.OnEvent(e);
  }
  void Fail(TRunError kind, std::string_view rel, int err) {
    TRunEvent e;
    e.Error = kind;
    e.Rel = rel;
    e.Errno = err;
    Fail(e);
  }
  void FailAt(TRunError kind, std::string_view path, int err = 0) {
    TRunEvent e;
    e.Error = kind;
    e.Path = path;
    e.Errno = err;
    Fail(e);
  }
  void Item(TEventKind kind, std::string_view rel, bool dry = false, TDeleteHow how = TDeleteHow::Deleted) {
    TRunEvent e;
    e.Kind = kind;
    e.Rel = rel;
    e.Dry = dry;
    e.How = how;
    Observer.OnEvent(e);
  }

  std::string SrcPath(std::string_view rel) const { return JoinPath(Opt.SourceDir, rel); }
  std::string DstPath(std::string_view rel) const { return JoinPath(Opt.DestDir, rel); }
  static std::string JoinPath(const std::string& root, std::string_view rel) {
    std::string p;
    p.reserve(root.size() + 1 + rel.size());
    return p.append(root).append(1, '/').append(rel);
  }
};

} // namespace twf
