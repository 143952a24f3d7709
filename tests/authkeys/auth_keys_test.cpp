#include <gtest/gtest.h>

#include <grp.h>
#include <sodium.h>
#include <sys/wait.h>

#include <thread>

#include "authkeys/auth_keys.h"
#include "authkeys/data_protection.h"
#include "tasks/task_settings.h"
#include "tasks/test_env.h"

namespace twf {
namespace {

class DataProtectionTest : public test::TTempHome {
protected:
  void SetUp() override {
    TTempHome::SetUp();
    Key = KeyFile();
  }
  std::string KeyFolder() const { return Config + "/Zentorvi/Quarlex Twinfold"; }
  std::string KeyFile() const { return KeyFolder() + "/data-protection.key"; }
  // Sealing and opening with the key file Key (the store's, unless a test moves it).
  std::optional<std::string> Protect(const std::string& clear, std::string* whyNot = nullptr) const {
    return ProtectValue(clear, Key, whyNot);
  }
  std::string Unprotect(const std::string& stored) const { return UnprotectValue(stored, Key); }

  std::string Key;
};

TEST_F(DataProtectionTest, ValuesRoundTripInTheStoredEnvelope) {
  for (const std::string& clear : {std::string("s3cr3t"), std::string("Bearer ü€ 😀"), std::string(" padded "),
                                  std::string(5000, 'x'), std::string("nul\0inside", 10)}) {
    SCOPED_TRACE(clear.substr(0, 20));
    const std::string stored = Protect(clear).value();
    ASSERT_EQ(stored.rfind("dpapi:", 0), 0u);
    const std::string base64 = stored.substr(6);
    EXPECT_EQ(base64.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(base64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(base64.size() % 4, 0u); // padded
    EXPECT_EQ(stored.find(clear), std::string::npos);
    EXPECT_EQ(Unprotect(stored), clear);
    EXPECT_NE(Protect(clear), stored); // a fresh nonce every time
  }
  EXPECT_EQ(Protect(""), "");
}

TEST_F(DataProtectionTest, StoredFormsThatAreNotASealedValue) {
  ASSERT_NE(Protect("make a key"), "make a key");
  const std::string sealed = Protect("abc").value();
  struct Case {
    std::string stored, want;
  } cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"DPAPI:" + sealed.substr(6), "DPAPI:" + sealed.substr(6)}, // the prefix is case-sensitive
      {" dpapi:x", " dpapi:x"},
      {"dpapi:", ""},
      {"dpapi:!!!not base64", ""},
      {"dpapi:QUJD", ""}, // valid Base64, too short to be a blob
      {sealed.substr(0, sealed.size() - 8), ""},
      {"dpapi:" + std::string(80, 'A'), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Unprotect(c.stored), c.want) << c.stored;
  // A damaged blob: one changed byte of the ciphertext.
  std::string bin(200, '\0');
  size_t len = 0;
  ASSERT_EQ(sodium_base642bin(reinterpret_cast<unsigned char*>(bin.data()), bin.size(), sealed.c_str() + 6,
                              sealed.size() - 6, nullptr, &len, nullptr, sodium_base64_VARIANT_ORIGINAL),
            0);
  bin[len - 1] ^= 1;
  std::string text(sodium_base64_ENCODED_LEN(len, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<unsigned char*>(bin.data()), len,
                    sodium_base64_VARIANT_ORIGINAL);
  EXPECT_EQ(Unprotect("dpapi:" + std::string(text.c_str())), "");
}

TEST_F(DataProtectionTest, TheKeyFileIsPrivateAndCreatedOnFirstUse) {
  EXPECT_EQ(ProtectionKeyPath(StorePath()), KeyFile()); // beside the store
  EXPECT_EQ(Unprotect("plain"), "plain");
  EXPECT_EQ(Unprotect("dpapi:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"), "");
  EXPECT_FALSE(Exists(KeyFile())); // reading never creates a key

  // A folder someone made readable for others is tightened.
  ASSERT_EQ(system(("mkdir -p '" + KeyFolder() + "' && chmod 755 '" + KeyFolder() + "'").c_str()), 0);
  const std::string stored = Protect("v").value();
  EXPECT_EQ(Mode(KeyFile()), 0600u);
  EXPECT_EQ(Mode(KeyFolder()) & 077, 0u);
  struct stat st;
  ASSERT_EQ(stat(KeyFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 32);

  // A damaged key file is never replaced: values sealed before stay recoverable.
  const std::string key = ReadFile(KeyFile());
  WriteFile(KeyFile(), "short");
  std::string whyNot;
  EXPECT_EQ(Protect("clear", &whyNot), std::nullopt); // no key: nothing to store, never the clear value
  EXPECT_EQ(whyNot, "the key file \"" + KeyFile() + "\" could not be read");
  EXPECT_EQ(Unprotect(stored), "");
  EXPECT_EQ(ReadFile(KeyFile()), "short");
  WriteFile(KeyFile(), key);
  EXPECT_EQ(Unprotect(stored), "v");
}

TEST_F(DataProtectionTest, AValueSealedUnderOneKeyDoesNotOpenWithAnother) {
  const std::string stored = Protect("only mine").value();
  Key = Root + "/other-user/data-protection.key";
  EXPECT_EQ(Unprotect(stored), "");
  const std::string theirs = Protect("theirs").value();
  EXPECT_EQ(Unprotect(theirs), "theirs");
  EXPECT_EQ(Unprotect(stored), "");
  Key = KeyFile();
  EXPECT_EQ(Unprotect(stored), "only mine");
  EXPECT_EQ(Unprotect(theirs), "");
}

// A real second user: a child process switched to uid 65534 can neither read
// our key nor open our values with a key of its own.
TEST_F(DataProtectionTest, AnotherUserCannotOpenOurValues) {
  if (geteuid() != 0) GTEST_SKIP() << "switching users needs root";
  const std::string stored = Protect("root's secret").value();
  std::string theirHome = "/tmp/twf-nobody-XXXXXX";
  ASSERT_NE(mkdtemp(theirHome.data()), nullptr);
  ASSERT_EQ(chown(theirHome.c_str(), 65534, 65534), 0);

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int failures = 0;
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
      _exit(90);
    // Our config folder: the key cannot be read, and it is not replaced.
    if (Unprotect(stored) != "") failures |= 1;
    if (Protect("x").has_value()) failures |= 2;
    // A config folder of its own: it gets its own key, which does not open ours.
    Key = theirHome + "/data-protection.key";
    const std::string own = Protect("nobody's").value_or("");
    if (own.rfind("dpapi:", 0) != 0 || Unprotect(own) != "nobody's") failures |= 4;
    if (Unprotect(stored) != "") failures |= 8;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Unprotect(stored), "root's secret");
  RemoveTree(theirHome);
}

// A key file that another user owns is neither used nor replaced: its owner
// could read whatever it sealed, and replacing it would lose every value
// sealed before. Once the owner is put right, the values open again.
TEST_F(DataProtectionTest, AKeyOfAnotherUserIsNeitherUsedNorReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "giving the key to another user needs root";
  const std::string stored = Protect("root's secret").value();
  const std::string key = ReadFile(KeyFile());
  ASSERT_EQ(chown(KeyFile().c_str(), 65534, 65534), 0);
  std::string whyNot;
  EXPECT_EQ(Protect("new secret", &whyNot), std::nullopt);
  EXPECT_EQ(whyNot, "the key file \"" + KeyFile() + "\" belongs to another user");
  EXPECT_EQ(Unprotect(stored), "");
  EXPECT_EQ(ReadFile(KeyFile()), key);
  ASSERT_EQ(chown(KeyFile().c_str(), 0, 0), 0);
  EXPECT_EQ(Unprotect(stored), "root's secret");
}

TEST_F(DataProtectionTest, FirstUseFromSeveralThreadsMakesOneKey) {
  std::vector<std::string> stored(6);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < stored.size(); ++i)
    threads.emplace_back([&, i] { stored[i] = Protect("value " + std::to_string(i)).value_or(""); });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(Unprotect(stored[i]), "value " + std::to_string(i));
}

TEST(MaskValueTest, ShowsOnlyTheLastFourUnits) {
  struct Case {
    std::string clear, want;
  } cases[] = {
      {"", ""},
      {"a", "*"},
      {"abcd", "****"},
      {"abcde", "*bcde"},
      {"12345678", "****5678"},
      {"ü", "*"},
      {"€uro12", "**ro12"},
      {"😀abcd", "**abcd"},   // a character outside the BMP is two units
      {"a😀bc", "*😀bc"},
      {"😀abc", "**abc"},     // a character cut by the boundary stays hidden
      {"x\xff" "abcd", "**abcd"}, // a stray byte counts as one unit
  };
  for (const Case& c : cases) EXPECT_EQ(MaskValue(c.clear), c.want) << c.clear;
}

class AuthKeyStoreTest : public test::TTempHome {};

TEST_F(AuthKeyStoreTest, WriteReadListDelete) {
  TSettingsStore store(StorePath());
  EXPECT_TRUE(ListAuthKeyNames(store).empty());
  ASSERT_TRUE(WriteAuthKey(store, "Prod", "X-API-Key", "s3cr3t-value"));
  ASSERT_TRUE(WriteAuthKey(store, "beta", "Authorization", "Bearer abc"));
  ASSERT_TRUE(WriteAuthKey(store, "Empty", "X-Empty", ""));
  EXPECT_EQ(ListAuthKeyNames(store), (std::vector<std::string>{"beta", "Empty", "Prod"}));

  std::string header = "stale", value = "stale";
  ASSERT_TRUE(ReadAuthKey(store, "prod", header, value));
  EXPECT_EQ(header, "X-API-Key");
  EXPECT_EQ(value, "s3cr3t-value");
  auto entry = store.OpenKeyReadOnly("AuthKeys\\Prod");
  ASSERT_TRUE(entry);
  EXPECT_EQ(ReadStringDef(*entry, "Value", "").rfind("dpapi:", 0), 0u);
  EXPECT_EQ(ReadStringDef(*store.OpenKeyReadOnly("AuthKeys\\Empty"), "Value", "?"), ""); // no prefix

  // Another letter case is the same entry.
  ASSERT_TRUE(WriteAuthKey(store, "PROD", "X-Other", "new"));
  EXPECT_EQ(ListAuthKeyNames(store), (std::vector<std::string>{"beta", "Empty", "Prod"}));
  ReadAuthKey(store, "Prod", header, value);
  EXPECT_EQ(value, "new");

  header = value = "stale";
  EXPECT_FALSE(ReadAuthKey(store, "Missing", header, value));
  EXPECT_EQ(header + value, "");
  EXPECT_FALSE(ReadAuthKey(store, "", header, value));
  EXPECT_FALSE(WriteAuthKey(store, "a\\b", "K", "V"));
  EXPECT_FALSE(WriteAuthKey(store, "", "K", "V"));
  EXPECT_EQ(ListAuthKeyNames(store).size(), 3u);

  DeleteAuthKey(store, "prod");
  DeleteAuthKey(store, "never existed");
  EXPECT_EQ(ListAuthKeyNames(store), (std::vector<std::string>{"beta", "Empty"}));
  TSettingsStore fresh(Root + "/fresh.db");
  DeleteAuthKey(fresh, "x"); // no AuthKeys key at all
  EXPECT_FALSE(fresh.KeyExists("AuthKeys"));
}

TEST_F(AuthKeyStoreTest, AnUnreadableValueStillFindsTheEntry) {
  TSettingsStore store(StorePath());
  auto entry = store.OpenKey("AuthKeys\\Moved");
  entry->WriteString("Key", "X-Key");
  entry->WriteString("Value", "dpapi:c2VhbGVkIGVsc2V3aGVyZSwgbG9uZyBlbm91Z2ggdG8gbG9vayByZWFs");
  store.OpenKey("AuthKeys\\HeaderOnly");
  std::string header, value = "stale";
  EXPECT_TRUE(ReadAuthKey(store, "Moved", header, value));
  EXPECT_EQ(header, "X-Key");
  EXPECT_EQ(value, "");
  EXPECT_TRUE(ReadAuthKey(store, "HeaderOnly", header, value));
  EXPECT_EQ(header + value, "");
}

TEST_F(AuthKeyStoreTest, TheClearValueNeverReachesTheStoreFiles) {
  const std::string secret = "correct-horse-battery-staple";
  {
    TSettingsStore store(StorePath());
    ASSERT_TRUE(WriteAuthKey(store, "Prod", "X-API-Key", secret));
    for (const char* suffix : {"", "-wal"})
      EXPECT_EQ(ReadFile(StorePath() + suffix).find(secret), std::string::npos) << suffix;
  }
  EXPECT_EQ(ReadFile(StorePath()).find(secret), std::string::npos);
}

TEST_F(AuthKeyStoreTest, AddUpdateTrimsAndRefuses) {
  TSettingsStore store(StorePath());
  std::string saved;
  EXPECT_FALSE(SaveAuthKeyEntry(store, "  Prod \t", "  X-API-Key  ", " spaced value ", &saved));
  EXPECT_EQ(saved, "Prod");
  std::string header, value;
  ASSERT_TRUE(ReadAuthKey(store, "Prod", header, value));
  EXPECT_EQ(header, "X-API-Key");
  EXPECT_EQ(value, " spaced value ");

  EXPECT_EQ(SaveAuthKeyEntry(store, "   ", "K", "V"), (TUserMessage{TMessageKind::mkError, kMsgEnterKeyName}));
  EXPECT_EQ(SaveAuthKeyEntry(store, " a\\b ", "K", "V"), (TUserMessage{TMessageKind::mkError, kMsgKeyNameBackslash}));
  EXPECT_EQ(std::string(kMsgKeyNameBackslash), "The name cannot contain \"\\\".");
  EXPECT_EQ(ListAuthKeyNames(store), std::vector<std::string>{"Prod"});

  EXPECT_EQ(DeleteKeysQuestion(3), (TUserMessage{TMessageKind::mkConfirmation, "Delete 3 selected key(s)?", false}));
}

TEST_F(AuthKeyStoreTest, AValueThatCannotBeProtectedIsNotSaved) {
  TSettingsStore store(StorePath());
  // Something that is not a key file stands where the key belongs.
  const std::string keyPath = Config + "/Zentorvi/Quarlex Twinfold/data-protection.key";
  ASSERT_EQ(mkdir(keyPath.c_str(), 0700), 0);
  const std::optional<TUserMessage> refusal = SaveAuthKeyEntry(store, "Stage", "X-API-Key", "stage-secret");
  ASSERT_TRUE(refusal);
  EXPECT_EQ(*refusal, (TUserMessage{TMessageKind::mkError, std::string(kMsgCannotProtect) + "the key file \"" +
                                                              keyPath + "\" could not be read."}));
  EXPECT_FALSE(store.KeyExists("AuthKeys\\Stage"));
  for (const char* suffix : {"", "-wal"})
    EXPECT_EQ(ReadFile(StorePath() + suffix).find("stage-secret"), std::string::npos) << suffix;
  // An empty value needs no protection and is saved.
  EXPECT_FALSE(SaveAuthKeyEntry(store, "Open", "X-Open", ""));
  EXPECT_TRUE(store.KeyExists("AuthKeys\\Open"));
}

// A store that cannot take the entry is a refusal too, never a silent success.
TEST_F(AuthKeyStoreTest, AKeyTheStoreCannotTakeIsReported) {
  TSettingsStore holder(StorePath()); // another program holds the write lock meanwhile
  ASSERT_TRUE(holder.Transact([&] {
    TSettingsStore late(holder.FilePath(), 300);
    EXPECT_FALSE(late.IsOpen());
    std::string saved;
    const std::optional<TUserMessage> refusal = SaveAuthKeyEntry(late, "Open", "X-Open", "", &saved);
    EXPECT_TRUE(refusal && refusal->Kind == TMessageKind::mkError);
    EXPECT_TRUE(saved.empty());
    return true;
  }));
  EXPECT_FALSE(holder.KeyExists("AuthKeys\\Open"));
}

} // namespace
} // namespace twf
