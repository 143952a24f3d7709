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

// A hold (an O_PATH descriptor) on name in dir, taken just before the name
// is removed or renamed over; -1 where holding is not worth it or not safe:
// no suitable io_uring, too many holds already, or a file system that is
// not a local one known to free its blocks on the last close (a network
// one renames a file still open instead of removing it).
int HoldBeforeRemoving(int dir, const char* name);
// The name is gone: the hold is closed in the background where the file
// is small and has no other name, otherwise at once. Safe from any thread.
void ReleaseLater(int hold);
// The name stayed (the removal failed): the hold is closed at once.
void ReleaseNow(int hold);

// Whether closes can happen in the background here (io_uring as needed).
bool ReleasesInBackground();

// Waits until every hold handed to ReleaseLater is closed (ten seconds at
// most), so that its space is coming back, and gives back what the kernel
// kept for them. Returns whether any was still open.
bool WaitForReleases();

} // namespace twf
