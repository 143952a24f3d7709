#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include "tasks/settings_store.h"
#include "tasks/test_env.h"

extern char** environ;

namespace twf {
namespace {

class StoreProcessesTest : public test::TTempHome {};

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Both processes start before the database exists, so they also race to
// create the file and its tables.
TEST_F(StoreProcessesTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 300;
  const std::string path = StorePath();
  const pid_t a = Spawn({TWF_STORE_WRITER, path, "a", std::to_string(kCount)});
  const pid_t b = Spawn({TWF_STORE_WRITER, path, "b", std::to_string(kCount)});
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);

  TSettingsStore store(path);
  EXPECT_TRUE(store.SetAsidePath().empty());
  auto shared = store.OpenKeyReadOnly("Tasks\\Shared");
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->ValueNames().size(), 2u * kCount);
  for (const char* tag : {"a", "b"}) {
    for (int i = 0; i < kCount; ++i) {
      int32_t v = -1;
      ASSERT_TRUE(shared->ReadInteger(tag + std::to_string(i), v)) << tag << i;
      EXPECT_EQ(v, i);
    }
  }
  int32_t counter = 0;
  EXPECT_TRUE(store.OpenKeyReadOnly("")->ReadInteger("Counter", counter));
  EXPECT_EQ(counter, 2 * kCount); // read-modify-write in a transaction loses no increment
}

// Closing any descriptor of a file drops every lock this process holds on
// it, SQLite's included. A second store opened in a process whose first one
// is open must not take the first one's locks away: another process would
// then find nobody using the store, checkpoint it and remove its journal
// while this process still writes into that journal.
TEST_F(StoreProcessesTest, ASecondStoreInOneProcessKeepsTheFirstOnesLocks) {
  const std::string path = StorePath();
  TSettingsStore first(path);
  ASSERT_TRUE(first.OpenKey("Tasks\\Mine")->WriteInteger("before", 1));
  {
    TSettingsStore second(path);
    ASSERT_TRUE(second.IsOpen());
    EXPECT_TRUE(second.KeyExists("Tasks\\Mine"));
    ASSERT_EQ(Wait(Spawn({TWF_STORE_WRITER, path, "other", "30"})), 0);
    ASSERT_TRUE(second.OpenKey("Tasks\\Mine")->WriteInteger("second", 2));
  }
  ASSERT_EQ(Wait(Spawn({TWF_STORE_WRITER, path, "later", "30"})), 0);
  ASSERT_TRUE(first.OpenKey("Tasks\\Mine")->WriteInteger("after", 3));

  TSettingsStore reopened(path);
  EXPECT_TRUE(reopened.SetAsidePath().empty());
  auto mine = reopened.OpenKeyReadOnly("Tasks\\Mine");
  ASSERT_TRUE(mine);
  for (const char* name : {"before", "second", "after"}) EXPECT_TRUE(mine->ValueExists(name)) << name;
  auto shared = reopened.OpenKeyReadOnly("Tasks\\Shared");
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->ValueNames().size(), 60u);
  int32_t counter = 0;
  EXPECT_TRUE(reopened.OpenKeyReadOnly("")->ReadInteger("Counter", counter));
  EXPECT_EQ(counter, 60);
}

} // namespace
} // namespace twf
