// A shared library opened while the program runs, for code the program can
// do without until it is needed (its libraries then cost no start-up time).
#pragma once

#include <string>

namespace twf {

class TDynamicLibrary {
public:
  TDynamicLibrary() = default;
  ~TDynamicLibrary();
  TDynamicLibrary(TDynamicLibrary&& other) noexcept;
  TDynamicLibrary& operator=(TDynamicLibrary&& other) noexcept;
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

  // Opens a library by soname ("libz.so.1", found as the program's own are)
  // or by path. Every symbol is bound now, so a library that lacks one of its
  // own dependencies fails here rather than at a later call; its symbols stay
  // out of the global scope. False with Error() set on failure; a library
  // already open is closed first.
  bool Open(const std::string& name);
  bool IsOpen() const { return FHandle != nullptr; }

  // The address of a symbol, or nullptr with Error() set.
  void* Symbol(const char* name);
  template <typename TFunction> TFunction Function(const char* name) {
    return reinterpret_cast<TFunction>(Symbol(name));
  }

  // Why the last Open or Symbol failed (the loader's own words).
  const std::string& Error() const { return FError; }

  // Leaves the library loaded for the rest of the process: code that may
  // still run in it at exit (another thread, an exit handler) must find it.
  void Release() { FHandle = nullptr; }
  void Close();

private:
  void* FHandle = nullptr;
  std::string FError;
};

} // namespace twf
