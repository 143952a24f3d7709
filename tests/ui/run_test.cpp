// Runs from the window: Dry Run and Mirror with the pane, the progress bar
// and the caption, the questions, Cancel and closing during a run, a
// command-line run, and a run that logs 50,000 lines.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/fault_fs.h"
#include "runctl/machine_text.h"
#include "tasks/task_settings.h"
#include "ui_test_support.h"

using namespace twf;
using namespace twf::test;

namespace {

// Holds the run's threads at a chosen file-system call until the test lets
// them go: permits pass one call each; Open lets everything pass.
class TGate {
public:
  void Pass() {
    std::unique_lock<std::mutex> l(FLock);
    ++FWaiting;
    FChanged.notify_all();
    FChanged.wait(l, [&] { return FOpen || FPermits > 0; });
    if (!FOpen) --FPermits;
    --FWaiting;
  }
  void Close() {
    std::lock_guard<std::mutex> g(FLock);
    FOpen = false;
  }
  void Allow(int n) {
    std::lock_guard<std::mutex> g(FLock);
    FPermits += n;
    FChanged.notify_all();
  }
  void Open() {
    std::lock_guard<std::mutex> g(FLock);
    FOpen = true;
    FChanged.notify_all();
  }
  int Waiting() {
    std::lock_guard<std::mutex> g(FLock);
    return FWaiting;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = true;
  int FPermits = 0;
  int FWaiting = 0;
};

void WriteFile(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(path));
  f.write(data);
}

// A window whose runs go through a file layer the test can hold, with a
// source and a destination folder. Gates open before the window goes, so
// no run thread is left waiting.
struct TRunRig {
  QTemporaryDir Dir;
  QString Src = Dir.path() + QStringLiteral("/src");
  QString Dst = Dir.path() + QStringLiteral("/dst");
  TFaultFileSystem Fs{RealFileSystem()};
  TGate ScanGate, CopyGate;
  TRunControllerConfig Config;
  TWindowFixture F;

  TRunRig() {
    QDir().mkpath(Src);
    Fs.SetHook([this](TFsCall kind, const std::string& path) {
      if (kind == TFsCall::ListDir && path == Src.toStdString()) ScanGate.Pass();
      if (kind == TFsCall::CopyFile) CopyGate.Pass();
    });
    Config.Fs = &Fs;
  }
  ~TRunRig() {
    ScanGate.Open();
    CopyGate.Open();
    F.Close();
  }

  ui::TfrmTwinfoldMain& Open(const TCommandLine& cmd = {}) {
    auto& w = F.Open(cmd, &Config);
    F.Find<QSpinBox>("spinWorkers")->setValue(1);
    F.Find<QLineEdit>("edtSource")->setText(Src);
    F.Find<QLineEdit>("edtDest")->setText(Dst);
    return w;
  }
  QString Caption() { return F.W()->windowTitle(); }
  QStringList Pane() { return F.Find<QPlainTextEdit>("memoLog")->toPlainText().split(QLatin1Char('\n')); }
  QProgressBar* Bar() { return F.Find<QProgressBar>("pbProgress"); }
  void Trigger(const char* command) { TriggerAction(F.W(), command); }
};

QString Base() { return QStringLiteral("Quarlex Twinfold v") + QString::fromStdString(AppVersionString()); }

bool PaneHas(const QStringList& pane, const QString& part) {
  return std::any_of(pane.begin(), pane.end(), [&](const QString& l) { return l.contains(part); });
}

} // namespace

class TRunTest : public QObject {
  Q_OBJECT

private slots:
  void dryRunShowsThePlanAndChangesNothing();
  void mirrorAsksFirstAndThenCopies();
  void refusalsShowAnErrorAndThePage_data();
  void refusalsShowAnErrorAndThePage();
  void progressBarAndCaptionFollowTheRun();
  void windowIsLockedDuringARun();
  void cancelEndsTheRunEarly();
  void closingDuringARunCancelsAndKeepsTheWindow();
  void massDeleteQuestionHoldsTheRun_data();
  void massDeleteQuestionHoldsTheRun();
  void powerOffOnlyAfterACleanRealRun_data();
  void powerOffOnlyAfterACleanRealRun();
  void commandLineRunClosesTheWindow();
  void fiftyThousandLinesKeepTheWindowResponsive();
};

void TRunTest::dryRunShowsThePlanAndChangesNothing() {
  TRunRig rig;
  WriteFile(rig.Src + QStringLiteral("/a.txt"), "alpha");
  WriteFile(rig.Src + QStringLiteral("/sub/b.txt"), "beta");
  PutTask(rig.F.Store(), "Preview", rig.Src.toStdString(), rig.Dst.toStdString());
  auto& w = rig.Open();
  auto* list = rig.F.Find<QListWidget>("lstTasks");
  list->setCurrentRow(0);
  QTest::keyClick(list, Qt::Key_Return);
  rig.F.Find<QSpinBox>("spinWorkers")->setValue(1);
  rig.F.Find<QTabWidget>("pcMain")->setCurrentIndex(1);

  rig.Trigger("actDryRun");
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  const QStringList pane = rig.Pane();
  QVERIFY2(PaneHas(pane, QStringLiteral("Plan:        copy 2,")), qPrintable(pane.join('\n')));
  QVERIFY(PaneHas(pane, QStringLiteral("=== Quarlex Twinfold finished ===")));
  QVERIFY(!QFileInfo::exists(rig.Dst + QStringLiteral("/a.txt")));
  QCOMPARE(rig.Caption(), Base());
  QCOMPARE(rig.Bar()->maximum(), 100);
  QCOMPARE(rig.Bar()->value(), 0);
  QCOMPARE(rig.F.Find<QTabWidget>("pcMain")->currentWidget()->objectName(), QStringLiteral("tabFolders"));
  QVERIFY(rig.F.Dialogs.Calls.empty()); // a dry run never asks
  auto history = rig.F.Store().OpenKeyReadOnly(kTaskHistoryKey);
  QVERIFY(history);
  QVERIFY(QString::fromStdString(ReadStringDef(*history, "Preview", "")).endsWith(" - success (dry run)"));
}

void TRunTest::mirrorAsksFirstAndThenCopies() {
  TRunRig rig;
  WriteFile(rig.Src + QStringLiteral("/a.txt"), "alpha");
  auto& w = rig.Open();
  rig.F.Find<QPlainTextEdit>("memoLog")->setPlainText(QStringLiteral("earlier run"));
  rig.F.Dialogs.Answer(TAnswer::anNo);
  rig.Trigger("actMirror");
  const TDialogCall* q = rig.F.Dialogs.LastMessage();
  QVERIFY(q);
  QCOMPARE(q->Message.Text, QStringLiteral("Files on destination may be deleted when mirroring.\r\n\r\nContinue?"));
  QCOMPARE(q->Message.Kind, TMessageKind::mkWarning);
  QCOMPARE(q->Message.Default, TAnswer::anNo);
  QVERIFY(!w.IsRunning());
  QCOMPARE(rig.Pane(), QStringList{"earlier run"}); // a declined run leaves the last lines

  rig.F.Dialogs.Answer(TAnswer::anYes);
  rig.Trigger("actMirror");
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  QFile copy(rig.Dst + QStringLiteral("/a.txt"));
  QVERIFY(copy.open(QIODevice::ReadOnly));
  QCOMPARE(copy.readAll(), QByteArray("alpha"));
  QVERIFY(PaneHas(rig.Pane(), QStringLiteral("Copied:      1 file(s)")));
  QVERIFY(!PaneHas(rig.Pane(), QStringLiteral("earlier run")));
  QVERIFY(rig.F.Dialogs.Problems.isEmpty());
}

void TRunTest::refusalsShowAnErrorAndThePage_data() {
  QTest::addColumn<QString>("source");  // relative to the rig, "-" for the rig's own
  QTest::addColumn<QString>("dest");
  QTest::addColumn<bool>("archiveInDest");
  QTest::addColumn<QString>("message");
  QTest::addColumn<QString>("page");
  QTest::newRow("missing source") << "/nowhere" << "-" << false << "Please select a valid SOURCE folder." << "tabFolders";
  QTest::newRow("no destination") << "-" << "" << false << "Please select a DESTINATION folder." << "tabFolders";
  QTest::newRow("destination inside source") << "-" << "/src/mirror" << false
                                             << "The destination cannot be inside the source folder." << "tabSync";
  QTest::newRow("archive inside destination")
      << "-" << "-" << true
      << "The archive folder cannot be inside the destination (or vice versa), or archived files would be mirrored "
         "away again."
      << "tabArchive";
}

void TRunTest::refusalsShowAnErrorAndThePage() {
  QFETCH(QString, source);
  QFETCH(QString, dest);
  QFETCH(bool, archiveInDest);
  QFETCH(QString, message);
  QFETCH(QString, page);
  TRunRig rig;
  auto& w = rig.Open();
  if (source != QLatin1String("-")) rig.F.Find<QLineEdit>("edtSource")->setText(rig.Dir.path() + source);
  if (dest != QLatin1String("-"))
    rig.F.Find<QLineEdit>("edtDest")->setText(dest.isEmpty() ? QString() : rig.Dir.path() + dest);
  if (archiveInDest) {
    rig.F.Find<QCheckBox>("chkArchive")->setChecked(true);
    rig.F.Find<QLineEdit>("edtArchiveFolder")->setText(rig.Dst + QStringLiteral("/archive"));
  }
  rig.F.Find<QTabWidget>("pcMain")->setCurrentIndex(1);
  rig.F.Dialogs.Answer(TAnswer::anOk);
  rig.Trigger("actDryRun");
  QVERIFY(!w.IsRunning());
  QCOMPARE(rig.F.Dialogs.MessageTexts(), QStringList{message});
  QCOMPARE(rig.F.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);
  QCOMPARE(rig.F.Find<QTabWidget>("pcMain")->currentWidget()->objectName(), page);
}

void TRunTest::progressBarAndCaptionFollowTheRun() {
  TRunRig rig;
  for (const char* n : {"1.bin", "2.bin", "3.bin"}) WriteFile(rig.Src + QLatin1Char('/') + n, QByteArray(4096, 'x'));
  auto& w = rig.Open();
  rig.F.Find<QCheckBox>("chkAskConfirm")->setChecked(false);
  rig.ScanGate.Close();
  rig.CopyGate.Close();
  rig.Trigger("actMirror");
  QVERIFY(w.IsRunning());
  // Scanning: the plan is unknown, so the bar is a marquee.
  QTRY_VERIFY(rig.ScanGate.Waiting() == 1);
  QTRY_COMPARE(rig.Caption(), Base() + QStringLiteral(" - Scanning"));
  QCOMPARE(rig.Bar()->maximum(), 0);
  rig.ScanGate.Open();
  // One worker held at its first copy: 0 of 3 done.
  QTRY_VERIFY(rig.CopyGate.Waiting() == 1);
  QTRY_COMPARE(rig.Caption(), Base() + QStringLiteral(" - Copying files 0%"));
  QCOMPARE(rig.Bar()->maximum(), 3);
  QCOMPARE(rig.Bar()->value(), 0);
  rig.CopyGate.Allow(1);
  QTRY_COMPARE(rig.Bar()->value(), 1);
  QTRY_VERIFY(rig.Caption().startsWith(Base() + QStringLiteral(" - Copying files 33%")));
  rig.CopyGate.Open();
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  QCOMPARE(rig.Caption(), Base());
  QCOMPARE(rig.Bar()->maximum(), 100);
  QCOMPARE(QDir(rig.Dst).entryList(QDir::Files).size(), 3);
}

void TRunTest::windowIsLockedDuringARun() {
  TRunRig rig;
  WriteFile(rig.Src + QStringLiteral("/a.txt"), "a");
  PutTask(rig.F.Store(), "Other", "/other", "/d");
  auto& w = rig.Open();
  rig.CopyGate.Close();
  rig.Trigger("actDryRun");
  QTRY_VERIFY(w.IsRunning());

  // Clone Task too: binding the window to the copy mid-run sent the run's
  // history to the copy.
  for (const char* name : {"pnlLeft", "tbMain", "pnlFolderInputs", "btnMirror", "btnDryRun", "btnSaveTask",
                           "btnCloneTask", "btnNewTask", "tabSync", "tabExclusions", "tabLogging", "tabArchive",
                           "tabAdvanced"})
    QVERIFY2(!rig.F.Find<QWidget>(name)->isEnabled(), name);
  for (const char* name : {"btnCancel", "memoLog", "tabFolders"})
    QVERIFY2(rig.F.Find<QWidget>(name)->isEnabled(), name);

  // Ctrl+S saves nothing, a drop changes nothing, the list loads nothing.
  auto* memo = rig.F.Find<QPlainTextEdit>("memoLog");
  QTest::keyClick(memo, Qt::Key_S, Qt::ControlModifier);
  DropPaths(memo, {rig.Dir.path()});
  QCOMPARE(rig.F.Find<QLineEdit>("edtSource")->text(), rig.Src);
  auto* list = rig.F.Find<QListWidget>("lstTasks");
  list->setCurrentRow(0);
  QTest::keyClick(rig.F.Find<QLineEdit>("edtSearch"), Qt::Key_Return);
  QVERIFY(w.CurrentTaskName().empty());
  QVERIFY(rig.F.Dialogs.Calls.empty());

  rig.CopyGate.Open();
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  for (const char* name : {"pnlLeft", "tbMain", "pnlFolderInputs", "btnMirror", "btnCloneTask", "tabSync", "tabAdvanced"})
    QVERIFY2(rig.F.Find<QWidget>(name)->isEnabled(), name);
  QVERIFY(!rig.F.Find<QPushButton>("btnCancel")->isEnabled());
  QVERIFY(!rig.F.Find<QWidget>("cmbVerify")->isEnabled()); // its own rule still holds
}

void TRunTest::cancelEndsTheRunEarly() {
  TRunRig rig;
  for (const char* n : {"1", "2", "3"}) WriteFile(rig.Src + QLatin1Char('/') + n, "x");
  PutTask(rig.F.Store(), "Job", rig.Src.toStdString(), rig.Dst.toStdString());
  rig.F.Store().OpenKey(kRootKey)->WriteString("LastTask", "Job");
  auto& w = rig.Open();
  rig.F.Find<QCheckBox>("chkAskConfirm")->setChecked(false);
  rig.CopyGate.Close();
  rig.Trigger("actMirror");
  QTRY_VERIFY(rig.CopyGate.Waiting() == 1);
  auto* cancel = rig.F.Find<QPushButton>("btnCancel");
  QVERIFY(cancel->isEnabled());
  QTest::mouseClick(cancel, Qt::LeftButton);
  QVERIFY(!cancel->isEnabled()); // once per run
  rig.CopyGate.Open();
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  QVERIFY(PaneHas(rig.Pane(), QStringLiteral("CANCELLED")));
  QVERIFY(QDir(rig.Dst).entryList(QDir::Files).size() < 3);
  auto history = rig.F.Store().OpenKeyReadOnly(kTaskHistoryKey);
  QVERIFY(QString::fromStdString(ReadStringDef(*history, "Job", "")).endsWith(" - cancelled"));
  // A cancelled run does not record the destination's volume.
  QVERIFY(!rig.F.Store().OpenKeyReadOnly(kRootKey)->ValueExists(kVolCheckPathValue));
}

void TRunTest::closingDuringARunCancelsAndKeepsTheWindow() {
  TRunRig rig;
  for (const char* n : {"1", "2"}) WriteFile(rig.Src + QLatin1Char('/') + n, "x");
  auto& w = rig.Open();
  rig.CopyGate.Close();
  rig.Trigger("actDryRun");
  QTRY_VERIFY(w.IsRunning());
  QVERIFY(!w.close());
  QVERIFY(w.isVisible());
  QVERIFY(w.Runs().CancelRequested());
  rig.CopyGate.Open();
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  QVERIFY(w.isVisible()); // stays open after the run has ended
  QVERIFY(w.close());
  QVERIFY(rig.F.Dialogs.Calls.empty());
}

void TRunTest::massDeleteQuestionHoldsTheRun_data() {
  QTest::addColumn<int>("answer");
  QTest::addColumn<int>("left"); // files left in the destination
  QTest::newRow("no keeps the destination") << int(TAnswer::anNo) << 5;
  QTest::newRow("yes deletes") << int(TAnswer::anYes) << 1;
}

void TRunTest::massDeleteQuestionHoldsTheRun() {
  QFETCH(int, answer);
  QFETCH(int, left);
  TRunRig rig;
  WriteFile(rig.Src + QStringLiteral("/keep.txt"), "k");
  WriteFile(rig.Dst + QStringLiteral("/keep.txt"), "k");
  for (const char* n : {"1", "2", "3", "4"}) WriteFile(rig.Dst + QLatin1Char('/') + n, "old");
  auto& w = rig.Open();
  rig.F.Find<QCheckBox>("chkAskConfirm")->setChecked(false);
  rig.F.Find<QCheckBox>("chkVolCheck")->setChecked(false);
  rig.F.Dialogs.Answer(TAnswer(answer));
  rig.Trigger("actMirror");
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  const TDialogCall* q = rig.F.Dialogs.LastMessage();
  QVERIFY(q);
  QCOMPARE(q->Message.Text, QStringLiteral("80% of files in destination will be deleted.\r\n\r\nContinue?"));
  QCOMPARE(q->Message.Kind, TMessageKind::mkWarning);
  QCOMPARE(q->Message.Default, TAnswer::anNo);
  QCOMPARE(QDir(rig.Dst).entryList(QDir::Files).size(), left);
  QVERIFY(rig.F.Dialogs.Problems.isEmpty());
}

void TRunTest::powerOffOnlyAfterACleanRealRun_data() {
  QTest::addColumn<bool>("dry");
  QTest::addColumn<bool>("asked");
  QTest::newRow("real run") << false << true;
  QTest::newRow("dry run") << true << false;
}

void TRunTest::powerOffOnlyAfterACleanRealRun() {
  QFETCH(bool, dry);
  QFETCH(bool, asked);
  TRunRig rig;
  WriteFile(rig.Src + QStringLiteral("/a.txt"), "a");
  auto& w = rig.Open();
  rig.F.Find<QCheckBox>("chkAskConfirm")->setChecked(false);
  rig.F.Find<QCheckBox>("chkShutdown")->setChecked(true);
  rig.Trigger(dry ? "actDryRun" : "actMirror");
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 20000);
  QCOMPARE(rig.F.PowerOffRequests(), asked ? 1 : 0);
  QCOMPARE(PaneHas(rig.Pane(), QStringLiteral("*** Shutting down the PC in 60 seconds.")), asked);
}

void TRunTest::commandLineRunClosesTheWindow() {
  TRunRig rig;
  WriteFile(rig.Src + QStringLiteral("/a.txt"), "a");
  PutTask(rig.F.Store(), "Nightly", rig.Src.toStdString(), rig.Dst.toStdString());
  TCommandLine cmd;
  cmd.HasTask = true;
  cmd.Task = "Nightly";
  cmd.Run = true;
  cmd.Close = true;
  auto& w = rig.F.Open(cmd, &rig.Config);
  QCOMPARE(w.CurrentTaskName(), std::string("Nightly"));
  // The start step runs once the event loop does; no question on the way.
  QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 20000);
  QCOMPARE(w.Runs().ExitCode(), 0);
  QVERIFY(QFileInfo::exists(rig.Dst + QStringLiteral("/a.txt")));
  QVERIFY(rig.F.Dialogs.Calls.empty());
}

void TRunTest::fiftyThousandLinesKeepTheWindowResponsive() {
  // The source lists 50,000 files that exist only in the listing, and their
  // copies take a moment each without touching the disk: a run of a few
  // seconds that logs a line per file.
  class TManyFiles : public TFaultFileSystem {
  public:
    using TFaultFileSystem::TFaultFileSystem;
    std::string Root;
    int ListDirAt(int dir, std::vector<TDirEntry>& out, bool linksAsLinks = false) override {
      if (PathOfDescriptor(dir) != Root) return TFaultFileSystem::ListDirAt(dir, out, linksAsLinks);
      out.clear();
      for (int i = 0; i < 50000; ++i) out.push_back({"file" + std::to_string(i), TEntryKind::File, false, 1, 0});
      return 0;
    }
    // The files exist only in the listing: opening one opens the folder.
    int OpenFileAt(int root, const std::string&, bool, int& fd, TFileInfo& info) override {
      return TFaultFileSystem::OpenDirAt(root, {}, fd, info);
    }
    int OpenFileIn(int dir, const TFileInfo&, const std::string& name, bool follow, int& fd,
                   TFileInfo& info) override {
      return OpenFileAt(dir, name, follow, fd, info);
    }
    int CopyFileAt(int, int, const std::string&, const TCopyProgress& progress, const std::atomic<bool>*, bool,
                   bool, const TBeforeVisible&, int*, TPendingCopy*) override {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (progress) progress(1);
      return 0;
    }
    int NameCopyAt(TPendingCopy&, int, const std::string&, bool) override { return 0; }
    void DropCopyAt(TPendingCopy&, int) override {}
    int FlushCopy(TPendingCopy&) override { return 0; }
    int OpenCopyForReading(TPendingCopy&, int, const std::string&, bool, int&) override { return EBADF; }
  };
  TManyFiles many(RealFileSystem());
  TRunRig rig;
  many.Root = ResolvePathForCompare(rig.Src.toStdString());
  rig.Config.Fs = &many;
  auto& w = rig.Open();
  rig.F.Find<QSpinBox>("spinWorkers")->setValue(2);
  rig.F.Find<QCheckBox>("chkAskConfirm")->setChecked(false);

  // The event loop's longest pause, and the captions shown, while the run goes.
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  QStringList captions;
  auto* memo = rig.F.Find<QPlainTextEdit>("memoLog");
  int mostLines = 0; // as the pane stands between ticks
  QTimer probe;
  probe.setInterval(10);
  connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    longest = std::max(longest, now - last);
    last = now;
    mostLines = std::max(mostLines, memo->blockCount());
    if (w.IsRunning() && (captions.isEmpty() || captions.last() != w.windowTitle())) captions << w.windowTitle();
  });

  clock.start();
  probe.start();
  rig.Trigger("actMirror");
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 120000);
  QTest::qWait(400); // the last queued lines reach the pane on the next ticks
  probe.stop();
  // A sanitized build does every step several times slower, the pane's
  // included; the bound is about a tick's work, not the machine's speed.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr qint64 kLongestPauseMs = 2500;
#else
  constexpr qint64 kLongestPauseMs = 500;
#endif
  QVERIFY2(longest < kLongestPauseMs, qPrintable(QStringLiteral("the window froze for %1 ms").arg(longest)));
  QVERIFY2(captions.size() >= 2, qPrintable(captions.join(QLatin1Char('|'))));
  // Phase, percentage, speed and time left.
  QVERIFY(std::any_of(captions.begin(), captions.end(), [](const QString& c) {
    return c.contains(QStringLiteral(" - Copying files ")) && c.contains(QStringLiteral("% - ")) &&
           c.contains(QStringLiteral("/s - ")) && c.endsWith(QStringLiteral(" left"));
  }));
  QVERIFY2(mostLines <= 6001, qPrintable(QString::number(mostLines)));
  QVERIFY(mostLines > 4000);
  QVERIFY(memo->blockCount() <= 6001);
  // The pane is scrolled to its last line, and that line is the run's last:
  // a full queue gives up its oldest lines, never the summary.
  QVERIFY(memo->textCursor().atEnd());
  // The queue may still hold thousands of lines; each tick moves 500.
  QTRY_VERIFY_WITH_TIMEOUT(memo->toPlainText().trimmed().endsWith(QStringLiteral("=== Quarlex Twinfold finished ===")),
                           10000);
  QVERIFY(memo->viewport()->rect().intersects(memo->cursorRect()));

  // Cancel answers within a second in the middle of such a run.
  rig.Trigger("actMirror");
  QTRY_VERIFY_WITH_TIMEOUT(memo->blockCount() > 1000, 60000);
  QVERIFY(w.IsRunning());
  QElapsedTimer cancelled;
  cancelled.start();
  QTest::mouseClick(rig.F.Find<QPushButton>("btnCancel"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!w.IsRunning(), 5000);
  QVERIFY2(cancelled.elapsed() < 1000, qPrintable(QString::number(cancelled.elapsed())));
}

TWF_UI_TEST_MAIN(TRunTest)
#include "run_test.moc"
