// Task archive import: the input is the archive file's bytes, imported with
// Yes to the question into a scratch store in the harness's private home.
// Hostile entries ("..", absolute names, links, huge sizes) must neither
// land outside the import's work folder nor leave it behind: after every
// import the temporary folder is empty and the archive's folder holds only
// the archive.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tasks/settings_store.h"
#include "tasks/task_archive.h"

using namespace twf;
using twf::fuzz::Check;

namespace {

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> out;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string n = e->d_name; n != "." && n != "..") out.insert(n);
    closedir(d);
  }
  return out;
}

struct TScratch {
  std::string Home = twf::fuzz::PrivateHome();
  std::string Inbox = Home + "/inbox";
  std::string Zip = Inbox + "/tasks.zip";
  std::string Temp = Home + "/tmp";
  TSettingsStore Store{Home + "/store/settings.db", 2000};
  std::set<std::string> HomeNames;
  TScratch() {
    mkdir(Inbox.c_str(), 0700);
    Check(Store.IsOpen(), "the scratch store opens");
    HomeNames = Names(Home);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TScratch s;
  if (FILE* f = fopen(s.Zip.c_str(), "wb")) {
    Check(fwrite(data, 1, size, f) == size && fclose(f) == 0, "the archive is written");
  }
  const TArchiveImportOutcome out = ImportTaskArchive(s.Store, s.Zip, [](const TUserMessage&) { return true; });
  Check(out.Imported >= 0 && out.Skipped >= 0, "counts are not negative");
  Check(out.Changed == (out.Imported > 0), "the task list changes exactly when tasks were imported");
  Check(out.Message.has_value(), "an import always says how it went");

  Check(Names(s.Temp).empty(), "the work folder is gone after the import");
  Check(Names(s.Inbox) == std::set<std::string>{"tasks.zip"}, "nothing lands beside the archive");
  Check(Names(s.Home) == s.HomeNames, "nothing lands in the home folder");
  int tasks = 0;
  if (auto k = s.Store.OpenKeyReadOnly("Tasks")) tasks = int(k->SubKeyNames().size());
  Check(tasks <= out.Imported, "no more tasks than imported");
  s.Store.DeleteKey("Tasks");
  return 0;
}
