// The window's side of the program entry: the application object, the main
// window with its run controller, the event loop and the exit code.
#include <QApplication>
#include <memory>

#include "runctl/run_controller.h"
#include "runctl/window_entry.h"
#include "tasks/settings_store.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace twf {

int RunWindowApp(int& argc, char** argv, const TWindowStartup& startup) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarlex Twinfold"));
  ui::TQtDialogs dialogs;
  TSettingsStore store;
  int exitCode = 0;
  {
    ui::TfrmTwinfoldMain window(dialogs, store, startup.Cmd);
    if (startup.Cmd.Min)
      window.showMinimized();
    else
      window.show();
    std::shared_ptr<void> listening;
    if (startup.ListenForActivation) {
      listening = startup.ListenForActivation([&window] {
        if (window.isMinimized()) window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window.show();
        window.raise();
        window.activateWindow();
      });
    }
    app.exec();
    exitCode = window.Runs().ExitCode();
    listening.reset(); // before the application object goes
  }
  return exitCode;
}

} // namespace twf
