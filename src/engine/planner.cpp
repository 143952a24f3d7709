// Change detection for one folder pair.
#include "engine/planner.h"

#include <algorithm>

namespace twf {

bool OwnerWanted(const TListedFile& s, const TListedFile& d, const TPlanOptions& opt) {
  if (!(s.Flags & lfOwned) || !(d.Flags & lfOwned)) return false;
  switch (opt.Owners) {
    case TOwnerRule::All: return s.Uid != d.Uid || s.Gid != d.Gid;
    case TOwnerRule::Group:
      return s.Gid != d.Gid && d.Uid == opt.MyUid &&
             std::binary_search(opt.MyGroups.begin(), opt.MyGroups.end(), s.Gid);
    default: return false;
  }
}

namespace {

bool ByName(const TListedFile& a, const TListedFile& b) { return a.Name < b.Name; }

const TListedFile* FindFile(const std::vector<TListedFile>& files, std::string_view name) {
  auto it = std::lower_bound(files.begin(), files.end(), name,
                             [](const TListedFile& f, std::string_view n) { return f.Name < n; });
  return it != files.end() && it->Name == name ? &*it : nullptr;
}

bool Holds(const std::vector<std::string_view>& names, std::string_view name) {
  return std::binary_search(names.begin(), names.end(), name);
}

void SortListing(TFolderListing& l) {
  std::sort(l.Files.begin(), l.Files.end(), ByName);
  std::sort(l.FilteredOut.begin(), l.FilteredOut.end(), ByName);
  for (auto* v : {&l.Dirs, &l.Oddities, &l.Links, &l.KeptOut, &l.Excluded}) std::sort(v->begin(), v->end());
}

// A source file and the destination file of its name.
TAction CompareFile(const TListedFile& s, const TListedFile* d, const TPlanOptions& opt) {
  TAction a{TActionKind::Copy, TReason::New, s.Name, s.Size};
  if (s.Flags & lfLink) a.Flags |= afSrcLink;
  const bool link = (s.Flags & lfSymlink) != 0;
  if (link) a.Flags |= afMakeLink;
  if (!d) return a;
  a.Flags |= afDstExists;
  a.DstSize = d->Size;
  // A newer destination item is kept whatever it is: a file edited there
  // is not lost to a link, nor a link made there to a file.
  if (opt.SkipNewer && s.WriteTime + kTimeTolerance < d->WriteTime) {
    a.Kind = TActionKind::Keep;
    a.Reason = TReason::None;
    return a;
  }
  // A link and a file are never the same, whatever their sizes and times;
  // two links are the same when their texts are (a link's time says when
  // it was made, not what it holds).
  if (link != ((d->Flags & lfSymlink) != 0)) {
    a.Reason = TReason::KindDiffers;
    if (d->Flags & lfSymlink) a.DstSize = 0; // a link frees no space worth counting
    return a;
  }
  if (link) {
    a.DstSize = 0;
    if (s.Target == d->Target) a.Kind = TActionKind::Identical, a.Reason = TReason::None;
    else a.Reason = TReason::TargetDiffers;
    return a;
  }
  if (s.Size != d->Size) {
    a.Reason = TReason::SizeDiffers; // an oddity's kNotAFile never equals a size
    return a;
  }
  a.Reason = TReason::None;
  switch (opt.Mode) {
    case cmSizeOnly: a.Kind = TActionKind::Identical; break;
    case cmBinary: a.Kind = s.Size == 0 ? TActionKind::Identical : TActionKind::Check; break;
    default: {
      const int64_t diff = s.WriteTime > d->WriteTime ? s.WriteTime - d->WriteTime : d->WriteTime - s.WriteTime;
      if (diff <= kTimeTolerance) a.Kind = TActionKind::Identical;
      else a.Reason = TReason::TimeDiffers;
    }
  }
  return a;
}

void PlanSourceFiles(const TFolderListing& src, const TFolderListing& dst, const TPairState& st,
                     const TPlanOptions& opt, TFolderPlan& out) {
  // Behind a link the destination tree ends: nothing is written there.
  if (st.DstBelowLink) return;
  for (const TListedFile& s : src.Files) {
    // The file's own name is taken by a link: never written through, and
    // never passed over in silence.
    if (Holds(dst.Links, s.Name)) {
      out.Actions.push_back({TActionKind::FileOverLink, TReason::None, s.Name});
      continue;
    }
    // A held folder may hold anything: neither the archive nor skip-newer
    // could judge what a copy there would replace.
    if (st.DstHeld || Holds(dst.KeptOut, s.Name)) continue;
    // A filter may hide the destination file but not the source one (an
    // empty or oversized old version): it is still what the copy replaces.
    const TListedFile* d = FindFile(dst.Files, s.Name);
    if (!d) d = FindFile(dst.FilteredOut, s.Name);
    out.Actions.push_back(CompareFile(s, d, opt));
    if (out.Actions.back().Kind == TActionKind::Identical && OwnerWanted(s, *d, opt))
      out.Actions.push_back({TActionKind::FixOwner, TReason::None, s.Name, PackOwner(s.Uid, s.Gid),
                             PackOwner(d->Uid, d->Gid), uint8_t((s.Flags & lfSymlink) ? afMakeLink : 0)});
  }
}

void PlanDestinationFiles(const TFolderListing& src, const TFolderListing& dst, const TPairState& st,
                          TFolderPlan& out) {
  for (const TListedFile& d : dst.Files) {
    const bool inSource = FindFile(src.Files, d.Name) != nullptr;
    if (d.Flags & lfTempName) {
      // The mirror of a source file of that name, or a copy under way or
      // interrupted: the first is a file like any other, the others are
      // cleared up once the run goes ahead.
      if (inSource) ++out.DstFiles;
      else if (!st.SrcUnknown) out.Actions.push_back({TActionKind::Leftover, TReason::None, d.Name, d.Size});
      continue;
    }
    ++out.DstFiles;
    // An unreadable source says nothing about what should go.
    if (inSource || st.SrcUnknown) continue;
    // A dangling link or FIFO that the source has too is no extra item.
    const bool oddity = (d.Flags & lfOddity) != 0;
    if (oddity && Holds(src.Oddities, d.Name)) continue;
    out.Actions.push_back({TActionKind::Delete, oddity ? TReason::ExtraOddity : TReason::ExtraFile, d.Name,
                           d.Size < 0 ? 0 : d.Size});
  }
}

void PlanSubFolders(const TFolderListing& src, const TFolderListing& dst, const TPairState& st, TFolderPlan& out) {
  auto s = src.Dirs.begin(), d = dst.Dirs.begin();
  while (s != src.Dirs.end() || d != dst.Dirs.end()) {
    TSubPair sub;
    sub.Inherited.SrcUnknown = st.SrcUnknown;
    sub.Inherited.DstBelowLink = st.DstBelowLink;
    sub.Inherited.DstHeld = st.DstHeld;
    if (d == dst.Dirs.end() || (s != src.Dirs.end() && *s < *d)) sub.Name = *s++, sub.SrcPresent = true;
    else if (s == src.Dirs.end() || *d < *s) sub.Name = *d++, sub.DstPresent = true;
    else sub.Name = *s++, ++d, sub.SrcPresent = sub.DstPresent = true;
    const uint32_t index = uint32_t(out.Subs.size());
    if (sub.SrcPresent && !sub.DstPresent) {
      if (Holds(dst.Links, sub.Name)) {
        // The mirror is incomplete there and the user should know.
        sub.Inherited.DstBelowLink = true;
        out.Actions.push_back({TActionKind::FolderOverLink, TReason::None, sub.Name, 0, 0, 0, index});
      } else if (Holds(dst.KeptOut, sub.Name)) {
        sub.Inherited.DstHeld = true;
      } else if (Holds(dst.Excluded, sub.Name)) {
        // The source's files there are not mirrored: the user should know.
        sub.Inherited.DstHeld = true;
        out.Actions.push_back({TActionKind::FolderExcluded, TReason::None, sub.Name, 0, 0, 0, index});
      } else if (!st.DstBelowLink && !st.DstHeld) {
        out.Actions.push_back({TActionKind::MakeDir, TReason::None, sub.Name, 0, 0, 0, index});
      }
    } else if (sub.DstPresent && !sub.SrcPresent && !st.SrcUnknown) {
      // Dropped later if the folder turns out to hold one that is held.
      out.Actions.push_back({TActionKind::RemoveDir, TReason::None, sub.Name, 0, 0, 0, index});
    }
    out.Subs.push_back(sub);
  }
}

} // namespace

void PlanFolder(TFolderListing& src, TFolderListing& dst, const TPairState& state, const TPlanOptions& opt,
                TFolderPlan& out) {
  out.Clear();
  SortListing(src);
  SortListing(dst);
  out.SrcFiles = int32_t(src.Files.size());
  PlanSourceFiles(src, dst, state, opt, out);
  PlanDestinationFiles(src, dst, state, out);
  PlanSubFolders(src, dst, state, out);
}

} // namespace twf
