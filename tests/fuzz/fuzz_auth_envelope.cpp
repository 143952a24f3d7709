// Stored auth key values: the input is the stored string, tried as it is
// and as the Base64 part of a "dpapi:" envelope, against a fixed key (so
// the seed envelopes, sealed under it, open). A value sealed here must
// open to itself.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "authkeys/data_protection.h"
#include "fuzz/fuzz_support.h"

using namespace twf;
using twf::fuzz::Check;

namespace {

// 32 fixed bytes: "0123456789abcdef" twice.
const std::string& KeyFile() {
  static const std::string path = [] {
    const std::string p = twf::fuzz::PrivateHome() + "/config/data-protection.key";
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const char key[] = "0123456789abcdef0123456789abcdef";
    Check(fd >= 0 && write(fd, key, 32) == 32 && close(fd) == 0, "the fixed key is written");
    return p;
  }();
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const std::string& key = KeyFile();
  const std::string opened = UnprotectValue(in, key);
  if (in.rfind(kProtectedPrefix, 0) != 0) Check(opened == in, "a value without the prefix is the clear value");
  UnprotectValue(kProtectedPrefix + in, key);

  const auto sealed = ProtectValue(in, key);
  Check(sealed.has_value(), "a value can be sealed under a good key");
  Check(in.empty() ? sealed->empty() : sealed->rfind(kProtectedPrefix, 0) == 0, "a sealed value has the prefix");
  Check(sealed->find_first_of("\r\n") == std::string::npos, "the envelope is one line");
  Check(UnprotectValue(*sealed, key) == in, "a sealed value opens to itself");
  return 0;
}
