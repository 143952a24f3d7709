#include "tasks/ini_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "tasks/settings_store.h"

namespace twf {

namespace {

bool IsTrimmed(unsigned char c) { return c <= 0x20 || c == 0x7f; }

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && IsTrimmed(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string_view TrimStart(std::string_view s) {
  while (!s.empty() && IsTrimmed(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  return s;
}

// Any line break becomes "|": the format's encoding of CR LF, applied to lone
// CR and LF as well so no value can split its line.
std::string EncodeValue(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\r') {
      out += '|';
      if (i + 1 < v.size() && v[i + 1] == '\n') ++i;
    } else if (v[i] == '\n') {
      out += '|';
    } else {
      out += v[i];
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

} // namespace

std::string_view TrimIni(std::string_view s) { return TrimStart(TrimEnd(s)); }

bool ParseWholeNumber(std::string_view text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int d = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return false;
    magnitude = magnitude * base + d;
    if (magnitude > int64_t(INT32_MAX) + 1) return false;
  }
  const int64_t v = negative ? -magnitude : magnitude;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

TIniDocument TIniDocument::Parse(std::string_view text) {
  TIniDocument doc;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  TSection* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimIni(text.substr(pos, end - pos));
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') pos = end + 2;
    else pos = end + 1;

    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string name(TrimIni(line.substr(1, line.size() - 2)));
      current = nullptr;
      if (doc.FIndex.try_emplace(FoldKeyName(name), doc.FSections.size()).second) {
        doc.FSections.push_back({name, {}, {}});
        current = &doc.FSections.back();
      }
      continue;
    }
    if (!current) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = TrimEnd(line.substr(0, eq));
    if (key.empty()) continue;
    if (current->Index.try_emplace(FoldKeyName(key), current->Entries.size()).second)
      current->Entries.push_back({std::string(key), std::string(TrimStart(line.substr(eq + 1)))});
  }
  return doc;
}

bool TIniDocument::LoadFromFile(const std::string& path, size_t maxBytes) {
  *this = TIniDocument(); // a failed load leaves an empty document, index included
  // Non-blocking so that a FIFO given as a task file cannot hang the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const bool ok = LoadFromDescriptor(fd, maxBytes);
  close(fd);
  return ok;
}

bool TIniDocument::LoadFromDescriptor(int fd, size_t maxBytes) {
  *this = TIniDocument();
  struct stat st;
  std::string data;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= maxBytes;
  if (ok) {
    data.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
      if (data.size() > maxBytes) {
        ok = false; // grew while being read
        break;
      }
    }
  }
  if (!ok) return false;
  *this = Parse(data);
  return true;
}

std::string TIniDocument::Serialize() const {
  std::string out = "\xEF\xBB\xBF";
  for (const TSection& s : FSections) {
    out += "[" + s.Name + "]\r\n";
    for (const TEntry& e : s.Entries) out += e.Key + "=" + e.Value + "\r\n";
    out += "\r\n";
  }
  return out;
}

bool TIniDocument::SaveToFile(const std::string& path) const {
  std::string target = path;
  struct stat st;
  bool existed = false;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return false;
    target = real;
    free(real);
  }
  existed = stat(target.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) return false;

  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::random_device rd;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = folder + "." + base + ".tmp" + std::to_string(rd());
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  if (existed) fchmod(fd, st.st_mode & 07777);
  const std::string data = Serialize();
  bool ok = true;
  for (size_t done = 0; ok && done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

const TIniDocument::TSection* TIniDocument::Find(std::string_view section) const {
  const auto it = FIndex.find(FoldKeyName(section));
  return it == FIndex.end() ? nullptr : &FSections[it->second];
}

TIniDocument::TSection& TIniDocument::FindOrAdd(std::string_view section) {
  const auto [it, added] = FIndex.try_emplace(FoldKeyName(section), FSections.size());
  if (added) FSections.push_back({std::string(section), {}, {}});
  return FSections[it->second];
}

bool TIniDocument::HasSection(std::string_view section) const { return Find(section) != nullptr; }

std::vector<std::string> TIniDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> keys;
  if (const TSection* s = Find(section))
    for (const TEntry& e : s->Entries) keys.push_back(e.Key);
  return keys;
}

bool TIniDocument::ReadString(std::string_view section, std::string_view key, std::string& value) const {
  const TSection* s = Find(section);
  if (!s) return false;
  const auto it = s->Index.find(FoldKeyName(key));
  if (it == s->Index.end()) return false;
  value = s->Entries[it->second].Value;
  return true;
}

std::string TIniDocument::ReadString(std::string_view section, std::string_view key, const std::string& def) const {
  std::string v;
  return ReadString(section, key, v) ? v : def;
}

bool TIniDocument::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (key.empty() || TrimIni(key) != key || key.front() == ';' || key.front() == '[' ||
      key.find_first_of("=\r\n") != std::string_view::npos)
    return false;
  TSection& s = FindOrAdd(section);
  const auto [it, added] = s.Index.try_emplace(FoldKeyName(key), s.Entries.size());
  if (added) s.Entries.push_back({std::string(key), EncodeValue(value)});
  else s.Entries[it->second].Value = EncodeValue(value);
  return true;
}

} // namespace twf
