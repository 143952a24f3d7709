// File calls by path, for tests. The program works through folder
// descriptors; tests often simply name an item. Each call opens the folder
// that holds the item through fs (OpenDir takes paths of any length) and
// makes the descriptor call there, so it runs through a fault-injecting
// file system too. Results are errno values (0 = success).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace twf::test {

// The folder itself is not followed when it is a link (ELOOP).
int ListDir(IFileSystem& fs, const std::string& path, std::vector<TDirEntry>& out);
int DeleteFile(IFileSystem& fs, const std::string& path);
int RemoveDir(IFileSystem& fs, const std::string& path);
// Mode 0700, as CreateDirAt makes it.
int CreateDir(IFileSystem& fs, const std::string& path);
// Adds the owner write bit where it is missing (links followed); failures are ignored.
void ClearReadOnly(IFileSystem& fs, const std::string& path);
// A source link is followed; dst is replaced as CopyFileAt replaces.
int CopyFile(IFileSystem& fs, const std::string& src, const std::string& dst, const TCopyProgress& progress = {},
             const std::atomic<bool>* cancel = nullptr, bool largeFile = false, bool flushToDevice = false);
int MoveFile(IFileSystem& fs, const std::string& src, const std::string& dst);
// The ACL text of GetAclFd and SetAclFd; links followed.
int GetAcl(IFileSystem& fs, const std::string& path, std::string& acl);
int SetAcl(IFileSystem& fs, const std::string& path, const std::string& acl);
// Moves each file to the Trash; results[i] is the errno of paths[i]. Returns
// 0 when at least one file was moved or the list is empty, else results[0].
int TrashFiles(IFileSystem& fs, const std::vector<std::string>& paths, std::vector<int>& results);

} // namespace twf::test
