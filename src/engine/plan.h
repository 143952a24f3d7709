// The plan of a run: every folder's actions gathered by the scan, the
// running totals the safety checks need, and nothing of the folders that
// need nothing done.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/arena.h"
#include "engine/planner.h"

namespace twf {

// A destination folder as the scan saw it. Kept only while its folder is
// being scanned or has planned actions (a child keeps its parents), so the
// apply step can tell whether a folder on the way is still the one seen.
struct TDirNode {
  TDirNode() = default;
  TDirNode(const TDirNode&) = delete;
  TDirNode& operator=(const TDirNode&) = delete;
  // A chain as deep as the tree is released in a loop, not by recursion.
  ~TDirNode() {
    std::shared_ptr<TDirNode> p = std::move(Parent);
    while (p && p.use_count() == 1) p = std::move(p->Parent);
  }

  std::shared_ptr<TDirNode> Parent; // null for the root
  uint64_t Dev = 0, Ino = 0;        // identity when the scan listed it (Ino 0: not listed)
  // Made by this run (written by the folder step before the copies start).
  bool Made = false;
  uint64_t MadeDev = 0, MadeIno = 0;
  // The source folder's modification time when the scan listed it, which
  // the destination folder gets once its contents are final.
  bool SrcListed = false;
  // Given its time by the copy step, as soon as the folder's copies (all in
  // one step) were named: nothing after them changes what it holds.
  bool TimeSet = false;
  int64_t SrcTime = 0;
};

struct TPlanFolder {
  std::string Rel; // "" for the root
  std::shared_ptr<TDirNode> Node;
};

// A file to copy, check, delete or clear up.
// An initial copy holds one per file: 32 bytes and the name in an arena.
struct TPlanFile {
  uint32_t Folder = 0; // index into TPlan::Folders
  uint16_t NameLen = 0;
  TReason Reason = TReason::None;
  uint8_t Flags = 0; // TActionFlag
  const char* NameData = nullptr;
  int64_t Size = 0;    // source size (copies, checks), destination size (deletes)
  int64_t DstSize = 0; // copies over an existing item: its size
  std::string_view Name() const { return {NameData, NameLen}; }
};

// A folder to make or remove, or a destination link in the source's way.
struct TPlanDir {
  std::string Rel;
  uint32_t Parent = 0; // index into TPlan::Folders
  std::shared_ptr<TDirNode> Node;
};

// Lines the run reports after the scan, in plan order.
struct TPlanNote {
  TActionKind Kind; // Keep or FileOverLink
  uint32_t Folder;
  std::string_view Name;
};

struct TPlanTotals {
  int64_t CopyBytes = 0, OverwriteBytes = 0, DeleteBytes = 0;
};

class TPlan {
public:
  std::vector<TPlanFolder> Folders;
  std::deque<TPlanFile> Copies, Checks, Deletes, Leftovers;
  // Identical items whose owner or group is brought in line (FixOwner).
  std::deque<TPlanFile> OwnerFixes;
  std::vector<TPlanDir> MkDirs, RmDirs, LinkedDirs;
  // Destination folders the patterns leave out where the source has the folder.
  std::vector<TPlanDir> ExcludedDirs;
  std::vector<TPlanNote> Notes;
  // Destination folders whose contents the plan does not know (they could
  // not be listed, or are kept out of the mirror).
  std::vector<std::string> Held;
  // Folders on both sides whose permission bits differ (one a run could not
  // set, say): set to the source's at the end of the run.
  struct TModeFix {
    std::string Rel;
    std::shared_ptr<TDirNode> Node;
    uint32_t Mode = 0;
    bool SetMode = true;
    // The owner and group (FixOwner's rules) the folder is to get.
    bool SetOwner = false;
    uint32_t Uid = 0, Gid = 0;
    // The bits for the owner and group it has now, where their change
    // does not take.
    uint32_t ModeOwnerKept = 0;
    bool SetModeOwnerKept = false;
  };
  std::vector<TModeFix> ModeFixes;
  // Folders on both sides whose modification times differ; with every
  // folder the run changes or creates, they get the source's at the end.
  std::vector<TPlanFolder> TimeFixes;
  int64_t SrcFiles = 0, DstFiles = 0;
  int32_t Identical = 0; // pairs found equal by the rules alone

  // Takes over one folder's actions; childNodes are the nodes of
  // folderPlan.Subs. The folder is recorded only when it has actions.
  void Merge(std::string_view rel, const std::shared_ptr<TDirNode>& node, const TFolderPlan& folderPlan,
             const std::vector<std::shared_ptr<TDirNode>>& childNodes);
  // Once the scan is complete: drops what touches a held folder (removing
  // a folder that holds one, a copy onto one) and orders the folder steps,
  // creations shallowest first, removals deepest first.
  void Finish();
  TPlanTotals Totals() const;

  std::string RelOf(uint32_t folder, std::string_view name) const;
  std::string RelOf(const TPlanFile& f) const { return RelOf(f.Folder, f.Name()); }
  int32_t Ops() const { return int32_t(Copies.size() + Deletes.size() + MkDirs.size() + RmDirs.size()); }

private:
  TByteArena FNames;
};

// "a/b" + "c" → "a/b/c"; "" + "c" → "c".
std::string JoinRel(std::string_view dir, std::string_view name);
// True when rel is folder or lies below it.
bool IsAtOrBelow(std::string_view rel, std::string_view folder);

} // namespace twf
