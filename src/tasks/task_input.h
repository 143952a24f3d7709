// Task files and task archives say what a run copies and deletes and where
// its report goes. As root only files that root alone controls are read, as
// cron and sudo do with their tables: one that another user owns, or that
// group or others can write, is refused. The check is made on the opened
// descriptor, so a file swapped in after the check is never the one read,
// and the name itself must not be a symbolic link. Every folder on the way
// must be root's too, or someone else could make the path name another
// file (one of root's with their words in it, such as a copy the mirror
// made); a sticky folder such as /tmp will do. Other users read what they
// can, as before.
#pragma once

#include <string>

namespace twf {

// Opens path read-only and non-blocking (a FIFO cannot hang the open).
// Returns the descriptor, or -1: as root, refusal then holds the reason
// when the file is refused ("it belongs to uid 1000, not to root");
// otherwise refusal is empty and errno says why the open failed.
int OpenTaskInput(const std::string& path, std::string& refusal);

// Opens path with flags (O_NOFOLLOW and O_CLOEXEC added) by a walk from "/"
// (a relative path from the working folder) that refuses a folder on the
// way that is not root's or that group or others can write without the
// sticky bit, a symbolic link on the way that is not root's, and a path
// whose last part is a symbolic link. Each folder is judged on its
// descriptor before anything in it is opened, so nothing can be swapped in
// behind the check. Returns the descriptor, or -1: refusal then holds the
// reason ('the folder "/home/ann" belongs to uid 1000, not to root'), or
// is empty and errno says why the open failed. It judges folders only: the
// file's own owner and mode are the caller's to check.
int OpenThroughRootFolders(const std::string& path, int flags, std::string& refusal);

// What follows a refusal reason in messages.
inline constexpr const char* kRootInputRule = "As root, only files that belong to root and that no one else can write, "
                                              "in folders that no one else can change, are read.";

} // namespace twf
