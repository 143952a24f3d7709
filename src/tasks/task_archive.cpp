#include "tasks/task_archive.h"

#include <zip.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/ini_file.h"
#include "tasks/task_files.h"
#include "tasks/task_input.h"
#include "tasks/work_folder.h"

namespace twf {

namespace {

std::string ZipErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

bool EndsWithIni(const std::string& name) {
  if (name.size() < 4) return false;
  const std::string ext = name.substr(name.size() - 4);
  return ext[0] == '.' && (ext[1] | 0x20) == 'i' && (ext[2] | 0x20) == 'n' && (ext[3] | 0x20) == 'i';
}

// The parts of an entry's path below the working folder; false for a name
// that would reach outside it (absolute, a drive, or a ".." part). Both
// separators count: archives made on Windows may use backslashes.
bool SafeEntryParts(const std::string& name, std::vector<std::string>& parts) {
  parts.clear();
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '/' && name[i] != '\\') continue;
    const std::string part = name.substr(start, i - start);
    start = i + 1;
    if (part == "..") return false;
    if (parts.empty() && part.size() >= 2 && part[1] == ':') return false;
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  return !parts.empty();
}

// Is the entry a plain file? Links, devices and FIFOs recorded by Unix
// archivers are never written out.
bool IsPlainFileEntry(zip_t* za, zip_uint64_t index) {
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0) return false;
  if (opsys != ZIP_OPSYS_UNIX) return true;
  const mode_t type = (attributes >> 16) & S_IFMT;
  return type == 0 || type == S_IFREG;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct TExtraction {
  std::vector<std::string> Files; // in archive order, each path once
  int Refused = 0;
  std::string Error; // set when the archive cannot be opened or read
};

enum class TEntryResult { erWritten, erRefused, erReadError };

// Extracts one entry into a temporary name first and renames it into place
// only when complete, so a refused entry never destroys an earlier file of
// the same path.
TEntryResult ExtractEntry(zip_t* za, zip_uint64_t index, int rootFd, const std::vector<std::string>& parts,
                          uint64_t& budget, std::string& error) {
  int dir = dup(rootFd);
  for (size_t i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
    mkdirat(dir, parts[i].c_str(), 0700);
    const int next = openat(dir, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    dir = next;
  }
  if (dir < 0) return TEntryResult::erRefused;
  const std::string temp = ".twf-part-" + std::to_string(index);
  const int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    close(dir);
    return TEntryResult::erRefused;
  }
  TEntryResult result = TEntryResult::erWritten;
  zip_file_t* zf = zip_fopen_index(za, index, 0);
  if (!zf) {
    error = zip_strerror(za);
    result = TEntryResult::erReadError;
  } else {
    char buf[65536];
    uint64_t total = 0;
    zip_int64_t n;
    // The sizes in the headers may lie: count what really comes out.
    while (result == TEntryResult::erWritten && (n = zip_fread(zf, buf, sizeof buf)) != 0) {
      if (n < 0) {
        error = zip_file_strerror(zf);
        result = TEntryResult::erReadError;
      } else if ((total += static_cast<uint64_t>(n)) > kMaxTaskFileSize || total > budget) {
        result = TEntryResult::erRefused;
      } else if (!WriteAll(fd, buf, static_cast<size_t>(n))) {
        result = TEntryResult::erRefused;
      }
    }
    zip_fclose(zf);
    if (result == TEntryResult::erWritten) budget -= total;
  }
  if (close(fd) != 0 && result == TEntryResult::erWritten) result = TEntryResult::erRefused;
  if (result == TEntryResult::erWritten && renameat(dir, temp.c_str(), dir, parts.back().c_str()) != 0)
    result = TEntryResult::erRefused;
  if (result != TEntryResult::erWritten) unlinkat(dir, temp.c_str(), 0);
  close(dir);
  return result;
}

TExtraction ExtractTaskFiles(const std::string& zipPath, const std::string& folder) {
  TExtraction out;
  std::string refusal;
  const int zipFd = OpenTaskInput(zipPath, refusal);
  if (zipFd < 0) {
    out.Error = refusal.empty() ? SystemErrorText(errno) : refusal + ". " + kRootInputRule;
    return out;
  }
  int code = 0;
  zip_t* za = zip_fdopen(zipFd, 0, &code); // takes the descriptor, whatever the result
  if (!za) {
    out.Error = ZipErrorText(code);
    return out;
  }
  const int rootFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    out.Error = SystemErrorText(errno);
    zip_discard(za);
    return out;
  }
  std::set<std::string> seen;
  uint64_t budget = kMaxArchiveExtractBytes;
  size_t taken = 0;
  const zip_int64_t count = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < count && out.Error.empty(); ++i) {
    const zip_uint64_t index = static_cast<zip_uint64_t>(i);
    const char* raw = zip_get_name(za, index, 0);
    const std::string name = raw ? raw : "";
    // An entry without a name is no file of any kind: refused, not passed over.
    if (name.empty()) {
      ++out.Refused;
      continue;
    }
    if (name.back() == '/' || !EndsWithIni(name)) continue; // folders and other files are not task files
    std::vector<std::string> parts;
    zip_stat_t st;
    zip_stat_init(&st);
    const bool sizeOk = zip_stat_index(za, index, 0, &st) == 0 &&
                        (!(st.valid & ZIP_STAT_SIZE) || st.size <= kMaxTaskFileSize);
    if (!SafeEntryParts(name, parts) || parts.size() > kMaxArchiveEntryDepth || !IsPlainFileEntry(za, index) ||
        !sizeOk || taken >= kMaxArchiveTaskFiles) {
      ++out.Refused;
      continue;
    }
    switch (ExtractEntry(za, index, rootFd, parts, budget, out.Error)) {
    case TEntryResult::erWritten: {
      ++taken;
      std::string path = folder;
      for (const std::string& p : parts) path += "/" + p;
      if (seen.insert(path).second) out.Files.push_back(path);
      break;
    }
    case TEntryResult::erRefused:
      ++out.Refused;
      break;
    case TEntryResult::erReadError:
      break; // out.Error is set
    }
  }
  close(rootFd);
  zip_discard(za);
  return out;
}

std::string Counted(const char* format, int a, int b = 0) {
  char text[256];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

} // namespace

TUserMessage ExportTaskArchive(TSettingsStore& store, const std::vector<std::string>& allTasks,
                               const std::string& zipPath) {
  if (allTasks.empty()) return {TMessageKind::mkInformation, kMsgNoTasksToExport};
  TWorkFolder work;
  if (!work.Ok()) return {TMessageKind::mkError, kMsgCannotCreateArchive + SystemErrorText(work.Error())};
  int code = 0;
  // ZIP_TRUNCATE starts from nothing; libzip writes beside the target and
  // renames at close, so a failed export leaves an old file as it was.
  zip_t* za = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!za) return {TMessageKind::mkError, kMsgCannotCreateArchive + ZipErrorText(code)};
  const std::vector<std::string> entries = UniqueEntryNames(allTasks);
  int exported = 0;
  for (size_t i = 0; i < allTasks.size(); ++i) {
    const std::string entry = entries[i] + ".ini";
    const std::string file = work.Path() + "/" + entry;
    if (!ExportTaskFile(store, allTasks[i], file)) continue;
    std::string data;
    {
      FILE* f = fopen(file.c_str(), "rb");
      if (!f) continue;
      char buf[65536];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
      fclose(f);
    }
    // libzip frees the copy with the source (it keeps no pointer to an empty one).
    void* copy = data.empty() ? nullptr : malloc(data.size());
    if (!data.empty() && !copy) continue;
    if (copy) memcpy(copy, data.data(), data.size());
    zip_source_t* src = zip_source_buffer(za, copy, data.size(), copy != nullptr);
    if (!src) {
      free(copy);
      continue;
    }
    const zip_int64_t index = zip_file_add(za, entry.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(src);
      continue;
    }
    zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0);
    ++exported;
  }
  if (zip_close(za) != 0) {
    const std::string reason = zip_strerror(za);
    zip_discard(za);
    return {TMessageKind::mkError, kMsgCannotCreateArchive + reason};
  }
  return {TMessageKind::mkInformation, Counted("%d task(s) exported.", exported)};
}

TArchiveImportOutcome ImportTaskArchive(TSettingsStore& store, const std::string& zipPath,
                                        const std::function<bool(const TUserMessage&)>& confirm) {
  TArchiveImportOutcome out;
  TWorkFolder work;
  if (!work.Ok()) {
    out.Message = TUserMessage{TMessageKind::mkError, kMsgCannotOpenArchive + SystemErrorText(work.Error())};
    return out;
  }
  const TExtraction found = ExtractTaskFiles(zipPath, work.Path());
  if (!found.Error.empty()) {
    out.Message = TUserMessage{TMessageKind::mkError, kMsgCannotOpenArchive + found.Error};
    return out;
  }
  if (found.Files.empty()) {
    out.Message = TUserMessage{TMessageKind::mkInformation, kMsgNoTaskFiles};
    return out;
  }
  const TUserMessage question{
      TMessageKind::mkConfirmation,
      Counted("%d task file(s) found. Same-name tasks will be overwritten.\r\n\r\nContinue?",
              static_cast<int>(found.Files.size())),
      true};
  if (!confirm(question)) return out;
  for (const std::string& file : found.Files) {
    TIniDocument doc;
    doc.LoadFromFile(file);
    const std::string name = TaskNameFromFile(doc, file);
    if (!name.empty() && name.find('\\') == std::string::npos && ImportTaskDocument(store, doc, name)) {
      ++out.Imported;
      out.Changed = true;
    } else {
      ++out.Skipped;
    }
  }
  out.Skipped += found.Refused;
  out.Message = TUserMessage{TMessageKind::mkInformation,
                             Counted("%d task(s) imported, %d file(s) skipped.", out.Imported, out.Skipped)};
  return out;
}

} // namespace twf
