// The rules of a mirror for one folder pair: from the two filtered listings
// of a folder and what is known about the folders above it, what to do
// there. Pure: no disk, no clock, no threads, no logging.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/types.h"

namespace twf {

// Times closer than this are the same (file systems that keep 2 s steps).
constexpr int64_t kTimeTolerance = 20000000; // 2 s in 100 ns units

enum TListedFlag : uint8_t {
  lfLink = 1,     // source: a link to a file (its target's size and time)
  lfOddity = 2,   // destination: a dangling link or a special file (Size is kNotAFile)
  lfTempName = 4, // destination: named like a copy under way
  lfSymlink = 8,  // a link kept as a link (Target is its text, Size 0)
  lfOwned = 16,   // Uid and Gid are the item's own
};

struct TListedFile {
  std::string_view Name;
  int64_t Size = 0;
  int64_t WriteTime = 0; // 100 ns units
  uint8_t Flags = 0;     // TListedFlag
  std::string_view Target = {};
  uint32_t Uid = 0, Gid = 0;
};

// One side of one folder after the scan's filters. PlanFolder sorts the
// lists by name in place.
struct TFolderListing {
  std::vector<TListedFile> Files = {};
  std::vector<std::string_view> Dirs = {};
  std::vector<std::string_view> Oddities = {}; // source: dangling links and special files, not copied
  std::vector<std::string_view> Links = {};    // destination: links to folders and mount points, never entered
  std::vector<std::string_view> KeptOut = {};  // destination: folders that are not part of the mirror
  // Destination: files the filters leave out. Such a file is neither extra
  // nor counted, but one a source file of its name would replace is that
  // file's counterpart all the same: a copy over it replaces the user's
  // file, which the archive, skip-newer and the free-space check must see.
  std::vector<TListedFile> FilteredOut = {};
  // Destination: folders the exclusion patterns leave out where the source
  // folder of the name may not be (a pattern naming the destination's own
  // path). Nothing is written into one: copies there would replace files
  // the plan never saw.
  std::vector<std::string_view> Excluded = {};
  void Clear() {
    Files.clear();
    Dirs.clear();
    Oddities.clear();
    Links.clear();
    KeptOut.clear();
    FilteredOut.clear();
    Excluded.clear();
  }
};

// What is known of a folder pair before and after listing it.
struct TPairState {
  bool SrcListed = false; // the source has the folder and its listing is at hand
  // The source folder could not be listed, or lies below one that could
  // not: nobody knows what the destination should hold there.
  bool SrcUnknown = false;
  bool DstListed = false;    // the destination has the folder and its listing is at hand
  bool DstBelowLink = false; // the destination folder is, or lies below, a link or mount point
  // The destination folder could not be listed, is kept out of the mirror,
  // or lies below such a folder: nothing is written into it.
  bool DstHeld = false;
};

enum class TActionKind : uint8_t {
  Copy,          // Reason: New, SizeDiffers, TimeDiffers
  Check,         // same size, compare the contents (binary mode)
  Keep,          // skip-newer keeps the destination's newer file
  Identical,     // nothing to do
  Delete,        // Reason: ExtraFile, ExtraOddity
  Leftover,      // a copy's temporary name with no source file: an interrupted copy
  FileOverLink,  // error: the source file's name is a link to a folder in the destination
  MakeDir,       // Sub: the sub-folder pair
  RemoveDir,     // Sub
  FolderOverLink, // error: the source folder's name is a link in the destination; Sub
  FolderExcluded, // error: the source folder's destination counterpart is left out by the patterns; Sub
  // An identical pair whose owner or group differ: Size holds the source's
  // and DstSize the destination's, each as uid << 32 | gid.
  FixOwner
};

enum class TReason : uint8_t { None, New, SizeDiffers, TimeDiffers, ExtraFile, ExtraOddity, TargetDiffers, KindDiffers };

enum TActionFlag : uint8_t {
  afSrcLink = 1,   // the source file is a link to a file
  afDstExists = 2, // a destination item of that name is replaced (archived when archiving)
  afMakeLink = 4,  // the source item is a link, made again as one (FixOwner: the item is a link)
};

constexpr int64_t PackOwner(uint32_t uid, uint32_t gid) { return int64_t((uint64_t(uid) << 32) | gid); }
constexpr uint32_t OwnerUid(int64_t packed) { return uint32_t(uint64_t(packed) >> 32); }
constexpr uint32_t OwnerGid(int64_t packed) { return uint32_t(uint64_t(packed)); }

struct TAction {
  TActionKind Kind;
  TReason Reason = TReason::None;
  std::string_view Name;
  int64_t Size = 0;    // source size (copies, checks), destination size (deletes, leftovers)
  int64_t DstSize = 0; // the replaced destination item's size (kNotAFile for an oddity)
  uint8_t Flags = 0;   // TActionFlag
  uint32_t Sub = 0;    // folder actions: index into TFolderPlan::Subs
};

struct TSubPair {
  std::string_view Name;
  bool SrcPresent = false, DstPresent = false; // to be listed on that side
  TPairState Inherited; // SrcUnknown, DstBelowLink, DstHeld from above
};

struct TFolderPlan {
  std::vector<TAction> Actions;
  std::vector<TSubPair> Subs;
  int32_t SrcFiles = 0; // source files of the folder
  // Destination files that take part (temporary names of source files
  // included; filtered-out counterparts not, as on the scan line).
  int32_t DstFiles = 0;
  void Clear() {
    Actions.clear();
    Subs.clear();
    SrcFiles = DstFiles = 0;
  }
};

// Which owners of identical items are brought in line with the source's.
enum class TOwnerRule : uint8_t {
  None,
  All,   // root: owner and group
  Group, // others: the group, on their own items, where they belong to the source's group
};

struct TPlanOptions {
  TCompareMode Mode = cmSizeDate;
  bool SkipNewer = false;
  TOwnerRule Owners = TOwnerRule::None;
  uint32_t MyUid = 0;
  std::vector<uint32_t> MyGroups = {}; // sorted
};

// True when the owner (as root) or group (as anyone else, on their own
// item and for a group they belong to) of d is to become s's: both carry
// lfOwned.
bool OwnerWanted(const TListedFile& s, const TListedFile& d, const TPlanOptions& opt);

// Appends the folder's actions and sub-folder pairs to out (cleared first).
// Names in out point into the listings.
void PlanFolder(TFolderListing& src, TFolderListing& dst, const TPairState& state, const TPlanOptions& opt,
                TFolderPlan& out);

} // namespace twf
