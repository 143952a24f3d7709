// Runs a test step where the kernel refuses unnamed files (O_TMPFILE), as
// a file system without them does.
#pragma once

#include <functional>

namespace twf::test {

// Runs step in a child process whose kernel refuses unnamed files
// (O_TMPFILE) as a file system without them does, and returns what step
// returned (0..254), or -1 when the refusal could not be set up.
int RunWithoutUnnamedFiles(const std::function<int()>& step);

} // namespace twf::test
