// The window itself: controls and their first values, the enabling rules,
// folder pickers and Open Folder, the Help menu, the shortcuts, dropped
// folders, what survives a restart, and a start without the settings store.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSignalSpy>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolButton>

#include "runctl/machine_text.h"
#include "tasks/task_settings.h"
#include "tasks/window_state.h"
#include "ui/app_paths.h"
#include "ui/task_panel.h"
#include "ui_test_support.h"

using namespace twf;
using namespace twf::test;

namespace {

// Drags the splitter's handle with the mouse until its first widget is
// `width` pixels wide.
void DragSplitter(QSplitter* split, int width) {
  QSplitterHandle* handle = split->handle(1);
  const QPoint grab(handle->width() / 2, handle->height() / 2);
  auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent e(type, at, handle->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(handle, &e);
  };
  send(QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
  const QPoint to = handle->mapFrom(split, QPoint(width + grab.x(), handle->y() + grab.y()));
  send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

int StoredSplitter(TSettingsStore& store) { return ReadIntegerDef(*store.OpenKeyReadOnly(kRootKey), "SplitterPos", -1); }

} // namespace

class TWindowTest : public QObject {
  Q_OBJECT

private slots:
  void firstStartShowsTheNewTaskDefaults();
  void checkBoxesStartAsDesigned_data();
  void checkBoxesStartAsDesigned();
  void enablingRulesFollowTheirCheckBoxes_data();
  void enablingRulesFollowTheirCheckBoxes();
  void recycleKeepsItsStateWhileArchiveDisablesIt();
  void folderPickersFillTheirEdit_data();
  void folderPickersFillTheirEdit();
  void openFolderOnSourceAndDestination();
  void openFolderOnLogsCreatesTheDefaultFolder();
  void helpMenuOpensFilesOrSaysTheyAreMissing();
  void eachCommandIsOneActionForAllItsButtons_data();
  void eachCommandIsOneActionForAllItsButtons();
  void helpFilesAreFoundFromTheBuildFolder();
  void ctrlFFocusesTheSearchAndCtrlSSaves();
  void droppedPathsGoToTheRightEdit_data();
  void droppedPathsGoToTheRightEdit();
  void workingSettingsAndWindowStateSurviveARestart();
  void restoredSplitterIsClamped_data();
  void restoredSplitterIsClamped();
  void longTaskNameElidesAndLeavesThePanelAlone();
  void savedSplitterIsTheUsersNotAForcedOne();
  void tabLeavesTheExclusionPatterns();
  void noPageSqueezesTheTaskPanelAtTheMinimumSize();
  void folderButtonsShareOneWidthWithRoomForTheirText();
  void rowsAreSpacedAlike_data();
  void rowsAreSpacedAlike();
  void lastTaskThatNoLongerExistsStartsUntitled();
  void aBusyStoreEndsTheStart_data();
  void aBusyStoreEndsTheStart();
};

void TWindowTest::firstStartShowsTheNewTaskDefaults() {
  TWindowFixture f;
  auto& w = f.Open();
  QCOMPARE(w.windowTitle(), QStringLiteral("Quarlex Twinfold v") + QString::fromStdString(AppVersionString()));
  QCOMPARE(f.Find<QLabel>("lblTaskName")->text(), QStringLiteral("Task: Untitled"));

  auto* pages = f.Find<QTabWidget>("pcMain");
  QStringList tabs;
  for (int i = 0; i < pages->count(); ++i) tabs << pages->tabText(i);
  QCOMPARE(tabs, (QStringList{"Folders", "Sync", "Exclusions", "Logging", "Archive", "Advanced"}));
  QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("tabFolders"));

  auto* compare = f.Find<QComboBox>("cmbCompare");
  QCOMPARE(compare->count(), 3);
  QCOMPARE(compare->currentText(), QStringLiteral("Size + last-modified date (recommended, fast)"));
  auto* workers = f.Find<QSpinBox>("spinWorkers");
  QCOMPARE(workers->minimum(), 1);
  QCOMPARE(workers->maximum(), 64);
  QCOMPARE(workers->value(), DefaultWorkerCount());
  QCOMPARE(f.Find<QComboBox>("cmbWarnPct")->currentText(), QStringLiteral("25%"));
  QCOMPARE(f.Find<QComboBox>("cmbWarnPct")->count(), 10);
  QCOMPARE(f.Find<QComboBox>("cmbVerify")->currentText(), QStringLiteral("xxHash3-64 (faster, recommended)"));
  QCOMPARE(f.Find<QComboBox>("cmbAuthKey")->currentText(), QStringLiteral("(none)"));
  auto* mb = f.Find<QSpinBox>("spinExclMB");
  QCOMPARE(mb->value(), 500);
  QCOMPARE(mb->maximum(), 10000000);

  const QStringList patterns = f.Find<QPlainTextEdit>("memoExclusions")->toPlainText().split(QLatin1Char('\n'));
  QCOMPARE(patterns.size(), 10);
  QCOMPARE(patterns.first(), QStringLiteral("*\\desktop.ini"));
  QCOMPARE(patterns.last(), QStringLiteral("*/.thumbnails/"));
  QCOMPARE(f.Find<QLineEdit>("edtLogFolder")->text(), QString::fromStdString(DefaultLogsFolder()));
  QCOMPARE(f.Find<QLineEdit>("edtArchiveFolder")->text(), QString::fromStdString(DefaultArchiveFolder()));
  QVERIFY(f.Find<QLineEdit>("edtSource")->text().isEmpty());
  QCOMPARE(f.Find<QLineEdit>("edtSearch")->placeholderText(), QStringLiteral("Search task..."));

  QVERIFY(!f.Find<QPushButton>("btnCancel")->isEnabled());
  QVERIFY(!f.Find<QComboBox>("cmbVerify")->isEnabled());
  QVERIFY(f.Find<QComboBox>("cmbWarnPct")->isEnabled());
  for (const char* name : {"edtWebhookURL", "cmbAuthKey", "chkVerifySSL"})
    QVERIFY2(!f.Find<QWidget>(name)->isEnabled(), name);
  QCOMPARE(f.Find<QToolButton>("tbtnDryRun")->toolTip(),
           QStringLiteral("Dry Run - preview all actions without changing anything"));
  QCOMPARE(f.Find<QToolButton>("tbtnAuthKeys")->toolTip(), QStringLiteral("Auth Key Manager"));
  QVERIFY(f.Dialogs.Calls.empty());
}

void TWindowTest::checkBoxesStartAsDesigned_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("caption");
  QTest::addColumn<bool>("checked");
  const struct {
    const char* Name;
    const char* Caption;
    bool Checked;
  } rows[] = {
      {"chkAcl", "Preserve file and folder permissions (ACLs)", false},
      {"chkSkipNewer", "Skip files whose mirror copy has a newer last-modified timestamp", false},
      {"chkShutdown", "Shutdown PC on completion with no errors (shutdown -h +1)", false},
      {"chkAskConfirm", "Ask confirmation when Mirror button is clicked", true},
      {"chkVolCheck", "Verify destination volume identity between runs (recommended)", true},
      {"chkWarnMassDelete", "Warn if the following percent of destination files would be deleted", true},
      {"chkRecycle", "Send deleted files to the Trash (slower, allows undo)", false},
      {"chkRetry", "Retry on locked files (3 attempts, 2 seconds apart)", true},
      {"chkVerify", "Verify files after copying (slower, improved integrity validation)", false},
      {"chkExclPatterns", "Exclude files and folders matching these wildcards:", true},
      {"chkExclHiddenFiles", "Exclude hidden files (names starting with a dot)", false},
      {"chkExclHiddenDirs", "Exclude hidden folders (names starting with a dot)", false},
      {"chkExclJunctions", "Exclude mounted folders (always on)", true},
      {"chkExclEmpty", "Exclude files of 0 bytes (empty)", false},
      {"chkExclLarger", "Exclude files larger than", false},
      {"chkLogFile", "Write a .log file", false},
      {"chkLogJson", "Save log data in JSON format (JSON Lines) for easier parsing", false},
      {"chkLogError", "Errors", true},
      {"chkLogCopy", "File copies", true},
      {"chkLogDelete", "File deletions", true},
      {"chkLogMkDir", "Folder creations", true},
      {"chkLogRmDir", "Folder removals", true},
      {"chkArchive", "Archive deleted and overwritten files", false},
      {"chkWebhook", "Send a HTTPS POST request to a remote URL on completion", false},
      {"chkVerifySSL", "Verify SSL certificate (fails if not valid)", true},
  };
  for (const auto& r : rows)
    QTest::newRow(r.Name) << QString::fromLatin1(r.Name) << QString::fromUtf8(r.Caption) << r.Checked;
}

void TWindowTest::checkBoxesStartAsDesigned() {
  QFETCH(QString, name);
  QFETCH(QString, caption);
  QFETCH(bool, checked);
  TWindowFixture f;
  f.Open();
  auto* box = f.W()->findChild<QCheckBox*>(name);
  QVERIFY(box);
  QCOMPARE(box->text(), caption);
  QCOMPARE(box->isChecked(), checked);
}

void TWindowTest::enablingRulesFollowTheirCheckBoxes_data() {
  QTest::addColumn<QString>("check");
  QTest::addColumn<QStringList>("follows");   // enabled exactly when checked
  QTest::addColumn<QStringList>("opposes");   // enabled exactly when not checked
  QTest::newRow("verify") << "chkVerify" << QStringList{"cmbVerify"} << QStringList{};
  QTest::newRow("mass delete") << "chkWarnMassDelete" << QStringList{"cmbWarnPct"} << QStringList{};
  QTest::newRow("webhook") << "chkWebhook" << QStringList{"edtWebhookURL", "cmbAuthKey", "chkVerifySSL"}
                           << QStringList{};
  QTest::newRow("archive") << "chkArchive" << QStringList{} << QStringList{"chkRecycle"};
}

void TWindowTest::enablingRulesFollowTheirCheckBoxes() {
  QFETCH(QString, check);
  QFETCH(QStringList, follows);
  QFETCH(QStringList, opposes);
  TWindowFixture f;
  auto& w = f.Open();
  auto* box = w.findChild<QCheckBox*>(check);
  auto* pages = f.Find<QTabWidget>("pcMain");
  pages->setCurrentWidget(box->parentWidget());
  for (int click = 0; click < 2; ++click) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    for (const QString& n : follows) QCOMPARE(w.findChild<QWidget*>(n)->isEnabled(), box->isChecked());
    for (const QString& n : opposes) QCOMPARE(w.findChild<QWidget*>(n)->isEnabled(), !box->isChecked());
  }
  QVERIFY(!f.Find<QCheckBox>("chkExclJunctions")->isEnabled());
}

void TWindowTest::recycleKeepsItsStateWhileArchiveDisablesIt() {
  TWindowFixture f;
  f.Open();
  auto* recycle = f.Find<QCheckBox>("chkRecycle");
  auto* archive = f.Find<QCheckBox>("chkArchive");
  recycle->setChecked(true);
  archive->click();
  QVERIFY(!recycle->isEnabled());
  QVERIFY(recycle->isChecked());
  archive->click();
  QVERIFY(recycle->isEnabled());
  QVERIFY(recycle->isChecked());
}

void TWindowTest::folderPickersFillTheirEdit_data() {
  QTest::addColumn<QString>("button");
  QTest::addColumn<QString>("edit");
  QTest::addColumn<QString>("title");
  QTest::newRow("source") << "btnBrowseSource" << "edtSource" << "Select the SOURCE folder";
  QTest::newRow("destination") << "btnBrowseDest" << "edtDest"
                               << "Select the DESTINATION folder (will be made identical to the source)";
  QTest::newRow("logs") << "btnBrowseLogs" << "edtLogFolder" << "Select the folder for .log files";
  QTest::newRow("archive") << "btnBrowseArchive" << "edtArchiveFolder"
                           << "Select the archive folder for displaced files";
}

void TWindowTest::folderPickersFillTheirEdit() {
  QFETCH(QString, button);
  QFETCH(QString, edit);
  QFETCH(QString, title);
  QTemporaryDir dir;
  TWindowFixture f;
  auto& w = f.Open();
  auto* e = w.findChild<QLineEdit*>(edit);
  auto* b = w.findChild<QPushButton*>(button);
  e->setText(dir.path());
  f.Dialogs.Path(std::nullopt); // cancelled: nothing changes
  f.Dialogs.Path(dir.path() + QStringLiteral("/picked"));
  b->click();
  QCOMPARE(e->text(), dir.path());
  b->click();
  QCOMPARE(e->text(), dir.path() + QStringLiteral("/picked"));
  QCOMPARE(f.Dialogs.Calls.size(), size_t(2));
  QCOMPARE(f.Dialogs.Calls[0].Title, title);
  QCOMPARE(f.Dialogs.Calls[0].Prompt, dir.path()); // opens where the edit points
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TWindowTest::openFolderOnSourceAndDestination() {
  QTemporaryDir dir;
  TWindowFixture f;
  f.Open();
  const QString missing = dir.path() + QStringLiteral("/gone");
  f.Find<QLineEdit>("edtSource")->setText(QStringLiteral("  ") + missing + QStringLiteral("/ "));
  f.Dialogs.Answer(TAnswer::anOk);
  f.Find<QPushButton>("btnOpenSource")->click();
  const TDialogCall* m = f.Dialogs.LastMessage();
  QVERIFY(m);
  QCOMPARE(m->Message.Text, QStringLiteral("The folder does not exist:\r\n") + missing);
  QCOMPARE(m->Message.Kind, TMessageKind::mkInformation);
  QCOMPARE(m->Message.Buttons, TButtons::btOk);

  f.Find<QLineEdit>("edtDest")->setText(dir.path() + QStringLiteral("/"));
  f.Find<QPushButton>("btnOpenDest")->click();
  QCOMPARE(f.Dialogs.OpenedUrls, QList<QUrl>{QUrl::fromLocalFile(dir.path())});
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TWindowTest::openFolderOnLogsCreatesTheDefaultFolder() {
  TWindowFixture f;
  f.Open();
  const QString logs = QString::fromStdString(DefaultLogsFolder());
  QDir(logs).removeRecursively();
  f.Find<QLineEdit>("edtLogFolder")->clear();
  f.Find<QPushButton>("btnOpenLogs")->click();
  QVERIFY(QFileInfo(logs).isDir());
  QCOMPARE(f.Dialogs.OpenedUrls, QList<QUrl>{QUrl::fromLocalFile(logs)});

  QTemporaryDir dir;
  const QString archive = dir.path() + QStringLiteral("/a/b");
  f.Find<QLineEdit>("edtArchiveFolder")->setText(archive);
  f.Find<QPushButton>("btnOpenArchive")->click();
  QVERIFY(QFileInfo(archive).isDir());
  QVERIFY(f.Dialogs.Calls.empty());
}

void TWindowTest::helpMenuOpensFilesOrSaysTheyAreMissing() {
  QTemporaryDir app;
  ui::SetAppFolder(app.path());
  TWindowFixture f;
  auto& w = f.Open();
  auto action = [&](const char* name) { return w.findChild<QAction*>(QString::fromLatin1(name)); };

  for (int i = 0; i < 3; ++i) f.Dialogs.Answer(TAnswer::anOk);
  action("miChangelog")->trigger();
  action("miCommandLine")->trigger();
  action("miHomepage")->trigger();
  QCOMPARE(f.Dialogs.MessageTexts(), (QStringList{"Changelog.txt was not found in the application folder.",
                                                  "Command-line.txt was not found in the application folder.",
                                                  "Homepage.txt was not found in the application folder."}));

  QFile file(app.path() + QStringLiteral("/Changelog.txt"));
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.close();
  action("miChangelog")->trigger();
  QCOMPARE(f.Dialogs.OpenedUrls, QList<QUrl>{QUrl::fromLocalFile(file.fileName())});

  f.Dialogs.Dialog([](QDialog& d) {
    d.accept();
    return int(QDialog::Accepted);
  });
  action("miAbout")->trigger();
  QCOMPARE(f.Dialogs.Calls.back().Kind, TDialogCall::dcExec);
  QCOMPARE(f.Dialogs.Calls.back().Prompt, QStringLiteral("frmAbout"));
  QVERIFY(f.Dialogs.Problems.isEmpty());
  ui::SetAppFolder({});
}

void TWindowTest::eachCommandIsOneActionForAllItsButtons_data() {
  QTest::addColumn<QString>("command");
  QTest::addColumn<QString>("button");     // "" for none
  QTest::addColumn<QString>("toolButton"); // "" for none
  QTest::addColumn<QString>("menu");       // "" for none
  QTest::newRow("mirror") << "actMirror" << "btnMirror" << "tbtnMirror" << "";
  QTest::newRow("dry run") << "actDryRun" << "btnDryRun" << "tbtnDryRun" << "";
  QTest::newRow("cancel") << "actCancel" << "btnCancel" << "" << "";
  QTest::newRow("save") << "actSaveTask" << "btnSaveTask" << "tbtnSaveTask" << "";
  QTest::newRow("clone") << "actCloneTask" << "btnCloneTask" << "tbtnCloneTask" << "";
  QTest::newRow("new") << "actNewTask" << "btnNewTask" << "tbtnNewTask" << "";
  QTest::newRow("export tasks") << "actExportTasks" << "" << "tbtnExportTasks" << "mnuFile";
  QTest::newRow("import tasks") << "actImportTasks" << "" << "tbtnImportTasks" << "mnuFile";
  QTest::newRow("auth keys") << "actAuthKeys" << "btnManageKeys" << "tbtnAuthKeys" << "";
}

// A click on any of a command's buttons or its menu item triggers its one
// action, and the action's state is theirs.
void TWindowTest::eachCommandIsOneActionForAllItsButtons() {
  QFETCH(QString, command);
  QFETCH(QString, button);
  QFETCH(QString, toolButton);
  QFETCH(QString, menu);
  TWindowFixture f;
  auto& w = f.Open();
  auto* action = w.findChild<QAction*>(command);
  QVERIFY(action);
  QList<QAbstractButton*> buttons;
  if (!button.isEmpty()) buttons << w.findChild<QPushButton*>(button);
  if (!toolButton.isEmpty()) {
    auto* tool = w.findChild<QToolButton*>(toolButton);
    QVERIFY(tool);
    QCOMPARE(tool->defaultAction(), action);
    buttons << tool;
  }
  QVERIFY(!buttons.contains(nullptr));
  if (!menu.isEmpty()) QVERIFY(w.findChild<QMenu*>(menu)->actions().contains(action));

  for (const bool enabled : {false, true}) {
    action->setEnabled(enabled);
    for (QAbstractButton* b : buttons) QCOMPARE(b->isEnabled(), enabled);
  }
  // What the command does is not the point: its questions go unanswered.
  QSignalSpy triggered(action, &QAction::triggered);
  for (QAbstractButton* b : buttons) {
    action->setEnabled(true);
    b->click();
  }
  QCOMPARE(triggered.size(), buttons.size());
}

// Each Help item, and the About box's links, open what the build put beside
// the program; installed, the same names are found in share/twinfold.
void TWindowTest::helpFilesAreFoundFromTheBuildFolder() {
  const QString programDir = QStringLiteral(TWF_PROGRAM_DIR);
  if (programDir.isEmpty()) QSKIP("the program is not part of this build");
  ui::SetAppFolder(programDir);
  TWindowFixture f;
  auto& w = f.Open();
  const struct {
    const char* Action;
    const char* File;
    const char* Doc;
  } items[] = {
      {"miHomepage", "Homepage.txt", "index.md"},
      {"miChangelog", "Changelog.txt", "changelog.md"},
      {"miCommandLine", "Command-line.txt", "command-line.md"},
  };
  auto read = [](const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  };
  for (const auto& item : items) {
    f.Dialogs.OpenedUrls.clear();
    w.findChild<QAction*>(QString::fromLatin1(item.Action))->trigger();
    const QString path = programDir + QLatin1Char('/') + QString::fromLatin1(item.File);
    QCOMPARE(f.Dialogs.OpenedUrls, QList<QUrl>{QUrl::fromLocalFile(path)});
    const QByteArray text = read(path);
    QVERIFY2(!text.isEmpty(), item.File);
    QCOMPARE(text, read(QStringLiteral(TWF_SOURCE_DIR "/docs/") + QString::fromLatin1(item.Doc)));
  }

  // The About box: home page and licence.
  f.Dialogs.OpenedUrls.clear();
  f.Dialogs.Dialog([](QDialog& d) {
    QTest::mouseClick(d.findChild<QLabel*>("lblSite1"), Qt::LeftButton);
    QTest::mouseClick(d.findChild<QLabel*>("lblEula"), Qt::LeftButton);
    return int(QDialog::Accepted);
  });
  w.findChild<QAction*>(QStringLiteral("miAbout"))->trigger();
  QCOMPARE(f.Dialogs.OpenedUrls, (QList<QUrl>{QUrl::fromLocalFile(programDir + QStringLiteral("/Homepage.txt")),
                                              QUrl::fromLocalFile(programDir + QStringLiteral("/EULA.txt"))}));
  QCOMPARE(read(programDir + QStringLiteral("/EULA.txt")), read(QStringLiteral(TWF_SOURCE_DIR "/docs/licence.md")));
  QVERIFY(f.Dialogs.MessageTexts().isEmpty());

  // The installed layout: bin/twinfold and share/twinfold/<file>.
  QTemporaryDir prefix;
  QVERIFY(QDir(prefix.path()).mkpath(QStringLiteral("bin")));
  QVERIFY(QDir(prefix.path()).mkpath(QStringLiteral("share/twinfold")));
  const QString installed = prefix.path() + QStringLiteral("/share/twinfold/Command-line.txt");
  QVERIFY(QFile::copy(programDir + QStringLiteral("/Command-line.txt"), installed));
  ui::SetAppFolder(prefix.path() + QStringLiteral("/bin"));
  f.Dialogs.OpenedUrls.clear();
  w.findChild<QAction*>(QStringLiteral("miCommandLine"))->trigger();
  QCOMPARE(f.Dialogs.OpenedUrls, QList<QUrl>{QUrl::fromLocalFile(installed)});
  QVERIFY(f.Dialogs.Problems.isEmpty());
  ui::SetAppFolder({});
}

void TWindowTest::ctrlFFocusesTheSearchAndCtrlSSaves() {
  TWindowFixture f;
  PutTask(f.Store(), "Nightly", "/src", "/dst");
  auto& w = f.Open();
  auto* search = f.Find<QLineEdit>("edtSearch");
  search->setText(QStringLiteral("night"));
  auto* source = f.Find<QLineEdit>("edtSource");
  source->setFocus();
  QTest::keyClick(source, Qt::Key_F, Qt::ControlModifier);
  QTRY_VERIFY(search->hasFocus());
  QCOMPARE(search->selectedText(), QStringLiteral("night"));

  // Load the task, change it, and save it with the keyboard: no question.
  QTest::keyClick(search, Qt::Key_Return);
  QCOMPARE(w.CurrentTaskName(), std::string("Nightly"));
  source->setText(QStringLiteral("/elsewhere"));
  QTest::keyClick(source, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
  TTaskSettings stored;
  QVERIFY(LoadSettings(f.Store(), TaskKeyPath("Nightly"), stored, {}));
  QCOMPARE(stored.Source, std::string("/src"));
  QTest::keyClick(source, Qt::Key_S, Qt::ControlModifier);
  QVERIFY(LoadSettings(f.Store(), TaskKeyPath("Nightly"), stored, {}));
  QCOMPARE(stored.Source, std::string("/elsewhere"));
  QVERIFY(f.Dialogs.Calls.empty());
}

void TWindowTest::droppedPathsGoToTheRightEdit_data() {
  QTest::addColumn<QString>("onto");
  QTest::addColumn<bool>("file");        // drop a file instead of a folder
  QTest::addColumn<QString>("sourceText"); // source edit before the drop
  QTest::addColumn<QString>("filled");
  QTest::newRow("file on destination") << "edtDest" << true << "" << "edtDest";
  QTest::newRow("folder on source browse, source empty") << "btnBrowseSource" << false << "" << "edtSource";
  QTest::newRow("folder on source browse, source set") << "btnBrowseSource" << false << "/x" << "edtDest";
  QTest::newRow("folder on archive edit") << "edtArchiveFolder" << false << "" << "edtSource";
  QTest::newRow("folder on log edit") << "edtLogFolder" << false << "" << "edtLogFolder";
  QTest::newRow("file on the log pane") << "memoLog" << true << "/x" << "edtDest";
  QTest::newRow("folder on a disabled control") << "cmbVerify" << false << "" << "edtSource";
}

void TWindowTest::droppedPathsGoToTheRightEdit() {
  QFETCH(QString, onto);
  QFETCH(bool, file);
  QFETCH(QString, sourceText);
  QFETCH(QString, filled);
  QTemporaryDir dir;
  const QString folder = dir.path() + QStringLiteral("/in");
  QDir().mkpath(folder);
  QFile f1(folder + QStringLiteral("/report.txt"));
  QVERIFY(f1.open(QIODevice::WriteOnly));
  f1.close();

  TWindowFixture f;
  auto& w = f.Open();
  f.Find<QLineEdit>("edtSource")->setText(sourceText);
  QWidget* target = w.findChild<QWidget*>(onto);
  auto* pages = f.Find<QTabWidget>("pcMain");
  for (QWidget* p = target; p; p = p->parentWidget())
    if (pages->indexOf(p) >= 0) pages->setCurrentWidget(p);
  QMap<QString, QString> before;
  for (const char* e : {"edtSource", "edtDest", "edtLogFolder", "edtArchiveFolder"})
    before[QLatin1String(e)] = w.findChild<QLineEdit*>(QLatin1String(e))->text();
  // A drop reaches the first enabled control that takes it; the window
  // decides by the control under the point.
  QWidget* receiver = target;
  while (!receiver->isEnabled()) receiver = receiver->parentWidget();
  DropPaths(receiver, {file ? f1.fileName() : folder}, target->mapTo(receiver, target->rect().center()));

  for (auto it = before.cbegin(); it != before.cend(); ++it) {
    const QString now = w.findChild<QLineEdit*>(it.key())->text();
    QCOMPARE(now, it.key() == filled ? folder : it.value());
  }
}

void TWindowTest::workingSettingsAndWindowStateSurviveARestart() {
  TWindowFixture f;
  {
    auto& w = f.Open();
    f.Find<QLineEdit>("edtSource")->setText(QStringLiteral("/data/photos "));
    f.Find<QCheckBox>("chkVerify")->setChecked(true);
    f.Find<QComboBox>("cmbWarnPct")->setCurrentIndex(4);
    f.Find<QPlainTextEdit>("memoExclusions")->setPlainText(QStringLiteral("*.tmp  \n\n*.bak"));
    w.setGeometry(40, 50, 1200, 700);
    DragSplitter(f.Find<QSplitter>("splMain"), 300);
    f.Close();
  }
  auto& w = f.Open();
  QCOMPARE(f.Find<QLineEdit>("edtSource")->text(), QStringLiteral("/data/photos "));
  QVERIFY(f.Find<QCheckBox>("chkVerify")->isChecked());
  QVERIFY(f.Find<QComboBox>("cmbVerify")->isEnabled());
  QCOMPARE(f.Find<QComboBox>("cmbWarnPct")->currentText(), QStringLiteral("50%"));
  QCOMPARE(f.Find<QPlainTextEdit>("memoExclusions")->toPlainText(), QStringLiteral("*.tmp  \n\n*.bak"));
  QCOMPARE(w.geometry().size(), QSize(1200, 700));
  QCOMPARE(f.Find<QSplitter>("splMain")->sizes().value(0), 300);

  std::string stored;
  QVERIFY(f.Store().OpenKeyReadOnly(kRootKey)->ReadString("ExclPatterns", stored));
  QCOMPARE(stored, std::string("*.tmp  \r\n\r\n*.bak"));
}

void TWindowTest::restoredSplitterIsClamped_data() {
  QTest::addColumn<int>("stored");
  QTest::addColumn<int>("shown");
  QTest::newRow("too narrow") << 50 << 120;
  QTest::newRow("too wide") << 900 << 600;
  QTest::newRow("in range") << 250 << 250;
}

void TWindowTest::restoredSplitterIsClamped() {
  QFETCH(int, stored);
  QFETCH(int, shown);
  TWindowFixture f;
  f.Store().OpenKey(kRootKey)->WriteInteger("SplitterPos", stored);
  f.Store().OpenKey(kRootKey)->WriteInteger("WinWidth", 1400);
  f.Store().OpenKey(kRootKey)->WriteInteger("WinHeight", 700);
  f.Open();
  QCOMPARE(f.Find<QSplitter>("splMain")->sizes().value(0), shown);
}

void TWindowTest::longTaskNameElidesAndLeavesThePanelAlone() {
  TWindowFixture f;
  QString name = QStringLiteral("Nightly mirror of every project folder to the NAS");
  while (name.size() < 120) name += QStringLiteral(" and more");
  name.truncate(120);
  PutTask(f.Store(), name.toStdString(), "/s", "/d");
  f.Store().OpenKey(kRootKey)->WriteString("LastTask", name.toStdString());
  auto& w = f.Open();
  auto* split = f.Find<QSplitter>("splMain");
  auto* caption = f.Find<ui::TElidedLabel>("lblTaskName");
  QTRY_COMPARE(split->sizes().value(0), 232);
  QVERIFY(caption->text().startsWith(QStringLiteral("Task: ") + name));
  QVERIFY(caption->Elided());
  QCOMPARE(caption->toolTip(), caption->text());
  QVERIFY(caption->width() < caption->fontMetrics().horizontalAdvance(caption->text()));

  // The marker at the end stays in sight.
  for (const char* marker : {" (modified)", " (deleted)"}) {
    w.SetTaskCaption(name.toStdString() + marker);
    QVERIFY(caption->Elided());
    QVERIFY2(caption->ShownText().endsWith(QString::fromLatin1(marker)), qPrintable(caption->ShownText()));
    QVERIFY(caption->ShownText().startsWith(QStringLiteral("Task: Nightly")));
  }

  // The tooltip shows the name as it is, also one that looks like markup.
  auto shownTip = [&] {
    if (!Qt::mightBeRichText(caption->toolTip())) return caption->toolTip();
    QTextDocument doc;
    doc.setHtml(caption->toolTip());
    return doc.toPlainText();
  };
  for (const QString& markup : {QStringLiteral("<b>Photos</b> & <i>x</i> "), QStringLiteral("&lt; a&amp;b ")}) {
    w.SetTaskCaption((markup + name).toStdString());
    QVERIFY(caption->Elided());
    QCOMPARE(shownTip(), caption->text());
  }

  // A name that fits needs no tooltip.
  w.SetTaskCaption("Short");
  QVERIFY(!caption->Elided());
  QVERIFY(caption->toolTip().isEmpty());
  f.Close();
  QCOMPARE(StoredSplitter(f.Store()), 232);
}

void TWindowTest::savedSplitterIsTheUsersNotAForcedOne() {
  TWindowFixture f;
  auto& w = f.Open();
  w.resize(1200, 700);
  auto* split = f.Find<QSplitter>("splMain");
  QTRY_COMPARE(split->sizes().value(0), 232);
  DragSplitter(split, 300);
  QCOMPARE(split->sizes().value(0), 300);
  // The pages come to need more room: the layout takes it from the panel.
  f.Find<QWidget>("pcMain")->setMinimumWidth(w.width() - 120);
  QTRY_VERIFY(split->sizes().value(0) < 150);
  f.Close();
  QCOMPARE(StoredSplitter(f.Store()), 300);
}

void TWindowTest::tabLeavesTheExclusionPatterns() {
  TWindowFixture f;
  f.Open();
  f.Find<QTabWidget>("pcMain")->setCurrentWidget(f.Find<QWidget>("tabExclusions"));
  auto* memo = f.Find<QPlainTextEdit>("memoExclusions");
  const QString before = memo->toPlainText();
  memo->setFocus();
  QTRY_VERIFY(memo->hasFocus());
  QTest::keyClick(memo, Qt::Key_Tab);
  QCOMPARE(memo->toPlainText(), before);
  QVERIFY(!memo->hasFocus());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
  QVERIFY(memo->hasFocus());
  QCOMPARE(memo->toPlainText(), before);
}

// At the smallest window every page fits beside the task panel at its
// designed width, and none is cut off at the bottom.
void TWindowTest::noPageSqueezesTheTaskPanelAtTheMinimumSize() {
  TWindowFixture f;
  auto& w = f.Open();
  w.resize(kWindowMinWidth, kWindowMinHeight);
  auto* split = f.Find<QSplitter>("splMain");
  auto* pages = f.Find<QTabWidget>("pcMain");
  for (int i = 0; i < pages->count(); ++i) {
    pages->setCurrentIndex(i);
    QWidget* page = pages->currentWidget();
    QTRY_COMPARE(w.size(), QSize(kWindowMinWidth, kWindowMinHeight));
    QTRY_COMPARE(split->sizes().value(0), 232);
    const QSize needed = page->layout()->minimumSize();
    QVERIFY2(page->width() >= needed.width() && page->height() >= needed.height(),
             qPrintable(QStringLiteral("%1 is %2x%3, needs %4x%5")
                            .arg(page->objectName())
                            .arg(page->width())
                            .arg(page->height())
                            .arg(needed.width())
                            .arg(needed.height())));
  }
}

void TWindowTest::folderButtonsShareOneWidthWithRoomForTheirText() {
  TWindowFixture f;
  f.Open();
  auto* pages = f.Find<QTabWidget>("pcMain");
  QList<QPushButton*> buttons;
  for (const char* folder : {"Source", "Dest", "Logs", "Archive"})
    for (const char* kind : {"btnBrowse", "btnOpen"})
      buttons << f.Find<QPushButton>((QByteArray(kind) + folder).constData());
  for (QPushButton* b : buttons) {
    for (QWidget* p = b; p; p = p->parentWidget())
      if (pages->indexOf(p) >= 0) pages->setCurrentWidget(p);
    QTRY_VERIFY(b->isVisible());
    QCOMPARE(b->width(), buttons.first()->width());
    // At least a letter's room on either side of the caption.
    const QFontMetrics fm = b->fontMetrics();
    QVERIFY2(b->width() >= fm.horizontalAdvance(b->text()) + 2 * fm.averageCharWidth(),
             qPrintable(b->objectName() + QStringLiteral(" is %1 wide").arg(b->width())));
  }
  QCOMPARE(buttons.first()->text(), QStringLiteral("Browse..."));
  QCOMPARE(buttons.last()->text(), QStringLiteral("Open Folder"));
}

void TWindowTest::rowsAreSpacedAlike_data() {
  QTest::addColumn<QStringList>("rows"); // top to bottom, each on a row of its own
  QTest::newRow("sync settings") << QStringList{"cmbCompare", "spinWorkers", "cmbSymlinks"};
  QTest::newRow("sync check boxes") << QStringList{"chkAcl",           "chkSkipNewer", "chkShutdown",
                                                   "chkAskConfirm",    "chkVolCheck",  "chkWarnMassDelete",
                                                   "chkRecycle",       "chkRetry",     "chkVerify"};
  QTest::newRow("exclusions") << QStringList{"chkExclHiddenFiles", "chkExclHiddenDirs", "chkExclJunctions",
                                             "chkExclEmpty", "chkExclLarger"};
}

// A row with a drop-down or a number box sits as far from its neighbours as
// a row with only a check box.
void TWindowTest::rowsAreSpacedAlike() {
  QFETCH(QStringList, rows);
  TWindowFixture f;
  f.Open();
  auto* pages = f.Find<QTabWidget>("pcMain");
  QWidget* first = f.Find<QWidget>(qPrintable(rows.first()));
  QWidget* page = first->parentWidget();
  pages->setCurrentWidget(page);
  QTRY_VERIFY(first->isVisible());
  QList<double> centres;
  for (const QString& name : rows) {
    QWidget* c = f.Find<QWidget>(qPrintable(name));
    centres << c->mapTo(page, QPoint(0, 0)).y() + c->height() / 2.0;
  }
  const double pitch = centres[1] - centres[0];
  QVERIFY(pitch > 0);
  for (int i = 2; i < centres.size(); ++i)
    QVERIFY2(centres[i] - centres[i - 1] == pitch,
             qPrintable(QStringLiteral("%1 to %2: %3, not %4")
                            .arg(rows[i - 1], rows[i])
                            .arg(centres[i] - centres[i - 1])
                            .arg(pitch)));
}

void TWindowTest::lastTaskThatNoLongerExistsStartsUntitled() {
  TWindowFixture f;
  PutTask(f.Store(), "Kept", "/a", "/b");
  f.Store().OpenKey(kRootKey)->WriteString("LastTask", "Gone");
  auto& w = f.Open();
  QVERIFY(w.CurrentTaskName().empty());
  QCOMPARE(f.Find<QLabel>("lblTaskName")->text(), QStringLiteral("Task: Untitled"));

  // A last task that exists comes back bound, and marked when the window differs.
  f.Close();
  f.Store().OpenKey(kRootKey)->WriteString("LastTask", "kept");
  auto& again = f.Open();
  QCOMPARE(again.CurrentTaskName(), std::string("kept"));
  QCOMPARE(f.Find<QLabel>("lblTaskName")->text(), QStringLiteral("Task: kept (modified)"));
  QCOMPARE(f.Find<QListWidget>("lstTasks")->selectedItems().value(0)->text(), QStringLiteral("Kept"));
}

void TWindowTest::aBusyStoreEndsTheStart_data() {
  QTest::addColumn<bool>("commandLine"); // /task_file /run /close, which needs no stored task
  QTest::newRow("an interactive start") << false;
  QTest::newRow("a command-line run") << true;
}

// Another program holds the store's write lock for the whole wait: the window
// can neither show the tasks nor keep what is edited in it. An interactive
// start says so and closes; a command-line run ends with code 2 unasked.
void TWindowTest::aBusyStoreEndsTheStart() {
  QFETCH(bool, commandLine);
  TWindowFixture f;
  PutTask(f.Store(), "Kept", "/a", "/b");
  QTemporaryDir dir;
  const std::string src = (dir.path() + QStringLiteral("/src")).toStdString();
  const std::string dst = (dir.path() + QStringLiteral("/dst")).toStdString();
  const std::string job = (dir.path() + QStringLiteral("/job.ini")).toStdString();
  QVERIFY(QDir().mkpath(QString::fromStdString(src)));
  QFile jobFile(QString::fromStdString(job));
  QVERIFY(jobFile.open(QIODevice::WriteOnly));
  jobFile.write(QByteArray::fromStdString("[Task]\r\nSource=" + src + "\r\nDest=" + dst + "\r\n[Meta]\r\nName=Job\r\n"));
  jobFile.close();
  TCommandLine cmd;
  if (commandLine) {
    cmd.HasTaskFile = true;
    cmd.TaskFile = job;
    cmd.Run = true;
    cmd.Close = true;
  } else {
    f.Dialogs.Answer(TAnswer::anOk);
  }

  std::string busyMessage;
  int exitCode = -1;
  bool closed = false;
  QVERIFY(f.Store().Transact([&] {
    TSettingsStore busy(StorePath().toStdString(), 300);
    if (!busy.Busy()) return false;
    busyMessage = busy.BusyMessage();
    {
      const TRunControllerConfig config = f.RunConfig();
      ui::TfrmTwinfoldMain w(f.Dialogs, busy, cmd, &config);
      w.show();
      closed = QTest::qWaitFor([&] { return !w.isVisible(); }, 20000);
      exitCode = w.Runs().ExitCode();
    }
    return true;
  }));
  QVERIFY(!busyMessage.empty());
  QVERIFY(closed);
  QCOMPARE(exitCode, 2);
  QVERIFY(!QFileInfo::exists(QString::fromStdString(dst)));
  if (commandLine) {
    QVERIFY(f.Dialogs.Calls.empty());
  } else {
    QCOMPARE(f.Dialogs.MessageTexts(), QStringList{QString::fromStdString(busyMessage)});
    QCOMPARE(f.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);
    QCOMPARE(f.Dialogs.LastMessage()->Message.Buttons, TButtons::btOk);
  }
  QVERIFY2(f.Dialogs.Problems.isEmpty(), qPrintable(f.Dialogs.Problems.join(QLatin1Char('\n'))));
  QCOMPARE(ListTaskNames(f.Store()), std::vector<std::string>{"Kept"});
}

TWF_UI_TEST_MAIN(TWindowTest)
#include "window_test.moc"
