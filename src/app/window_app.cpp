// The window module's side of the program entry (window_entry.h): the
// application object, the main window with its run controller, the
// single-instance listener, the event loop and the exit code.
#include <QApplication>
#include <memory>

#include "app/instance_server.h"
#include "app/window_entry.h"
#include "runctl/run_controller.h"
#include "tasks/settings_store.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace twf {

int RunWindowApp(int& argc, char** argv, const TWindowStartup& startup) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarlex Twinfold"));
  // The menu entry's name (data/*.desktop): the desktop matches the window
  // to its entry and icon by it (the Wayland app id).
  QGuiApplication::setDesktopFileName(QStringLiteral("com.zentorvi.Twinfold"));
  ui::TQtDialogs dialogs;
  TSettingsStore store(startup.StorePath);
  int exitCode = 0;
  {
    ui::TfrmTwinfoldMain window(dialogs, store, startup.Cmd, &startup.Run);
    if (startup.Cmd.Min)
      window.showMinimized();
    else
      window.show();
    std::unique_ptr<TInstanceServer> listening;
    if (startup.ListenForActivation) {
      listening = std::make_unique<TInstanceServer>([&window] {
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

extern "C" {

__attribute__((visibility("default"))) extern const char twf_window_stamp[] = TWF_WINDOW_STAMP;

__attribute__((visibility("default"))) int twf_window_main(int* argc, char** argv, const twf::TWindowStartup* startup) {
  return twf::RunWindowApp(*argc, argv, *startup);
}

} // extern "C"
