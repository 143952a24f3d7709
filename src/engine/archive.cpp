#include "engine/archive.h"

#include "platform/fs.h"

namespace twf {

namespace {
// "a/b/c" into "a/b" and "c"; "c" into "" and "c".
void SplitRel(const std::string& rel, std::string& dir, std::string& name) {
  const size_t slash = rel.rfind('/');
  dir = slash == std::string::npos ? std::string() : rel.substr(0, slash);
  name = slash == std::string::npos ? rel : rel.substr(slash + 1);
}
} // namespace

TArchive::TArchive(TRunState& run, const std::string& stamp) : FRun(run), FStamp(stamp) {
  FRunPath = FRun.Opt.ArchiveDir;
  if (FRunPath.empty() || FRunPath.back() != '/') FRunPath += '/';
  FRunPath += FStamp;
}

TArchive::~TArchive() {
  if (FRunFd >= 0) FRun.Fs.Close(FRunFd);
}

// The run's archive folder is made on first use, exclusively: a name that
// is taken (another run in the same second, or something planted there)
// gets a suffix. Made 0700 and used only through its descriptor, nothing
// below it can be touched by anyone else.
int TArchive::RunDir(int& fd) {
  std::string moved;
  int err;
  {
    std::lock_guard<std::mutex> g(FLock);
    if (!FTried) {
      FTried = true;
      int root = -1;
      TFileInfo info;
      FRun.Fs.CreateDirPath(FRun.Opt.ArchiveDir);
      FRunErr = FRun.Fs.OpenDir(ResolvePathForCompare(FRun.Opt.ArchiveDir), root, info);
      for (int n = 1; root >= 0; ++n) {
        const std::string name = n == 1 ? FStamp : FStamp + "_" + std::to_string(n);
        FRunErr = FRun.Fs.CreateDirAt(root, name, FRunFd, info);
        if (FRunErr != EEXIST || n == 999) {
          if (FRunErr == 0 && n > 1) {
            FRunPath = TRunState::JoinPath(FRunPath.substr(0, FRunPath.size() - FStamp.size() - 1), name);
            moved = FRunPath;
          }
          break;
        }
      }
      if (root >= 0) FRun.Fs.Close(root);
    }
    fd = FRunFd;
    err = FRunErr;
  }
  if (!moved.empty()) {
    TRunEvent e;
    e.Kind = TEventKind::ArchiveMoved;
    e.Path = moved;
    FRun.Emit(e);
  }
  return err;
}

// Creates and opens relDir below the run's archive folder.
int TArchive::OpenFolder(const std::string& relDir, int& fd) {
  fd = -1;
  int run = -1;
  if (int err = RunDir(run)) return err;
  TFileInfo info;
  for (size_t end = 0; end != std::string::npos;) {
    end = relDir.find('/', end + 1);
    const std::string prefix = relDir.substr(0, end);
    const size_t slash = prefix.rfind('/');
    int parent = -1;
    int err = slash == std::string::npos ? 0 : FRun.Fs.OpenDirAt(run, prefix.substr(0, slash), parent, info);
    int made = -1;
    // Two workers may create the same folder at once; an existing one is fine.
    if (err == 0) err = FRun.Fs.CreateDirAt(parent >= 0 ? parent : run, prefix.substr(slash + 1), made, info);
    if (made >= 0) FRun.Fs.Close(made);
    if (parent >= 0) FRun.Fs.Close(parent);
    if (err != 0 && err != EEXIST) return err;
  }
  return FRun.Fs.OpenDirAt(run, relDir, fd, info);
}

namespace {
std::string Target(const std::string& rel, TArchive::TKind kind) {
  return std::string(kind == TArchive::TKind::Deleted ? "deleted/" : "changed/") + rel;
}
} // namespace

bool TArchive::Restore(int dir, const std::string& name, const std::string& rel, TKind kind) {
  std::string parentRel, targetName;
  SplitRel(Target(rel, kind), parentRel, targetName);
  int parent = -1;
  int code = OpenFolder(parentRel, parent);
  if (code == 0) code = FRun.Fs.MoveFileAt(parent, targetName, dir, name);
  if (parent >= 0) FRun.Fs.Close(parent);
  if (code != 0) return false;
  FRun.Archived.fetch_sub(1);
  return true;
}

bool TArchive::Move(int dir, const std::string& name, const std::string& rel, TKind kind) {
  std::string parentRel, targetName;
  SplitRel(Target(rel, kind), parentRel, targetName);
  int parent = -1;
  int code = OpenFolder(parentRel, parent);
  if (code == 0) code = FRun.Fs.MoveFileAt(dir, name, parent, targetName);
  if (parent >= 0) FRun.Fs.Close(parent);
  if (code == 0) {
    FRun.Archived.fetch_add(1);
    return true;
  }
  FRun.Fail(TRunError::ArchiveFailed, rel, code);
  return false;
}

} // namespace twf
