// The scratch folder of one archive command: "$TMPDIR/Twinfold-{GUID}",
// private to the user, removed with everything in it when the command ends.
#pragma once

#include <string>

namespace twf {

class TWorkFolder {
public:
  TWorkFolder();
  ~TWorkFolder(); // removal failures are ignored
  TWorkFolder(const TWorkFolder&) = delete;
  TWorkFolder& operator=(const TWorkFolder&) = delete;

  bool Ok() const { return !FPath.empty(); }
  int Error() const { return FError; } // errno of a failed creation
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
  int FError = 0;
};

// "$TMPDIR" without trailing slashes, "/tmp" when unset or relative.
std::string TempFolder();
// A new random GUID in registry form, e.g. "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}".
std::string NewGuidText();
// The system's text for an errno value.
std::string SystemErrorText(int code);
// Removes a folder tree without following symbolic links. False when
// anything stayed.
bool RemoveTree(const std::string& path);

} // namespace twf
