// Takes the window's screenshots for the documentation: every page with
// example settings, and the Folders page during a run. Run it under a real
// X server (tests/ui/take_screenshots.sh uses Xvfb) so the desktop's fonts
// and style are used:
//
//   twf_ui_screenshots OUTPUT_FOLDER [SUFFIX]
//
// The window title is drawn as a strip above each picture, as a window
// manager would show it (Xvfb has none).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <thread>

#include "authkeys/auth_keys.h"
#include "support/fault_fs.h"
#include "tasks/settings_store.h"
#include "tasks/task_settings.h"
#include "ui_test_support.h"

using namespace twf;

namespace {

// Copies slowly, so the run can be pictured mid-way with a speed to show.
class TSlowCopies : public TFaultFileSystem {
public:
  using TFaultFileSystem::TFaultFileSystem;
  int CopyFileAt(int in, int dir, const std::string& name, const TCopyProgress& progress,
                 const std::atomic<bool>* cancel, bool largeFile, bool flush, const TBeforeVisible& beforeVisible,
                 int* beforeVisibleResult, TPendingCopy* held) override {
    ++FStarted;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return TFaultFileSystem::CopyFileAt(in, dir, name, progress, cancel, largeFile, flush, beforeVisible,
                                        beforeVisibleResult, held);
  }
  int Started() const { return FStarted.load(); }

private:
  std::atomic<int> FStarted{0};
};

void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

QImage WithCaption(QWidget& w) {
  const QPixmap body = w.grab();
  const qreal dpr = body.devicePixelRatio();
  const int strip = int(28 * dpr);
  QImage out(body.width(), body.height() + strip, QImage::Format_RGB32);
  out.fill(QColor(0x3c, 0x3f, 0x41));
  QPainter p(&out);
  QFont f = w.font();
  f.setPixelSize(int(13 * dpr));
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, out.width(), strip), Qt::AlignCenter, w.windowTitle());
  p.drawPixmap(QRect(0, strip, body.width(), body.height()), body); // device pixels
  return out;
}

void Save(QWidget& w, const QString& folder, const QString& name, const QString& suffix) {
  const QString path = folder + QLatin1Char('/') + name + suffix + QStringLiteral(".png");
  if (!WithCaption(w).save(path)) qFatal("cannot write %s", qPrintable(path));
  printf("%s\n", qPrintable(path));
}

void Example(TSettingsStore& store) {
  auto task = [&](const char* name, const char* src, const char* dst) {
    TTaskSettings s;
    s.Source = src;
    s.Dest = dst;
    SaveSettings(store, TaskKeyPath(name), s);
  };
  task("Documents", "/home/alex/Documents", "/media/alex/Backup/Documents");
  task("Music library", "/srv/music", "/media/alex/Backup/Music");
  task("Nightly Backup", "/home/alex/Projects", "/mnt/nas/mirror/Projects");
  task("Photos", "/home/alex/Pictures", "/media/alex/Backup/Pictures");
  AddTaskHistory(store, "Nightly Backup", 0, false, false);
  WriteAuthKey(store, "Production Key", "X-API-Key", "c2VjcmV0LXRva2Vu");
}

} // namespace

int main(int argc, char** argv) {
  QTemporaryDir home;
  const QByteArray h = home.path().toUtf8();
  setenv("HOME", h.constData(), 1);
  setenv("XDG_CONFIG_HOME", (h + "/config").constData(), 1);
  setenv("XDG_DATA_HOME", (h + "/data").constData(), 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarlex Twinfold"));
  if (argc < 2) {
    fprintf(stderr, "usage: twf_ui_screenshots OUTPUT_FOLDER [SUFFIX]\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  QDir().mkpath(out);

  // Real folders for the run picture, with friendly names.
  QTemporaryDir demoDir(QDir::tempPath() + QStringLiteral("/twinfold-demo-XXXXXX"));
  const QString demo = demoDir.path();
  const QString src = demo + QStringLiteral("/Projects");
  const QString dst = demo + QStringLiteral("/Mirror");
  for (int d = 0; d < 4; ++d) {
    QDir().mkpath(src + QStringLiteral("/module%1").arg(d));
    for (int i = 0; i < 6; ++i) {
      QFile f(src + QStringLiteral("/module%1/source%2.cpp").arg(d).arg(i));
      if (f.open(QIODevice::WriteOnly)) f.write(QByteArray(20000 * (i + 1), 'x'));
    }
  }

  TSlowCopies fs(RealFileSystem());
  TRunControllerConfig config;
  config.Fs = &fs;
  config.PowerOff = [] { return 0; };
  TSettingsStore store(test::StorePath().toStdString());
  Example(store);
  store.OpenKey(kRootKey)->WriteString("LastTask", "Nightly Backup");
  test::TScriptedDialogs dialogs;
  {
    TTaskSettings s;
    s.Source = "/home/alex/Projects";
    s.Dest = "/mnt/nas/mirror/Projects";
    s.LogEnabled = true;
    s.LogFolder = "/home/alex/Documents/Quarlex Twinfold Logs";
    s.ArchiveFolder = "/mnt/nas/archive";
    s.VerifyEnabled = true;
    s.WebhookEnabled = true;
    s.WebhookURL = "https://hooks.example.com/mirror-finished";
    s.WebhookAuthKey = "Production Key";
    s.ArchiveEnabled = true;
    SaveSettings(store, kRootKey, s);
    SaveSettings(store, TaskKeyPath("Nightly Backup"), s);
  }
  ui::TfrmTwinfoldMain w(dialogs, store, {}, &config);
  w.resize(944, 678);
  w.show();
  Wait(300);

  auto* pages = w.findChild<QTabWidget*>(QStringLiteral("pcMain"));
  const char* names[] = {"folders", "sync", "exclusions", "logging", "archive", "advanced"};
  for (int i = 0; i < pages->count(); ++i) {
    pages->setCurrentIndex(i);
    Wait(150);
    Save(w, out, QStringLiteral("page-%1").arg(QLatin1String(names[i])), suffix);
  }

  // The dialogs, each pictured while it is open.
  auto picture = [&](const char* name) {
    dialogs.Dialog([&, name](QDialog& d) {
      Wait(200);
      Save(d, out, QString::fromLatin1(name), suffix);
      return int(QDialog::Accepted);
    });
  };
  picture("dialog-about");
  w.findChild<QAction*>(QStringLiteral("miAbout"))->trigger();
  picture("dialog-auth-keys");
  w.findChild<QPushButton*>(QStringLiteral("btnManageKeys"))->click();
  picture("dialog-json-example");
  QMetaObject::invokeMethod(w.findChild<QLabel*>(QStringLiteral("lblViewJson")), "clicked");

  // A run part-way: the live log, the bar and the caption.
  pages->setCurrentIndex(0);
  w.findChild<QLineEdit*>(QStringLiteral("edtSource"))->setText(src);
  w.findChild<QLineEdit*>(QStringLiteral("edtDest"))->setText(dst);
  w.findChild<QCheckBox*>(QStringLiteral("chkAskConfirm"))->setChecked(false);
  w.findChild<QCheckBox*>(QStringLiteral("chkLogFile"))->setChecked(false);
  w.findChild<QCheckBox*>(QStringLiteral("chkArchive"))->setChecked(false);
  w.findChild<QCheckBox*>(QStringLiteral("chkWebhook"))->setChecked(false);
  w.findChild<QSpinBox*>(QStringLiteral("spinWorkers"))->setValue(1);
  w.findChild<QPushButton*>(QStringLiteral("btnMirror"))->click();
  // A speed sample needs a second of copying.
  for (int i = 0; i < 200 && fs.Started() < 10; ++i) Wait(20);
  Save(w, out, QStringLiteral("window-during-run"), suffix);
  for (int i = 0; i < 200 && w.IsRunning(); ++i) Wait(50);
  Wait(300);
  Save(w, out, QStringLiteral("window-after-run"), suffix);
  return 0;
}
