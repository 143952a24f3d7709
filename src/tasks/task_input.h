// Task files and task archives say what a run copies and deletes and where
// its report goes. As root only files that root alone controls are read, as
// cron and sudo do with their tables: one that another user owns, or that
// group or others can write, is refused. The check is made on the opened
// descriptor, so a file swapped in after the check is never the one read,
// and the name itself must not be a symbolic link. The folder that holds
// the file is not judged (neither cron nor sudo do). Other users read
// what they can, as before.
#pragma once

#include <string>

namespace twf {

// Opens path read-only and non-blocking (a FIFO cannot hang the open).
// Returns the descriptor, or -1: as root, refusal then holds the reason
// when the file is refused ("it belongs to uid 1000, not to root");
// otherwise refusal is empty and errno says why the open failed.
int OpenTaskInput(const std::string& path, std::string& refusal);

// What follows a refusal reason in messages.
inline constexpr const char* kRootInputRule = "As root, only files that belong to root and that no one else can write "
                                              "are read.";

} // namespace twf
