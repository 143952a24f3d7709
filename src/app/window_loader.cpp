#include "app/window_loader.h"

#include <unistd.h>

#include <cstring>

#include "platform/dynamic_library.h"

namespace twf {

namespace {

// The entry of an opened module, or why it is not this program's window.
TWindowModule FindWindowEntry(TDynamicLibrary& module, const std::string& path) {
  TWindowModule out;
  const auto* stamp = static_cast<const char*>(module.Symbol(kWindowStampSymbol));
  if (!stamp) {
    out.Error = path + " is not a twinfold window module";
  } else if (strcmp(stamp, kWindowStamp) != 0) {
    out.Error = path + " belongs to another version of twinfold";
  } else {
    out.Main = module.Function<TWindowMain>(kWindowMainSymbol);
    if (!out.Main) out.Error = path + " has no window entry";
  }
  return out;
}

} // namespace

std::vector<std::string> WindowModuleCandidates(const std::string& exePath) {
  const size_t slash = exePath.rfind('/');
  if (slash == std::string::npos) return {};
  const std::string dir = exePath.substr(0, slash + 1);
  return {dir + kWindowModuleName, dir + "../lib/twinfold/" + kWindowModuleName};
}

TWindowModule LoadWindowModule(const std::vector<std::string>& candidates) {
  TWindowModule out;
  for (const std::string& path : candidates) {
    if (access(path.c_str(), F_OK) != 0) continue;
    // Bound now: a symbol the program lacks fails here, not midway through a run.
    TDynamicLibrary module;
    if (!module.Open(path)) {
      out.Error = module.Error();
      return out;
    }
    out = FindWindowEntry(module, path);
    // The module stays loaded for the life of the process: the toolkit
    // registers exit handlers that must find its code.
    module.Release();
    return out;
  }
  out.Error = std::string(kWindowModuleName) + " was not found";
  return out;
}

} // namespace twf
