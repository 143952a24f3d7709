// The mirror's rules as tables: two listings of one folder pair and what is
// known above it give the folder's actions. No disk involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/plan.h"
#include "engine/planner.h"

using namespace twf;

namespace {

constexpr int64_t kS = 10000000; // one second in 100 ns units
constexpr int64_t kT = 130000000000000000; // a base time

struct TSide {
  std::vector<TListedFile> Files = {};
  std::vector<std::string_view> Dirs = {}, Oddities = {}, Links = {}, KeptOut = {};
  std::vector<TListedFile> FilteredOut = {};
  std::vector<std::string_view> Excluded = {};
  TFolderListing Listing() const {
    return TFolderListing{Files, Dirs, Oddities, Links, KeptOut, FilteredOut, Excluded};
  }
};

// A destination side whose files the filters left out.
TSide FilteredOut(std::vector<TListedFile> files) {
  TSide side;
  side.FilteredOut = std::move(files);
  return side;
}

TListedFile F(std::string_view name, int64_t size, int64_t time = kT, uint8_t flags = 0) {
  return TListedFile{name, size, time, flags};
}

const char* KindText(TActionKind k) {
  switch (k) {
    case TActionKind::Copy: return "copy";
    case TActionKind::Check: return "check";
    case TActionKind::Keep: return "keep";
    case TActionKind::Identical: return "same";
    case TActionKind::Delete: return "delete";
    case TActionKind::Leftover: return "leftover";
    case TActionKind::FileOverLink: return "file-over-link";
    case TActionKind::MakeDir: return "mkdir";
    case TActionKind::RemoveDir: return "rmdir";
    case TActionKind::FolderOverLink: return "folder-over-link";
    case TActionKind::FolderExcluded: return "folder-excluded";
    case TActionKind::FixOwner: return "owner";
  }
  return "?";
}

const char* ReasonText(TReason r) {
  switch (r) {
    case TReason::New: return "(new)";
    case TReason::SizeDiffers: return "(size)";
    case TReason::TimeDiffers: return "(time)";
    case TReason::ExtraFile: return "(extra)";
    case TReason::ExtraOddity: return "(oddity)";
    case TReason::TargetDiffers: return "(target)";
    case TReason::KindDiffers: return "(kind)";
    default: return "";
  }
}

// "copy a(new), delete b(extra) | sub d[s,d,unknown]": actions in plan
// order, then the sub-folder pairs with what is known of them.
std::string Render(const TFolderPlan& p) {
  std::string out;
  for (const TAction& a : p.Actions) {
    if (!out.empty()) out += ", ";
    out += std::string(KindText(a.Kind)) + " " + std::string(a.Name) + ReasonText(a.Reason);
    if (a.Flags & afMakeLink) out += "[link]";
  }
  for (const TSubPair& s : p.Subs) {
    out += " | sub " + std::string(s.Name) + "[";
    std::string flags;
    auto add = [&](bool on, const char* f) {
      if (on) flags += flags.empty() ? f : std::string(",") + f;
    };
    add(s.SrcPresent, "s");
    add(s.DstPresent, "d");
    add(s.Inherited.SrcUnknown, "unknown");
    add(s.Inherited.DstBelowLink, "link");
    add(s.Inherited.DstHeld, "held");
    out += flags + "]";
  }
  return out;
}

TPairState Both() {
  TPairState s;
  s.SrcListed = s.DstListed = true;
  return s;
}

struct TRow {
  const char* Name;
  TSide Src, Dst;
  std::string Want;
  TPlanOptions Opt = {};
  TPairState State = Both();
};

void Check(const std::vector<TRow>& rows) {
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    TFolderListing src = r.Src.Listing(), dst = r.Dst.Listing();
    TFolderPlan plan;
    PlanFolder(src, dst, r.State, r.Opt, plan);
    EXPECT_EQ(Render(plan), r.Want);
  }
}

TPlanOptions Mode(TCompareMode m, bool skipNewer = false) { return TPlanOptions{m, skipNewer}; }

} // namespace

TEST(Planner, CompareRules) {
  Check({
      {"new file", {{F("a", 1)}}, {}, "copy a(new)"},
      {"same size and time", {{F("a", 1)}}, {{F("a", 1)}}, "same a"},
      {"times exactly 2 s apart are equal", {{F("a", 1)}}, {{F("a", 1, kT + 2 * kS)}}, "same a"},
      {"2 s and 100 ns apart differ", {{F("a", 1)}}, {{F("a", 1, kT + 2 * kS + 1)}}, "copy a(time)"},
      {"older source is copied too", {{F("a", 1, kT + 10 * kS)}}, {{F("a", 1)}}, "copy a(time)"},
      {"2 s older source is equal", {{F("a", 1, kT - 2 * kS)}}, {{F("a", 1)}}, "same a"},
      {"size differs", {{F("a", 2)}}, {{F("a", 3)}}, "copy a(size)"},
      {"size only ignores the time", {{F("a", 2)}}, {{F("a", 2, kT + 100 * kS)}}, "same a", Mode(cmSizeOnly)},
      {"size only still sees the size", {{F("a", 2)}}, {{F("a", 3)}}, "copy a(size)", Mode(cmSizeOnly)},
      {"binary compares the contents of a same-size pair", {{F("a", 2)}}, {{F("a", 2, kT + 100 * kS)}}, "check a",
       Mode(cmBinary)},
      {"binary: empty files are equal unopened", {{F("a", 0)}}, {{F("a", 0, kT + 100 * kS)}}, "same a",
       Mode(cmBinary)},
      {"binary: sizes differ", {{F("a", 2)}}, {{F("a", 3)}}, "copy a(size)", Mode(cmBinary)},
      {"skip-newer keeps a destination more than 2 s newer", {{F("a", 2)}}, {{F("a", 3, kT + 3 * kS)}}, "keep a",
       Mode(cmSizeDate, true)},
      {"skip-newer: exactly 2 s newer is not kept by that rule", {{F("a", 2)}}, {{F("a", 3, kT + 2 * kS)}},
       "copy a(size)", Mode(cmSizeDate, true)},
      {"skip-newer wins over the content check", {{F("a", 2)}}, {{F("a", 2, kT + 3 * kS)}}, "keep a",
       Mode(cmBinary, true)},
      {"skip-newer: older destination still copied", {{F("a", 2, kT + 3 * kS)}}, {{F("a", 2)}}, "copy a(time)",
       Mode(cmSizeDate, true)},
      {"extra destination file", {}, {{F("b", 1)}}, "delete b(extra)"},
      {"names are case-sensitive", {{F("A", 1)}}, {{F("a", 1)}}, "copy A(new), delete a(extra)"},
  });
}

TEST(Planner, OdditiesAndTemporaryNames) {
  const std::string_view temp = ".twf-0123456789ab.part";
  Check({
      {"destination oddity without a source item goes", {}, {{F("x", kNotAFile, 0, lfOddity)}}, "delete x(oddity)"},
      {"destination oddity matching a source oddity stays", {{}, {}, {"x"}}, {{F("x", kNotAFile, 0, lfOddity)}}, ""},
      {"destination oddity under a source file's name is replaced", {{F("x", 0)}},
       {{F("x", kNotAFile, 0, lfOddity)}}, "copy x(size)", Mode(cmSizeOnly)},
      {"a source oddity alone asks for nothing", {{}, {}, {"x"}}, {}, ""},
      {"leftover of an interrupted copy", {}, {{F(temp, 5, kT, lfTempName)}}, "leftover " + std::string(temp)},
      {"a source file of that name makes it a mirror", {{F(temp, 5)}}, {{F(temp, 5, kT, lfTempName)}},
       "same " + std::string(temp)},
      {"and one that changed is copied over", {{F(temp, 6)}}, {{F(temp, 5, kT, lfTempName)}},
       "copy " + std::string(temp) + "(size)"},
      {"a source link to a file is compared like a file", {{F("l", 1, kT, lfLink)}}, {{F("l", 1)}}, "same l"},
  });
}

// A link kept as a link (Size 0, its text as Target).
TListedFile L(std::string_view name, std::string_view target, int64_t time = kT, uint8_t flags = 0) {
  return TListedFile{name, 0, time, uint8_t(lfSymlink | flags), target};
}

// Links are items of their own kind: never equal to a file, equal to a
// link with the same text whatever the times, and counted like files.
TEST(Planner, LinksAsLinks) {
  const std::string_view temp = ".twf-0123456789ab.part";
  Check({
      {"a new link", {{L("l", "t")}}, {}, "copy l(new)[link]"},
      {"same text: identical, whatever the times", {{L("l", "t")}}, {{L("l", "t", kT + 100 * kS)}}, "same l[link]"},
      {"another text: made again", {{L("l", "t")}}, {{L("l", "u")}}, "copy l(target)[link]"},
      {"a text that only differs at the end", {{L("l", "dir/")}}, {{L("l", "dir")}}, "copy l(target)[link]"},
      {"a link over a file of the same size and time", {{L("l", "t")}}, {{F("l", 0)}}, "copy l(kind)[link]"},
      {"a file over a link", {{F("l", 1)}}, {{L("l", "t")}}, "copy l(kind)"},
      {"a file over a link, size-only mode", {{F("l", 0)}}, {{L("l", "t")}}, "copy l(kind)", Mode(cmSizeOnly)},
      {"a link over an oddity", {{L("l", "t")}}, {{F("l", kNotAFile, 0, lfOddity)}}, "copy l(kind)[link]"},
      {"binary mode compares texts, never contents", {{L("l", "t")}}, {{L("l", "t")}}, "same l[link]", Mode(cmBinary)},
      {"binary mode: another text", {{L("l", "t")}}, {{L("l", "u")}}, "copy l(target)[link]", Mode(cmBinary)},
      {"skip-newer keeps a newer destination link", {{L("l", "t")}}, {{L("l", "u", kT + 3 * kS)}}, "keep l[link]",
       Mode(cmSizeDate, true)},
      {"skip-newer keeps a newer destination file the source has a link for", {{L("l", "t")}},
       {{F("l", 1, kT + 3 * kS)}}, "keep l[link]", Mode(cmSizeDate, true)},
      {"skip-newer keeps a newer destination link the source has a file for", {{F("l", 1)}},
       {{L("l", "t", kT + 3 * kS)}}, "keep l", Mode(cmSizeDate, true)},
      {"skip-newer: an older destination file gives way to a link", {{L("l", "t", kT + 3 * kS)}}, {{F("l", 1)}},
       "copy l(kind)[link]", Mode(cmSizeDate, true)},
      {"an extra destination link goes", {}, {{L("l", "t")}}, "delete l(extra)"},
      {"a link where the destination has a folder", {{L("d", "t")}, {}}, {{}, {"d"}},
       "copy d(new)[link], rmdir d | sub d[d]"},
      {"a folder where the destination has a link", {{}, {"d"}}, {{L("d", "t")}}, "delete d(extra), mkdir d | sub d[s]"},
      {"a link filtered out in the destination is still what the copy replaces", {{L("l", "t")}},
       FilteredOut({L("l", "t")}), "same l[link]"},
      {"a leftover link of an interrupted run", {}, {{L(temp, "t", kT, lfTempName)}}, "leftover " + std::string(temp)},
  });
  TFolderListing src = TSide{{L("a", "x"), F("b", 1)}}.Listing(), dst = TSide{{L("c", "y")}}.Listing();
  TFolderPlan plan;
  PlanFolder(src, dst, Both(), {}, plan);
  EXPECT_EQ(plan.SrcFiles, 2);
  EXPECT_EQ(plan.DstFiles, 1);
}

// Owners of identical items: every owner as root, a user's own items'
// groups otherwise, never an owner that is not the item's own.
TEST(Planner, OwnersOfIdenticalItems) {
  auto owned = [](TListedFile f, uint32_t uid, uint32_t gid) {
    f.Flags |= lfOwned;
    f.Uid = uid;
    f.Gid = gid;
    return f;
  };
  TPlanOptions root;
  root.Owners = TOwnerRule::All;
  TPlanOptions user;
  user.Owners = TOwnerRule::Group;
  user.MyUid = 1000;
  user.MyGroups = {100, 1000};
  Check({
      {"as root: another owner", {{owned(F("a", 1), 1, 1)}}, {{owned(F("a", 1), 0, 1)}}, "same a, owner a", root},
      {"as root: another group", {{owned(F("a", 1), 1, 1)}}, {{owned(F("a", 1), 1, 2)}}, "same a, owner a", root},
      {"as root: the same owners", {{owned(F("a", 1), 1, 1)}}, {{owned(F("a", 1), 1, 1)}}, "same a", root},
      {"as root: a link", {{owned(L("l", "t"), 1, 1)}}, {{owned(L("l", "t"), 0, 0)}}, "same l[link], owner l[link]", root},
      {"a copy carries its owner itself", {{owned(F("a", 2), 1, 1)}}, {{owned(F("a", 1), 0, 0)}}, "copy a(size)",
       root},
      {"a file reached through a link has no owner of its own", {{F("a", 1, kT, lfLink)}},
       {{owned(F("a", 1), 0, 0)}}, "same a", root},
      {"a user: a group they belong to, on their own file", {{owned(F("a", 1), 5, 100)}},
       {{owned(F("a", 1), 1000, 1000)}}, "same a, owner a", user},
      {"a user: a group they do not belong to", {{owned(F("a", 1), 5, 200)}}, {{owned(F("a", 1), 1000, 1000)}},
       "same a", user},
      {"a user: someone else's file", {{owned(F("a", 1), 5, 100)}}, {{owned(F("a", 1), 7, 1000)}}, "same a", user},
      {"nobody asked", {{owned(F("a", 1), 5, 100)}}, {{owned(F("a", 1), 7, 1000)}}, "same a"},
  });
}

TEST(Planner, ProtectionsAndHeldFolders) {
  TPairState unknown = Both();
  unknown.SrcListed = false;
  unknown.SrcUnknown = true;
  TPairState belowLink;
  belowLink.SrcListed = true;
  belowLink.DstBelowLink = true;
  TPairState held = belowLink;
  held.DstBelowLink = false;
  held.DstHeld = true;
  const std::string_view temp = ".twf-0123456789ab.part";
  Check({
      {"below an unlisted source folder nothing is extra", {},
       {{F("b", 1), F(temp, 1, kT, lfTempName)}, {"d"}}, " | sub d[d,unknown]", {}, unknown},
      {"a source file over a destination link is an error", {{F("sub", 1), F("ok", 1)}}, {{}, {}, {}, {"sub"}},
       "copy ok(new), file-over-link sub"},
      {"a source folder over a destination link is an error", {{}, {"sub"}}, {{}, {}, {}, {"sub"}},
       "folder-over-link sub | sub sub[s,link]"},
      {"below a destination link nothing is written", {{F("a", 1)}, {"d"}}, {}, " | sub d[s,link]", {}, belowLink},
      {"in a held destination folder nothing is written", {{F("a", 1)}, {"d"}}, {}, " | sub d[s,held]", {}, held},
      {"a kept-out destination folder is held", {{F("a", 1)}, {"logs"}}, {{}, {}, {}, {}, {"logs"}},
       "copy a(new) | sub logs[s,held]"},
      // A pattern that names the destination's own path hides its folder:
      // copies into it would replace files nobody compared.
      {"a destination folder the patterns leave out is held, with an error", {{F("a", 1)}, {"cache"}},
       {{}, {}, {}, {}, {}, {}, {"cache"}}, "copy a(new), folder-excluded cache | sub cache[s,held]"},
      {"left out on both sides: no folder pair at all", {{F("a", 1)}}, {{}, {}, {}, {}, {}, {}, {"cache"}},
       "copy a(new)"},
  });
}

TEST(Planner, FoldersToMakeAndRemove) {
  TPairState dstAbsent;
  dstAbsent.SrcListed = true;
  TPairState srcAbsent;
  srcAbsent.DstListed = true;
  Check({
      {"folder only in the source", {{}, {"n"}}, {}, "mkdir n | sub n[s]"},
      {"folder on both sides", {{}, {"b"}}, {{}, {"b"}}, " | sub b[s,d]"},
      {"folder only in the destination", {}, {{}, {"g"}}, "rmdir g | sub g[d]"},
      {"file and folder swap places", {{F("x", 1)}, {"y"}}, {{F("y", 1)}, {"x"}},
       "copy x(new), delete y(extra), rmdir x, mkdir y | sub x[d] | sub y[s]"},
      {"a destination not there yet", {{F("a", 1)}, {"n"}}, {}, "copy a(new), mkdir n | sub n[s]", {}, dstAbsent},
      {"a folder the source no longer has", {}, {{F("a", 1)}, {"n"}}, "delete a(extra), rmdir n | sub n[d]", {},
       srcAbsent},
  });
}

// An empty or oversized old version, or one only the destination's path
// makes a pattern match, is still what a copy of its source file replaces.
TEST(Planner, FilteredOutDestinationFiles) {
  Check({
      {"an empty one under a source file is replaced, not new", {{F("a", 5)}}, FilteredOut({F("a", 0)}),
       "copy a(size)"},
      {"times are compared as for any file", {{F("a", 5, kT + 10 * kS)}}, FilteredOut({F("a", 5)}), "copy a(time)"},
      {"an equal one stays", {{F("a", 5)}}, FilteredOut({F("a", 5)}), "same a"},
      {"skip-newer keeps a newer one", {{F("a", 5)}}, FilteredOut({F("a", 0, kT + 3 * kS)}), "keep a",
       Mode(cmSizeDate, true)},
      {"binary compares the contents", {{F("a", 5)}}, FilteredOut({F("a", 5, kT + 100 * kS)}), "check a",
       Mode(cmBinary)},
      {"an oddity under a source file is replaced", {{F("x", 0)}}, FilteredOut({F("x", kNotAFile, 0, lfOddity)}),
       "copy x(size)", Mode(cmSizeOnly)},
      {"one without a source file is not extra", {}, FilteredOut({F("a", 0)}), ""},
  });
}

TEST(Planner, AFilteredOutCounterpartIsOverwrittenButNotCounted) {
  TPlan merged;
  TFolderListing src{{F("a", 5)}}, dst{{F("b", 1)}};
  dst.FilteredOut = {F("a", 9), F("z", 3)};
  TFolderPlan plan;
  PlanFolder(src, dst, Both(), {}, plan);
  ASSERT_EQ(plan.Actions.size(), 2u);
  const TAction& copy = plan.Actions[0];
  EXPECT_EQ(copy.Name, "a");
  EXPECT_NE(copy.Flags & afDstExists, 0); // archived when archiving is on
  EXPECT_EQ(copy.DstSize, 9);
  EXPECT_EQ(plan.DstFiles, 1); // b only, as on the scan line
  merged.Merge("", std::make_shared<TDirNode>(), plan, {});
  EXPECT_EQ(merged.Totals().OverwriteBytes, 9); // the free-space check counts its bytes as freed
}

TEST(Planner, CountsFilesThatTakePart) {
  TFolderListing src{{F("a", 1), F(".twf-0123456789ab.part", 1)}}, dst{{F("a", 1), F("x", kNotAFile, 0, lfOddity),
                                                                        F(".twf-0123456789ab.part", 1, kT, lfTempName),
                                                                        F(".twf-00000000ffff.part", 1, kT, lfTempName)}};
  TFolderPlan plan;
  PlanFolder(src, dst, Both(), {}, plan);
  EXPECT_EQ(plan.SrcFiles, 2);
  EXPECT_EQ(plan.DstFiles, 3); // a, the oddity, and the temporary name the source has
}

namespace {
// A plan of a few folders, merged as the scan would.
struct TPlanFixture {
  TPlan Plan;
  void Add(std::string_view rel, TSide src, TSide dst, TPairState state = Both()) {
    TFolderListing s = src.Listing(), d = dst.Listing();
    TFolderPlan fp;
    PlanFolder(s, d, state, {}, fp);
    std::vector<std::shared_ptr<TDirNode>> nodes;
    for (size_t i = 0; i < fp.Subs.size(); ++i) nodes.push_back(std::make_shared<TDirNode>());
    Plan.Merge(rel, std::make_shared<TDirNode>(), fp, nodes);
  }
  static std::string Rels(const std::vector<TPlanDir>& dirs) {
    std::string out;
    for (const TPlanDir& d : dirs) out += (out.empty() ? "" : " ") + d.Rel;
    return out;
  }
};
} // namespace

TEST(Plan, FinishOrdersFolderStepsAndSparesHeldFolders) {
  TPlanFixture f;
  f.Add("", {{F("shut", 1), F("ok", 1)}, {"a", "B", "c"}}, {{}, {"old", "keep", "shut"}});
  f.Add("a", {{}, {"b"}}, {});
  f.Add("a/b", {{}, {"c"}}, {});
  f.Add("old", {}, {{}, {"x"}});
  f.Add("old/x", {}, {});
  f.Add("keep", {}, {{}, {"deep"}});
  f.Add("keep/deep", {}, {{}, {}, {}, {}, {"logs"}}); // the log folder lies here
  f.Plan.Held.push_back("shut");                      // a folder the scan could not list
  f.Plan.Held.push_back("keep/deep/logs");
  ASSERT_EQ(f.Plan.Copies.size(), 2u);
  f.Plan.Finish();
  // Shallowest first, then by name regardless of case.
  EXPECT_EQ(TPlanFixture::Rels(f.Plan.MkDirs), "a B c a/b a/b/c");
  // Deepest first; neither a held folder nor one holding it is removed.
  EXPECT_EQ(TPlanFixture::Rels(f.Plan.RmDirs), "old/x old");
  // A source file whose name is a held folder is no copy.
  ASSERT_EQ(f.Plan.Copies.size(), 1u);
  EXPECT_EQ(f.Plan.RelOf(f.Plan.Copies[0]), "ok");
}

TEST(Plan, MergeKeepsOnlyFoldersWithActionsAndTotalsTheBytes) {
  TPlanFixture f;
  f.Add("", {{F("same", 5), F("new", 100), F("grown", 30)}, {"quiet"}},
        {{F("same", 5), F("grown", 20), F("gone", 7), F("odd", kNotAFile, 0, lfOddity)}, {"quiet"}});
  f.Add("quiet", {{F("x", 1)}}, {{F("x", 1)}});
  EXPECT_EQ(f.Plan.Folders.size(), 1u); // "quiet" needs nothing done: not kept
  EXPECT_EQ(f.Plan.Identical, 2);
  EXPECT_EQ(f.Plan.SrcFiles, 4);
  EXPECT_EQ(f.Plan.DstFiles, 5);
  const TPlanTotals t = f.Plan.Totals();
  EXPECT_EQ(t.CopyBytes, 130);
  EXPECT_EQ(t.OverwriteBytes, 20);
  EXPECT_EQ(t.DeleteBytes, 7); // an oddity frees nothing
  EXPECT_EQ(f.Plan.Ops(), 4);
}

// A hostile tree may be a million folders deep; releasing its folder chain
// must not recurse once per level.
TEST(Plan, AVeryDeepFolderChainIsReleasedWithoutRecursion) {
  auto node = std::make_shared<TDirNode>();
  for (int i = 0; i < 1000000; ++i) {
    auto child = std::make_shared<TDirNode>();
    child->Parent = std::move(node);
    node = std::move(child);
  }
  node.reset();
  SUCCEED();
}
