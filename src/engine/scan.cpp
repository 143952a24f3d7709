// Tree scan and exclusion filters.
#include <condition_variable>
#include <deque>
#include <thread>

#include "engine/mirror_engine.h"
#include "engine/scan_result.h"
#include "engine/text.h"
#include "engine/wildcard.h"
#include "platform/fs.h"

namespace twf {

void TMirrorEngine::BuildPatterns() {
  FPatterns.clear();
  if (!FOpt.ExcludeEnabled) return;
  const std::string& all = FOpt.ExcludePatterns;
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    // CR LF, a lone CR and a lone LF each end one line.
    pos = end + ((end + 1 < all.size() && all[end] == '\r' && all[end + 1] == '\n') ? 2 : 1);
    size_t a = 0, b = line.size();
    while (a < b && static_cast<unsigned char>(line[a]) <= 32) ++a;
    while (b > a && static_cast<unsigned char>(line[b - 1]) <= 32) --b;
    if (a == b) continue;
    line = line.substr(a, b - a);
    std::string err;
    if (!ValidateMask(line, &err)) {
      LogError("Invalid exclusion pattern \"%s\" - ignored (%s)", line.c_str(), err.c_str());
      continue;
    }
    FPatterns.push_back(line);
  }
}

namespace {

// The freedesktop.org Trash of a file system: ".Trash" (shared) and
// ".Trash-<uid>" (per user) at its root.
bool IsTrashName(const std::string& name) {
  if (name == ".Trash") return true;
  if (name.size() <= 7 || name.compare(0, 7, ".Trash-") != 0) return false;
  for (size_t i = 7; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// path relative to root, when it lies strictly inside it and every part is
// a plain name; empty otherwise.
std::string RelativeInside(const std::string& root, const std::string& path) {
  if (root.empty() || path.empty() || !IsPathInside(root, path)) return {};
  const size_t skip = root.back() == '/' ? root.size() : root.size() + 1;
  if (path.size() <= skip) return {};
  std::string rel = path.substr(skip);
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  for (size_t a = 0; a <= rel.size();) {
    size_t b = rel.find('/', a);
    if (b == std::string::npos) b = rel.size();
    const std::string_view part(rel.data() + a, b - a);
    if (part.empty() || part == "." || part == "..") return {};
    a = b + 1;
  }
  return rel;
}

} // namespace

// A backup disk's Trash fills with what a run deleted, and a log folder
// inside the destination with the run's own log: mirrored like the rest,
// the next run would delete both for good (or trash them again).
void TMirrorEngine::FindKeptOut() {
  FDestIsFsRoot = IsFileSystemRoot(FOpt.DestDir);
  FKeptOutRels.clear();
  const std::string dest = ResolvePathForCompare(FOpt.DestDir);
  for (const std::string& dir : FOpt.KeepOutDirs) {
    std::string rel = RelativeInside(dest, ResolvePathForCompare(dir));
    if (rel.empty()) rel = RelativeInside(FOpt.DestDir, dir);
    if (!rel.empty()) FKeptOutRels.push_back(std::move(rel));
  }
}

bool TMirrorEngine::IsKeptOut(const std::string& rel, bool atTop, const std::string& name) const {
  if (atTop && FDestIsFsRoot && IsTrashName(name)) return true;
  for (const std::string& k : FKeptOutRels)
    if (k == rel) return true;
  return false;
}

// Folders are opened below the root's descriptor without following links,
// so a folder swapped for a link while the scan runs is never listed
// through; each destination folder's identity is kept for the apply step.
void TMirrorEngine::ScanTree(const std::string& root, int rootFd, int rootErr, TFileMap& files, TDirMap& dirs,
                             int32_t workers, std::atomic<int32_t>& counter, TScanResult& result, bool isSource) {
  if (rootFd < 0) {
    // Only a destination that is not there yet is empty; one that is there
    // but cannot be opened may hold anything.
    if (rootErr == ENOENT) return;
    LogError("Cannot list \"%s\": %s", root.c_str(), SystemMessage(rootErr).c_str());
    result.RootFailed = true;
    return;
  }

  std::mutex qLock; // guards queue, files and dirs
  std::condition_variable qWake;
  std::deque<std::string> queue{std::string()};
  int32_t pending = 1; // folders queued or being listed; guarded by qLock

  auto worker = [&] {
    std::vector<TWildcardMask> masks;
    masks.reserve(FPatterns.size());
    for (const std::string& p : FPatterns) {
      masks.emplace_back();
      masks.back().Compile(p, nullptr);
    }
    std::vector<TDirEntry> entries;
    struct TNewFile {
      std::string Rel;
      int64_t Size, WriteTime;
    };
    std::vector<TNewFile> newFiles;
    std::vector<std::string> newDirs;
    std::string full;
    for (;;) {
      std::string rel;
      {
        std::unique_lock<std::mutex> g(qLock);
        // Wait for a folder, the end of the tree, or a cancellation (checked
        // at short intervals: Cancel does not know this condition variable).
        while (queue.empty() && pending > 0 && FCancel.load() == 0)
          qWake.wait_for(g, std::chrono::milliseconds(20));
        if (pending == 0 || FCancel.load() != 0) {
          qWake.notify_all();
          return;
        }
        rel = std::move(queue.front());
        queue.pop_front();
      }
      const std::string dir = rel.empty() ? root : root + "/" + rel;
      entries.clear();
      newFiles.clear();
      newDirs.clear();
      int err = 0;
      TFileInfo dirInfo;
      try {
        int dfd = -1;
        err = FFs.OpenDirAt(rootFd, rel, dfd, dirInfo);
        if (err == 0) {
          err = FFs.ListDirAt(dfd, entries);
          FFs.Close(dfd);
        }
      } catch (...) {
        err = EIO;
      }
      if (err != 0) {
        try { LogError("Cannot list \"%s\": %s", dir.c_str(), SystemMessage(err).c_str()); } catch (...) {}
        std::lock_guard<std::mutex> g(result.Lock);
        if (rel.empty()) result.RootFailed = true;
        else result.Unlisted.push_back(rel);
        entries.clear();
      }
      for (TDirEntry& e : entries) {
        if (e.Name == "." || e.Name == "..") continue;
        std::string relName = rel.empty() ? e.Name : rel + "/" + e.Name;
        auto fullPath = [&]() -> const std::string& {
          full.assign(dir).append("/").append(e.Name);
          return full;
        };
        if ((FDestIsFsRoot || !FKeptOutRels.empty()) && IsKeptOut(relName, rel.empty(), e.Name)) {
          if (isSource && rel.empty() && FDestIsFsRoot && IsTrashName(e.Name)) {
            try { Log("SKIP         Trash or log folder of the destination: " + fullPath()); } catch (...) {}
          } else if (isSource) {
            // The user's own items that cannot be mirrored: a gap, not a success.
            try {
              LogError("Cannot mirror \"%s\": the log folder lies there in the destination", fullPath().c_str());
            } catch (...) {}
          } else {
            std::lock_guard<std::mutex> g(result.Lock);
            result.KeptOut.push_back(std::move(relName));
          }
          continue;
        }
        switch (e.Kind) {
          case TEntryKind::DirLink:
          case TEntryKind::MountPoint:
            try { Log("SKIP         junction/symlink: " + fullPath()); } catch (...) {}
            if (!isSource) {
              std::lock_guard<std::mutex> g(result.Lock);
              result.LinkDirs.push_back(relName);
            }
            continue;
          case TEntryKind::Dir:
            if (FOpt.ExcludeHiddenDirs && e.Hidden) continue;
            if (!masks.empty() && (MatchesAny(masks, fullPath()) || MatchesAny(masks, full + "/"))) continue;
            newDirs.push_back(std::move(relName));
            continue;
          default:
            break;
        }
        // Files, and the things that look like files but are not copied.
        if (!isSource && e.Kind == TEntryKind::File && !e.Link && IsCopyTempName(e.Name)) {
          // A copy under way, or left by an interrupted run; the run decides
          // once it knows whether the source has a file of that name.
          std::lock_guard<std::mutex> g(result.Lock);
          result.TempFiles.push_back({relName, e.Size, e.WriteTime});
          continue;
        }
        if (FOpt.ExcludeHiddenSysFiles && e.Hidden) continue;
        if (e.Kind == TEntryKind::File) {
          if (FOpt.ExcludeEmpty && e.Size == 0) continue;
          if (FMaxBytes > 0 && e.Size > FMaxBytes) continue;
        }
        if (!masks.empty() && MatchesAny(masks, fullPath())) continue;
        if (!isSource && (e.Kind == TEntryKind::Special || e.Kind == TEntryKind::Dangling)) {
          // Nothing the mirror would make: it goes like an extra file (and
          // leaves its folder removable), or is replaced by the source's file.
          newFiles.push_back(TNewFile{std::move(relName), kNotAFile, 0});
          continue;
        }
        if (e.Kind == TEntryKind::Special || e.Kind == TEntryKind::Dangling) {
          try {
            Log((e.Kind == TEntryKind::Special ? "SKIP         special file: " : "SKIP         dangling link: ") +
                fullPath());
          } catch (...) {}
          // Its destination counterpart, if one of its kind, is not extra.
          std::lock_guard<std::mutex> g(result.Lock);
          result.Oddities.push_back(std::move(relName));
          continue;
        }
        if (isSource && e.Link) {
          std::lock_guard<std::mutex> g(result.Lock);
          result.FileLinks.push_back(relName);
        }
        newFiles.push_back(TNewFile{std::move(relName), e.Size, e.WriteTime});
      }
      bool wake;
      {
        std::lock_guard<std::mutex> g(qLock);
        if (err == 0 && !rel.empty()) dirs.Set(TFolderEntry{rel, dirInfo.Dev, dirInfo.Ino});
        for (std::string& d : newDirs) {
          dirs.Set(TFolderEntry{d});
          queue.push_back(std::move(d));
        }
        for (const TNewFile& f : newFiles) files.Set(TFileEntry{f.Rel, f.Size, f.WriteTime});
        // Sub-folders count as pending before this folder stops counting.
        pending += int32_t(newDirs.size()) - 1;
        wake = !newDirs.empty() || pending == 0;
      }
      counter.fetch_add(int32_t(newFiles.size()));
      if (wake) qWake.notify_all();
    }
  };

  const int32_t n = std::max<int32_t>(1, workers);
  std::vector<std::thread> threads;
  for (int32_t i = 1; i < n; ++i) threads.emplace_back(worker);
  worker();
  for (auto& t : threads) t.join();
}

} // namespace twf
