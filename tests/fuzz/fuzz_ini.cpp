// Task files: the input is the file's bytes. Reading must keep what it read
// through a write and a second read, and the task settings taken from the
// file (as a command-line /task_file: run takes them) must not upset anything.
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "tasks/ini_file.h"
#include "tasks/task_files.h"
#include "tasks/task_settings.h"

using namespace twf;
using twf::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const TIniDocument doc = TIniDocument::Parse(in);
  const std::string once = doc.Serialize();
  const TIniDocument again = TIniDocument::Parse(once);
  Check(again.Serialize() == once, "a written document reads back as itself");

  for (const char* section : {"Task", "Meta"}) {
    Check(doc.HasSection(section) == again.HasSection(section), "sections survive a write");
    for (const std::string& key : doc.KeyNames(section)) {
      std::string a, b;
      Check(doc.ReadString(section, key, a), "a listed key can be read");
      Check(again.ReadString(section, key, b) && a == b, "values survive a write");
    }
  }

  TTaskSettings s;
  std::string name;
  ApplyTaskDocument(doc, "/nowhere/fuzz.ini", s, &name);
  int32_t n;
  ParseWholeNumber(in.substr(0, 64), n);

  // A value written through the document reads back the same (a line break,
  // CR LF included, becomes one "|" by design), for any key the writer accepts.
  TIniDocument w;
  const size_t nul = in.find('\0');
  if (nul != std::string_view::npos) {
    const std::string_view key = in.substr(0, nul), value = in.substr(nul + 1);
    if (w.WriteString("Task", key, value)) {
      std::string expect;
      for (size_t i = 0; i < value.size(); ++i) {
        const bool crlf = value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n';
        expect += value[i] == '\r' || value[i] == '\n' ? '|' : value[i];
        i += crlf;
      }
      const TIniDocument back = TIniDocument::Parse(w.Serialize());
      std::string got;
      Check(back.ReadString("Task", key, got), "an accepted key reads back");
      // The reader trims a line's ends, so only blanks at the value's ends go.
      Check(got == TrimIni(expect), "an accepted value reads back");
    }
  }
  return 0;
}
