#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <thread>
#include <unistd.h>

#include "tasks/task_settings.h"

namespace twf {

namespace {

std::string HomeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The XDG_DOCUMENTS_DIR line of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Docs"
// (the only forms the file allows are "$HOME/..." and an absolute path).
std::string UserDirsDocuments(const std::string& home) {
  std::string config;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') config = x;
  else if (!home.empty()) config = home + "/.config";
  else return {};
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=";
  while (std::getline(in, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0) {
      if (home.empty()) continue;
      value = home + value.substr(5);
    }
    if (value.empty() || value.front() != '/') continue;
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    return value;
  }
  return {};
}

} // namespace

int32_t DefaultWorkerCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < kWorkersMin) return kWorkersMin;
  return n > kWorkersMax ? kWorkersMax : static_cast<int32_t>(n);
}

std::string DocumentsFolder() {
  const std::string home = HomeFolder();
  if (std::string docs = UserDirsDocuments(home); !docs.empty()) return docs;
  return home.empty() ? std::string() : JoinFolder(home, "Documents");
}

std::string DefaultLogsFolder() { return JoinFolder(DocumentsFolder(), "Quarlex Twinfold Logs"); }

std::string DefaultArchiveFolder() { return JoinFolder(DocumentsFolder(), "Quarlex Twinfold Archives"); }

const std::string& DesignedExclusionPatterns() {
  // What a mirror should never carry, in Linux terms. A pattern is matched
  // against the full path (root, "/", relative path), and a folder also with
  // one more "/" after it, so a pattern ending in "/" names folders only and
  // leaves them out with everything below them.
  // - Names that only ever mean one thing (a swap file, a Trash, fsck's
  //   lost+found, a cache folder with its dot) are matched in any folder.
  //   Ending in "/" rather than "/*", they leave a source that lies inside
  //   such a folder its files, and a file is turned down by its last
  //   character before any matching.
  // - No line for /proc, /sys, /dev, /run or /tmp: a mirror of "/" itself is
  //   refused (every other folder lies inside it), the kernel's file systems
  //   are mount points, which a scan never enters, and a plain "/run/*" or
  //   "/tmp/*" would leave out every source below /run/media/<user>/<stick>
  //   or /tmp whole.
  // The two Windows names stay: Windows disks are mirrored on Linux too.
  static const std::string patterns = [] {
    static const char* const lines[] = {
        R"(*\desktop.ini)",
        R"(*\thumbs.db)",
        "*/swapfile",
        "*/swap.img",
        "*/.Trash/",
        "*/.Trash-*/",
        "*/.local/share/Trash/",
        "*/lost+found/",
        "*/.cache/",
        "*/.thumbnails/",
    };
    std::string text;
    for (const char* line : lines) {
      if (!text.empty()) text += "\r\n";
      text += line;
    }
    return text;
  }();
  return patterns;
}

} // namespace twf
