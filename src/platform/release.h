// Lets go of deleted and replaced files without making the caller wait.
//
// Removing a file's last name frees its blocks there and then, and where
// the device is told about freed blocks (the "discard" mount option) the
// caller waits for the device's answer: a worker deleting or replacing
// many small files spends most of its time in such waits, one at a time.
// Holding the file open across the removal leaves that work to the last
// close, which is handed to the kernel's workers (io_uring), several at
// once.
#pragma once

namespace twf {

// fd: a descriptor (O_PATH will do) of a file whose name was just removed.
// Closed in the background where the kernel offers io_uring and the file
// is small and has no other name; otherwise at once. fd is taken in every
// case. Safe from any thread.
void ReleaseLater(int fd);

// Waits until every file handed to ReleaseLater is closed, so that its
// space is free again, and gives back what the kernel kept for them.
// Returns whether any was still open.
bool WaitForReleases();

} // namespace twf
