#include "authkeys/data_protection.h"

#include <sodium.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <optional>
#include <vector>

namespace twf {

namespace {

constexpr unsigned char kBlobVersion = 1;
constexpr size_t kKeyBytes = crypto_secretbox_KEYBYTES;
constexpr size_t kHeaderBytes = 1 + crypto_secretbox_NONCEBYTES;

// Holds the key for the duration of one call and wipes it afterwards.
struct TKey {
  unsigned char Bytes[kKeyBytes];
  ~TKey() { sodium_memzero(Bytes, sizeof Bytes); }
};

enum class TKeyRead { krOk, krMissing, krForeign, krUnusable };

// A key that belongs to someone else is never used: its owner could read
// every value sealed under it, or have swapped in a key of their own.
TKeyRead ReadKeyFile(const std::string& path, TKey& key) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? TKeyRead::krMissing : TKeyRead::krUnusable;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && st.st_uid != geteuid()) {
    close(fd);
    return TKeyRead::krForeign;
  }
  ok = ok && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kKeyBytes);
  if (ok && (st.st_mode & 077) != 0) fchmod(fd, 0600);
  size_t got = 0;
  while (ok && got < kKeyBytes) {
    const ssize_t n = read(fd, key.Bytes + got, kKeyBytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else got += static_cast<size_t>(n);
  }
  close(fd);
  return ok ? TKeyRead::krOk : TKeyRead::krUnusable;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void MakePrivateFolders(const std::string& folder) {
  for (size_t pos = 1; pos <= folder.size(); ++pos)
    if (pos == folder.size() || folder[pos] == '/') mkdir(folder.substr(0, pos).c_str(), 0700);
  // The folder holds the key: take away what others could read, if it is ours.
  struct stat st;
  if (stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0)
    chmod(folder.c_str(), st.st_mode & 0700);
}

// Creates the key file unless it exists. The new key is written under a
// temporary name and linked into place, so two processes starting at once
// end up with one key, never a half-written file.
void CreateKeyFile(const std::string& path) {
  const std::string folder = ParentFolder(path);
  MakePrivateFolders(folder);
  std::string temp = folder + "/.data-protection.key.XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC); // mode 0600
  if (fd < 0) return;
  TKey key;
  randombytes_buf(key.Bytes, sizeof key.Bytes);
  bool ok = true;
  for (size_t done = 0; ok && done < kKeyBytes;) {
    const ssize_t n = write(fd, key.Bytes + done, kKeyBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok) link(temp.c_str(), path.c_str()); // EEXIST: another process was first
  unlink(temp.c_str());
}

// whyNot, when given, receives the reason a key could not be had.
bool LoadKey(const std::string& path, TKey& key, bool create, std::string* whyNot = nullptr) {
  auto fail = [&](const std::string& reason) {
    if (whyNot) *whyNot = reason;
    return false;
  };
  if (sodium_init() < 0) return fail("the encryption library could not start");
  TKeyRead read = ReadKeyFile(path, key);
  // Only a missing file is created: a damaged key, or one of another user,
  // is left for the user, since replacing it would make every value sealed
  // under it unreadable for good.
  if (read == TKeyRead::krMissing && create) {
    CreateKeyFile(path);
    read = ReadKeyFile(path, key);
  }
  switch (read) {
  case TKeyRead::krOk:
    return true;
  case TKeyRead::krForeign:
    return fail("the key file \"" + path + "\" belongs to another user");
  case TKeyRead::krMissing:
    return fail(create ? "the key file \"" + path + "\" could not be created" : "there is no key file");
  default:
    return fail("the key file \"" + path + "\" could not be read");
  }
}

} // namespace

std::string ProtectionKeyPath(const std::string& storePath) {
  return ParentFolder(storePath) + "/data-protection.key";
}

std::optional<std::string> ProtectValue(const std::string& clear, const std::string& keyFile, std::string* whyNot) {
  if (clear.empty()) return std::string();
  TKey key;
  if (!LoadKey(keyFile, key, true, whyNot)) return std::nullopt;
  std::vector<unsigned char> blob(kHeaderBytes + crypto_secretbox_MACBYTES + clear.size());
  blob[0] = kBlobVersion;
  unsigned char* nonce = blob.data() + 1;
  randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
  if (crypto_secretbox_easy(blob.data() + kHeaderBytes, reinterpret_cast<const unsigned char*>(clear.data()),
                            clear.size(), nonce, key.Bytes) != 0) {
    if (whyNot) *whyNot = "the value could not be encrypted";
    return std::nullopt;
  }
  std::string text(sodium_base64_ENCODED_LEN(blob.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), blob.data(), blob.size(), sodium_base64_VARIANT_ORIGINAL);
  text.resize(std::char_traits<char>::length(text.c_str()));
  return kProtectedPrefix + text;
}

std::string UnprotectValue(const std::string& stored, const std::string& keyFile) {
  const std::string prefix = kProtectedPrefix;
  if (stored.compare(0, prefix.size(), prefix) != 0) return stored;
  const std::string text = stored.substr(prefix.size());
  if (text.empty() || sodium_init() < 0) return {};
  std::vector<unsigned char> blob(text.size());
  size_t blobSize = 0;
  const char* end = nullptr;
  if (sodium_base642bin(blob.data(), blob.size(), text.data(), text.size(), "\r\n", &blobSize, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size())
    return {};
  if (blobSize < kHeaderBytes + crypto_secretbox_MACBYTES || blob[0] != kBlobVersion) return {};
  TKey key;
  if (!LoadKey(keyFile, key, false)) return {};
  const size_t clearSize = blobSize - kHeaderBytes - crypto_secretbox_MACBYTES;
  std::string clear(clearSize, '\0');
  if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(clear.data()), blob.data() + kHeaderBytes,
                                 blobSize - kHeaderBytes, blob.data() + 1, key.Bytes) != 0)
    return {};
  return clear;
}

} // namespace twf
