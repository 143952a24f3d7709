#include "support/path_calls.h"

#include <sys/stat.h>

#include <cerrno>

namespace twf::test {
namespace {

// A descriptor of fs, closed through fs.
class TFsFd {
public:
  explicit TFsFd(IFileSystem& fs) : Fs_(fs) {}
  TFsFd(const TFsFd&) = delete;
  TFsFd& operator=(const TFsFd&) = delete;
  ~TFsFd() {
    if (Fd >= 0) Fs_.Close(Fd);
  }
  int Fd = -1;

private:
  IFileSystem& Fs_;
};

// "/a/b/" -> "/a" and "b"; "b" -> "." and "b"; "/b" -> "/" and "b".
void Split(const std::string& path, std::string& parent, std::string& name) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) {
    parent = ".";
    name = p;
  } else {
    parent = slash == 0 ? "/" : p.substr(0, slash);
    name = p.substr(slash + 1);
  }
}

// Opens the folder holding path; name gets the last component.
int OpenParent(IFileSystem& fs, const std::string& path, TFsFd& dir, std::string& name) {
  if (path.empty()) return ENOENT;
  std::string parent;
  Split(path, parent, name);
  TFileInfo info;
  return fs.OpenDir(parent, dir.Fd, info);
}

// The item itself, links followed: a folder by OpenDir, a file for reading.
int OpenItem(IFileSystem& fs, const std::string& path, TFsFd& parent, TFsFd& item) {
  TFileInfo info;
  if (int err = fs.Stat(path, info)) return err;
  if (info.IsDir) return fs.OpenDir(path, item.Fd, info);
  std::string name;
  if (int err = OpenParent(fs, path, parent, name)) return err;
  return fs.OpenFileAt(parent.Fd, name, true, item.Fd, info);
}

} // namespace

int ListDir(IFileSystem& fs, const std::string& path, std::vector<TDirEntry>& out) {
  out.clear();
  TFsFd dir(fs);
  TFileInfo info;
  if (int err = fs.OpenDir(path, dir.Fd, info)) return err;
  return fs.ListDirAt(dir.Fd, out);
}

int DeleteFile(IFileSystem& fs, const std::string& path) {
  TFsFd dir(fs);
  std::string name;
  if (int err = OpenParent(fs, path, dir, name)) return err;
  return fs.DeleteFileAt(dir.Fd, name);
}

int RemoveDir(IFileSystem& fs, const std::string& path) {
  TFsFd dir(fs);
  std::string name;
  if (int err = OpenParent(fs, path, dir, name)) return err;
  return fs.RemoveDirAt(dir.Fd, name);
}

int CreateDir(IFileSystem& fs, const std::string& path) {
  TFsFd dir(fs), made(fs);
  std::string name;
  if (int err = OpenParent(fs, path, dir, name)) return err;
  TFileInfo info;
  return fs.CreateDirAt(dir.Fd, name, made.Fd, info);
}

void ClearReadOnly(IFileSystem& fs, const std::string& path) {
  TFsFd parent(fs), item(fs);
  TFileInfo info;
  if (OpenItem(fs, path, parent, item) != 0 || fs.Stat(path, info) != 0) return;
  if (!(info.Mode & S_IWUSR)) fs.SetModeFd(item.Fd, (info.Mode & 07777) | S_IWUSR);
}

int CopyFile(IFileSystem& fs, const std::string& src, const std::string& dst, const TCopyProgress& progress,
             const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice) {
  TFsFd srcDir(fs), in(fs), dstDir(fs);
  std::string srcName, dstName;
  if (int err = OpenParent(fs, src, srcDir, srcName)) return err;
  TFileInfo info;
  if (int err = fs.OpenFileAt(srcDir.Fd, srcName, true, in.Fd, info)) return err;
  if (int err = OpenParent(fs, dst, dstDir, dstName)) return err;
  return fs.CopyFileAt(in.Fd, dstDir.Fd, dstName, progress, cancel, largeFile, flushToDevice, {}, nullptr, nullptr);
}

int MoveFile(IFileSystem& fs, const std::string& src, const std::string& dst) {
  TFsFd from(fs), to(fs);
  std::string fromName, toName;
  if (int err = OpenParent(fs, src, from, fromName)) return err;
  if (int err = OpenParent(fs, dst, to, toName)) return err;
  return fs.MoveFileAt(from.Fd, fromName, to.Fd, toName);
}

int GetAcl(IFileSystem& fs, const std::string& path, std::string& acl) {
  acl.clear();
  TFsFd parent(fs), item(fs);
  if (int err = OpenItem(fs, path, parent, item)) return err;
  return fs.GetAclFd(item.Fd, acl);
}

int SetAcl(IFileSystem& fs, const std::string& path, const std::string& acl) {
  TFsFd parent(fs), item(fs);
  if (int err = OpenItem(fs, path, parent, item)) return err;
  return fs.SetAclFd(item.Fd, acl);
}

int TrashFiles(IFileSystem& fs, const std::vector<std::string>& paths, std::vector<int>& results) {
  results.assign(paths.size(), 0);
  bool anyMoved = paths.empty();
  for (size_t i = 0; i < paths.size(); ++i) {
    TFsFd dir(fs);
    std::string name;
    int err = OpenParent(fs, paths[i], dir, name);
    if (!err) err = fs.TrashFileAt(dir.Fd, name);
    results[i] = err;
    anyMoved |= err == 0;
  }
  return anyMoved ? 0 : results[0];
}

} // namespace twf::test
