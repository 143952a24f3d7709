// What a tree scan learns besides the two maps.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/mirror_engine.h"

namespace twf {

struct TMirrorEngine::TScanResult {
  std::mutex Lock;                    // guards the lists below while workers run
  bool RootFailed = false;            // the root itself could not be listed
  std::vector<std::string> Unlisted;  // relative folders that could not be listed
  std::vector<std::string> LinkDirs;  // relative folders that are links or mount points
  struct TFound {
    std::string Rel;
    int64_t Size, WriteTime;
  };
  std::vector<TFound> TempFiles;      // files with the temporary name of a copy under way
  std::vector<std::string> FileLinks; // source files that are links to files
  std::vector<std::string> KeptOut;   // relative folders met that are not part of the mirror
  std::vector<std::string> Oddities;  // relative dangling links and special files (source side)
};

} // namespace twf
