// The shared-store soak's own process (store_soak.py), on the store of
// $HOME / $XDG_CONFIG_HOME as the program finds it:
//
//   twf_soak_tool keys <slot> <seed>
//     Edits auth keys through the program's auth key functions until SIGTERM:
//     adds, changes and deletes the entries "soak-key-<slot>-0..3". Before
//     each edit it prints "begin write <name> <header> <value>" or
//     "begin delete <name>", after it "done <ok> <ms>"; "open <ms>" after
//     each opening of the store (it reopens now and then as a new process
//     would). Values are letters, digits and "-", so a line splits on blanks.
//
//   twf_soak_tool dump
//     Opens the store once and prints it as one JSON object: whether it
//     opened, what was set aside, every task's, the history's and the root's
//     values with their types, and every auth key decoded.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "authkeys/auth_keys.h"
#include "tasks/settings_store.h"
#include "tasks/task_settings.h"
#include "soak_common.h"

using namespace twf;

namespace {

using soak::gStop;
using soak::MsSince;
using soak::OnTerm;
using soak::Say;

std::unique_ptr<TSettingsStore> OpenStore() {
  const auto t0 = std::chrono::steady_clock::now();
  auto store = std::make_unique<TSettingsStore>(TSettingsStore::DefaultPath(TConfigHome::chEnvironment));
  Say("open " + std::to_string(MsSince(t0)) + (store->IsOpen() ? "" : " closed") +
      (store->SetAsidePath().empty() ? "" : " set-aside"));
  return store;
}

int EditKeys(int slot, unsigned seed) {
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigaction(SIGTERM, &sa, nullptr);
  std::mt19937 rng(seed);
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-";
  std::unique_ptr<TSettingsStore> store = OpenStore();
  if (!store->IsOpen()) return 2;
  for (int seq = 1; !gStop; ++seq) {
    // The new store opens while the old one is still open, as a second
    // store in one process would.
    if (seq % 40 == 0) store = OpenStore();
    const std::string name = "soak-key-" + std::to_string(slot) + "-" + std::to_string(rng() % 4);
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = false;
    if (rng() % 6 == 0) {
      Say("begin delete " + name);
      store->DeleteKey(std::string(kAuthKeysKey) + "\\" + name);
      std::string header, value;
      ok = !ReadAuthKey(*store, name, header, value);
    } else {
      const std::string header = "X-Soak-" + std::to_string(slot) + "-" + std::to_string(seq);
      std::string value = "v" + std::to_string(seq) + "-";
      for (size_t n = 8 + rng() % 200; n > 0; --n) value += kAlphabet[rng() % (sizeof kAlphabet - 1)];
      Say("begin write " + name + " " + header + " " + value);
      ok = WriteAuthKey(*store, name, header, value);
    }
    Say("done " + std::to_string(ok ? 1 : 0) + " " + std::to_string(MsSince(t0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 25));
  }
  return 0;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7f) {
      // Bytes, not characters: the reader turns them back into bytes.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(u));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// {"name": ["s", "text"] | ["i", number] | ["o", "bytes"], ...}
std::string ValuesJson(const TSettingsKey& key) {
  std::string out = "{";
  bool first = true;
  for (const std::string& name : key.ValueNames()) {
    out += std::string(first ? "" : ", ") + Json(name) + ": ";
    first = false;
    std::string text;
    int32_t number = 0;
    switch (key.GetValueType(name)) {
    case TValueType::vtString:
      key.ReadString(name, text);
      out += "[\"s\", " + Json(text) + "]";
      break;
    case TValueType::vtInteger:
      out += key.ReadInteger(name, number) ? "[\"i\", " + std::to_string(number) + "]" : "[\"i?\", null]";
      break;
    default: out += "[\"o\", null]";
    }
  }
  return out + "}";
}

int Dump() {
  const auto t0 = std::chrono::steady_clock::now();
  TSettingsStore store(TSettingsStore::DefaultPath(TConfigHome::chEnvironment));
  std::string out = "{\"open_ms\": " + std::to_string(MsSince(t0)) + ", \"open\": " + (store.IsOpen() ? "true" : "false") +
                    ", \"set_aside\": " + Json(store.SetAsidePath()) + ", \"refusal\": " + Json(store.Refusal()) +
                    ", \"busy\": " + (store.Busy() ? "true" : "false");
  out += ", \"tasks\": {";
  bool first = true;
  for (const std::string& task : ListTaskNames(store)) {
    if (auto key = store.OpenKeyReadOnly(TaskKeyPath(task))) {
      out += std::string(first ? "" : ", ") + Json(task) + ": " + ValuesJson(*key);
      first = false;
    }
  }
  out += "}, \"history\": ";
  auto history = store.OpenKeyReadOnly(kTaskHistoryKey);
  out += history ? ValuesJson(*history) : "{}";
  out += ", \"root\": ";
  auto root = store.OpenKeyReadOnly(kRootKey);
  out += root ? ValuesJson(*root) : "{}";
  out += ", \"authkeys\": {";
  first = true;
  for (const std::string& name : ListAuthKeyNames(store)) {
    std::string header, value;
    const bool found = ReadAuthKey(store, name, header, value);
    out += std::string(first ? "" : ", ") + Json(name) + ": {\"found\": " + (found ? "true" : "false") +
           ", \"key\": " + Json(header) + ", \"value\": " + Json(value) + "}";
    first = false;
  }
  out += "}}";
  Say(out);
  return store.IsOpen() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "keys" && argc == 4) return EditKeys(std::atoi(argv[2]), unsigned(std::strtoul(argv[3], nullptr, 10)));
  if (what == "dump" && argc == 2) return Dump();
  std::fputs("usage: twf_soak_tool keys <slot> <seed> | dump\n", stderr);
  return 2;
}
