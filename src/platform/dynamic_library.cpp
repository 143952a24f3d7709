#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <utility>

namespace twf {

namespace {

std::string LastLoaderError(const std::string& fallback) {
  const char* why = dlerror();
  return why ? why : fallback;
}

} // namespace

TDynamicLibrary::~TDynamicLibrary() { Close(); }

TDynamicLibrary::TDynamicLibrary(TDynamicLibrary&& other) noexcept
    : FHandle(std::exchange(other.FHandle, nullptr)), FError(std::move(other.FError)) {}

TDynamicLibrary& TDynamicLibrary::operator=(TDynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = std::exchange(other.FHandle, nullptr);
    FError = std::move(other.FError);
  }
  return *this;
}

bool TDynamicLibrary::Open(const std::string& name) {
  Close();
  FError.clear();
  FHandle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!FHandle) FError = LastLoaderError("cannot load " + name);
  return FHandle != nullptr;
}

void* TDynamicLibrary::Symbol(const char* name) {
  if (!FHandle) {
    FError = std::string("no library is open to look up ") + name;
    return nullptr;
  }
  dlerror(); // a stale message must not be taken for this lookup's
  void* address = dlsym(FHandle, name);
  if (!address) FError = LastLoaderError(std::string("undefined symbol: ") + name);
  return address;
}

void TDynamicLibrary::Close() {
  if (FHandle) dlclose(FHandle);
  FHandle = nullptr;
}

} // namespace twf
