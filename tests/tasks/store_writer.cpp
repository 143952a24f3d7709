// Helper process for the two-process store test: writes <count> values named
// <tag><i> into Tasks\Shared and adds 1 to the root's Counter <count> times,
// reopening the store now and then as a real window or run would.
#include <cstdlib>
#include <string>

#include "tasks/settings_store.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string path = argv[1], tag = argv[2];
  const int count = std::atoi(argv[3]);
  int failures = 0;
  for (int i = 0; i < count;) {
    twf::TSettingsStore store(path);
    for (int j = 0; j < 25 && i < count; ++j, ++i) {
      auto key = store.OpenKey("Tasks\\Shared");
      if (!key || !key->WriteInteger(tag + std::to_string(i), i)) ++failures;
      const bool counted = store.Transact([&] {
        auto root = store.OpenKey("");
        int32_t n = 0;
        if (!root) return false;
        root->ReadInteger("Counter", n);
        return root->WriteInteger("Counter", n + 1);
      });
      if (!counted) ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
