#include "engine/plan.h"

#include <algorithm>
#include <unordered_set>

namespace twf {

std::string JoinRel(std::string_view dir, std::string_view name) {
  std::string rel;
  rel.reserve(dir.size() + 1 + name.size());
  if (!dir.empty()) rel.append(dir).append(1, '/');
  return rel.append(name);
}

bool IsAtOrBelow(std::string_view rel, std::string_view folder) {
  return rel.size() >= folder.size() && rel.substr(0, folder.size()) == folder &&
         (rel.size() == folder.size() || rel[folder.size()] == '/');
}

std::string TPlan::RelOf(uint32_t folder, std::string_view name) const { return JoinRel(Folders[folder].Rel, name); }

void TPlan::Merge(std::string_view rel, const std::shared_ptr<TDirNode>& node, const TFolderPlan& fp,
                  const std::vector<std::shared_ptr<TDirNode>>& childNodes) {
  SrcFiles += fp.SrcFiles;
  DstFiles += fp.DstFiles;
  uint32_t folder = UINT32_MAX;
  auto here = [&] {
    if (folder == UINT32_MAX) {
      folder = uint32_t(Folders.size());
      Folders.push_back(TPlanFolder{std::string(rel), node});
    }
    return folder;
  };
  for (const TAction& a : fp.Actions) {
    switch (a.Kind) {
      case TActionKind::Identical: ++Identical; continue;
      case TActionKind::MakeDir:
      case TActionKind::RemoveDir:
      case TActionKind::FolderOverLink:
      case TActionKind::FolderExcluded: {
        auto& list = a.Kind == TActionKind::MakeDir     ? MkDirs
                     : a.Kind == TActionKind::RemoveDir ? RmDirs
                     : a.Kind == TActionKind::FolderOverLink ? LinkedDirs
                                                             : ExcludedDirs;
        list.push_back(TPlanDir{JoinRel(rel, a.Name), here(), childNodes[a.Sub]});
        continue;
      }
      case TActionKind::Keep:
      case TActionKind::FileOverLink: Notes.push_back(TPlanNote{a.Kind, here(), FNames.Store(a.Name)}); continue;
      default: break;
    }
    const std::string_view name = FNames.Store(a.Name); // at most NAME_MAX bytes
    TPlanFile f{here(), uint16_t(name.size()), a.Reason, a.Flags, name.data(), a.Size, a.DstSize};
    switch (a.Kind) {
      case TActionKind::Copy: Copies.push_back(f); break;
      case TActionKind::Check: Checks.push_back(f); break;
      case TActionKind::Delete: Deletes.push_back(f); break;
      case TActionKind::Leftover: Leftovers.push_back(f); break;
      case TActionKind::FixOwner: OwnerFixes.push_back(f); break;
      default: break;
    }
  }
}

namespace {

int64_t Depth(const std::string& s) { return std::count(s.begin(), s.end(), '/'); }

bool LessFolded(const std::string& a, const std::string& b) {
  auto up = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return up(x) < up(y); });
}

} // namespace

void TPlan::Finish() {
  if (!Held.empty()) {
    // A folder holding a held one cannot be emptied, so it stays.
    std::erase_if(RmDirs, [&](const TPlanDir& d) {
      return std::any_of(Held.begin(), Held.end(), [&](const std::string& h) { return IsAtOrBelow(h, d.Rel); });
    });
    // A source file whose name is a held destination folder is no copy
    // either: that folder may hold anything.
    std::unordered_set<std::string_view> held(Held.begin(), Held.end());
    std::erase_if(Copies, [&](const TPlanFile& f) { return (f.Flags & afDstExists) == 0 && held.count(RelOf(f)); });
  }
  std::sort(MkDirs.begin(), MkDirs.end(), [](const TPlanDir& a, const TPlanDir& b) {
    const int64_t da = Depth(a.Rel), db = Depth(b.Rel);
    return da != db ? da < db : LessFolded(a.Rel, b.Rel);
  });
  std::sort(RmDirs.begin(), RmDirs.end(), [](const TPlanDir& a, const TPlanDir& b) {
    const int64_t da = Depth(a.Rel), db = Depth(b.Rel);
    return da != db ? da > db : LessFolded(a.Rel, b.Rel);
  });
}

TPlanTotals TPlan::Totals() const {
  TPlanTotals t;
  for (const TPlanFile& f : Copies) {
    t.CopyBytes += f.Size;
    if (f.Flags & afDstExists) t.OverwriteBytes += std::max<int64_t>(0, f.DstSize);
  }
  for (const TPlanFile& f : Deletes) t.DeleteBytes += std::max<int64_t>(0, f.Size);
  return t;
}

} // namespace twf
