#include "app/window_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

namespace twf {

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
    // RTLD_NOW: a symbol the program lacks fails here, not midway through a run.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      out.Error = why ? why : "cannot load " + path;
      return out;
    }
    // The module stays loaded for the life of the process: the toolkit
    // registers exit handlers that must find its code.
    const auto* stamp = static_cast<const char*>(dlsym(handle, kWindowStampSymbol));
    if (!stamp) {
      out.Error = path + " is not a twinfold window module";
      return out;
    }
    if (strcmp(stamp, kWindowStamp) != 0) {
      out.Error = path + " belongs to another version of twinfold";
      return out;
    }
    out.Main = reinterpret_cast<TWindowMain>(dlsym(handle, kWindowMainSymbol));
    if (!out.Main) out.Error = path + " has no window entry";
    return out;
  }
  out.Error = std::string(kWindowModuleName) + " was not found";
  return out;
}

} // namespace twf
