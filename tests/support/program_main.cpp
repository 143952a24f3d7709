// twinfold as the command-line tests start it: the program's own RunProgram,
// given what a test may touch instead of what the machine has.
// - The store and its key follow HOME and XDG_CONFIG_HOME even as root, so a
//   test keeps to its temporary home and never reaches root's real store.
// - The machine is never powered off: a run that asks for it appends one line
//   to the file named by TWF_TEST_POWER_OFF_FILE (when set) and succeeds.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "app/program.h"

namespace {

int RecordPowerOff() {
  const char* file = std::getenv("TWF_TEST_POWER_OFF_FILE");
  if (!file || !*file) return 0;
  const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  static const char kLine[] = "power-off\n";
  const bool written = write(fd, kLine, sizeof kLine - 1) == ssize_t(sizeof kLine - 1);
  close(fd);
  return written ? 0 : EIO;
}

} // namespace

int main(int argc, char** argv) {
  twf::TProgramConfig config;
  config.ConfigHome = twf::TConfigHome::chEnvironment;
  config.PowerOff = RecordPowerOff;
#ifdef TWF_WINDOW_MODULE_DIR
  config.WindowModuleDir = TWF_WINDOW_MODULE_DIR;
#endif
  return twf::RunProgram(argc, argv, config);
}
