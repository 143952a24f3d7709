// The run log's lines for events the runs on disk rarely reach, and the
// choice of per-item lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "log/run_log.h"

using namespace twf;

namespace {
TRunEvent Error(TRunError kind, std::string_view rel, std::string_view path, int err) {
  TRunEvent e;
  e.Error = kind;
  e.Rel = rel;
  e.Path = path;
  e.Errno = err;
  return e;
}
} // namespace

TEST(RunLog, ErrorLines) {
  TRunEvent trash = Error(TRunError::TrashUnusable, "", "", 5);
  trash.Count = 3;
  TRunEvent link = Error(TRunError::LinkNotFollowed, "", "/s/l", 0);
  link.Count = 65534;
  TRunEvent compareRead = Error(TRunError::CompareFailed, "f", "", EIO);
  TRunEvent compareText = Error(TRunError::CompareFailed, "f", "", 0);
  compareText.Text = "std::bad_alloc";
  const struct {
    TRunEvent Event;
    std::string Line;
  } rows[] = {
      {trash, "ERROR        Recycle Bin deletion failed (code 5) - some of the 3 file(s) may remain in the destination"},
      {link, "ERROR        Cannot copy \"/s/l\": the link belongs to user 65534, the file it leads to does not - not "
             "followed as root"},
      {Error(TRunError::CompareFailed, "f", "/d/f", EACCES),
       "ERROR        Content compare failed for \"f\": Cannot open file \"/d/f\". Permission denied - will re-copy"},
      {compareRead, "ERROR        Content compare failed for \"f\": Input/output error - will re-copy"},
      {compareText, "ERROR        Content compare failed for \"f\": std::bad_alloc - will re-copy"},
      {Error(TRunError::VerifyReadFailed, "f", "/s/f", ENOENT),
       "ERROR        Verify read failed \"f\": Cannot open file \"/s/f\". No such file or directory"},
      {Error(TRunError::CreateFolderFailed, "a/b", "", ENOSPC),
       "ERROR        Create folder failed \"a/b\": No space left on device"},
      {Error(TRunError::ReadAclFailed, "", "/s/f", ENOTSUP),
       "ERROR        Read permissions failed \"/s/f\": Operation not supported"},
      {Error(TRunError::FolderChanged, "", "/d/sub", 0),
       "ERROR        Destination folder changed during the run, nothing below it is touched: \"/d/sub\""},
  };
  TRunLog log(nullptr, kAllLogOps);
  for (const auto& r : rows) EXPECT_EQ(log.LineOf(r.Event), r.Line);
}

// Counters move whatever is shown; the lines follow the selected operations.
TEST(RunLog, PerItemLinesFollowTheSelectedOperations) {
  auto item = [](TEventKind kind, TDeleteHow how = TDeleteHow::Deleted, bool dry = false) {
    TRunEvent e;
    e.Kind = kind;
    e.Rel = "a/f";
    e.How = how;
    e.Dry = dry;
    e.Size = 1536;
    return e;
  };
  const struct {
    TRunEvent Event;
    TLogOp Op;
    std::string Line;
  } rows[] = {
      {item(TEventKind::Kept), loCopy, "KEEP         newer in destination: a/f"},
      {item(TEventKind::ContentDiffers), loCopy, "DIFF         a/f (content)"},
      {item(TEventKind::Copied, TDeleteHow::Deleted, true), loCopy, "[DRY] COPY   a/f (1.50 KB)"},
      {item(TEventKind::OldVersionArchived), loCopy, "ARCHIVE      a/f (old version)"},
      {item(TEventKind::LeftoverRemoved, TDeleteHow::Recycled), loDelete,
       "CLEANUP      a/f (partial copy of an interrupted run, recycled)"},
      {item(TEventKind::Deleted, TDeleteHow::Recycled), loDelete, "DELETE       a/f (recycled)"},
      {item(TEventKind::Deleted, TDeleteHow::Archived, true), loDelete, "[DRY] DELETE a/f"},
      {item(TEventKind::FolderCreated), loMkDir, "MKDIR        a/f"},
      {item(TEventKind::FolderRemoved, TDeleteHow::Deleted, true), loRmDir, "[DRY] RMDIR  a/f"},
      {Error(TRunError::DeleteFailed, "a/f", "", EBUSY), loError, "ERROR        Delete failed \"a/f\": Device or resource busy"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Line);
    EXPECT_EQ(TRunLog(nullptr, LogOpBit(r.Op)).LineOf(r.Event), r.Line);
    EXPECT_EQ(TRunLog(nullptr, TLogOps(kAllLogOps & ~LogOpBit(r.Op))).LineOf(r.Event), "");
  }
  // Retries are always shown.
  TRunEvent retry = item(TEventKind::Retry);
  retry.Count = 2;
  EXPECT_EQ(TRunLog(nullptr, 0).LineOf(retry), "RETRY        a/f (locked, attempt 2/3)");
}
