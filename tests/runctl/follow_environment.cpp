// Linked into test programs that reach the settings store or the auth key
// file through the default location: they point HOME at temporary folders,
// which root would otherwise ignore in favour of its real home.
#include "tasks/settings_store.h"

namespace {
const bool kFollowEnvironment = (twf::TSettingsStore::FollowEnvironmentAsRootForTests(true), true);
} // namespace
