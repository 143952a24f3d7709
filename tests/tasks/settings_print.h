// Readable test failures for the task value type.
#pragma once

#include <gtest/gtest.h>

#include <ostream>

#include "tasks/task_settings.h"

namespace twf {

inline void PrintTo(const TTaskSettings& s, std::ostream* os) {
#define TWF_PRINT(m) *os << #m "=" << s.m << "; "
  TWF_PRINT(Source); TWF_PRINT(Dest); TWF_PRINT(CompareMode); TWF_PRINT(Workers); TWF_PRINT(PreserveAcl);
  TWF_PRINT(SkipNewer); TWF_PRINT(AskConfirm); TWF_PRINT(WarnMassDelete); TWF_PRINT(WarnPct); TWF_PRINT(LogJson);
  TWF_PRINT(WebhookEnabled); TWF_PRINT(WebhookURL); TWF_PRINT(WebhookAuthKey); TWF_PRINT(WebhookVerifySSL);
  TWF_PRINT(VolCheckEnabled); TWF_PRINT(RecycleDeletes); TWF_PRINT(RetryLocked); TWF_PRINT(VerifyEnabled);
  TWF_PRINT(ArchiveEnabled); TWF_PRINT(ArchiveFolder); TWF_PRINT(VerifyHash); TWF_PRINT(ShutdownDone);
  TWF_PRINT(ExclPatternsEnabled); TWF_PRINT(ExclEmpty); TWF_PRINT(ExclHiddenFiles); TWF_PRINT(ExclHiddenDirs);
  TWF_PRINT(ExclLargerEnabled); TWF_PRINT(ExclLargerMB); TWF_PRINT(LogEnabled); TWF_PRINT(LogFolder);
  TWF_PRINT(LogError); TWF_PRINT(LogCopy); TWF_PRINT(LogDelete); TWF_PRINT(LogMkDir); TWF_PRINT(LogRmDir);
#undef TWF_PRINT
  *os << "ExclPatterns=" << ::testing::PrintToString(s.ExclPatterns);
}

} // namespace twf
