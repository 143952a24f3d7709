// The task panel: search, keys, hints and popup menu, and the task commands
// with their questions, driven as a person would.
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextDocument>
#include <QToolTip>

#include "runctl/command_line.h"
#include "tasks/task_settings.h"
#include "ui/task_panel.h"
#include "ui_test_support.h"

using namespace twf;
using namespace twf::test;

namespace {

const QString kReserved = QStringLiteral("\"Untitled\" is reserved for new, unsaved tasks.");
const QString kBackslash = QStringLiteral("The task name cannot contain \"\\\".");
const QString kSlash = QStringLiteral("The task name cannot contain \"/\".");
const QString kExists = QStringLiteral("A task with the same name already exists.");
const QString kOverwrite = QStringLiteral("A task with the same name already exists. Overwrite it?");
const QString kSavePrompt = QStringLiteral("Current task settings changed. Save them?");
const QString kNewPrompt = QStringLiteral("This will create a new empty task. Continue?");

// The panel's view of a fixture's window.
struct TPanel {
  TWindowFixture& F;
  QListWidget* List() { return F.Find<QListWidget>("lstTasks"); }
  QLineEdit* Search() { return F.Find<QLineEdit>("edtSearch"); }
  QLineEdit* Source() { return F.Find<QLineEdit>("edtSource"); }
  QString Caption() { return F.Find<QLabel>("lblTaskName")->text(); }
  QStringList Items() {
    QStringList names;
    for (int i = 0; i < List()->count(); ++i) names << List()->item(i)->text();
    return names;
  }
  QString Selected() {
    const auto sel = List()->selectedItems();
    return sel.isEmpty() ? QString() : sel.first()->text();
  }
  void Select(const QString& name) {
    const auto found = List()->findItems(name, Qt::MatchExactly);
    QVERIFY(!found.isEmpty());
    List()->setCurrentItem(found.first());
  }
  // What the list draws for an item.
  QString Drawn(const QString& name, bool* bold) {
    auto* d = qobject_cast<ui::TTaskItemDelegate*>(List()->itemDelegate());
    const auto found = List()->findItems(name, Qt::MatchExactly);
    if (!d || found.isEmpty()) return {};
    return d->ItemText(List()->indexFromItem(found.first()), bold);
  }
  void Trigger(const char* command) { TriggerAction(F.W(), command); }
  void Menu(const char* item) {
    F.Find<QMenu>("pmTasks")->aboutToShow();
    QAction* a = F.W()->findChild<QAction*>(QString::fromLatin1(item));
    QVERIFY(a && a->isEnabled());
    a->trigger();
  }
  TTaskSettings Stored(const std::string& name) {
    TTaskSettings s;
    LoadSettings(F.Store(), TaskKeyPath(name), s, {});
    return s;
  }
  std::string History(const std::string& name) {
    auto h = F.Store().OpenKeyReadOnly(kTaskHistoryKey);
    return h ? ReadStringDef(*h, name, "") : std::string();
  }
};

} // namespace

class TTaskPanelTest : public QObject {
  Q_OBJECT

private slots:
  void searchFiltersAndSelectsTheFirstMatch();
  void searchBoxKeysMoveTheSelectionAndLoad();
  void listKeysDeleteRenameAndLoad();
  void popupItemsFollowTheSelection();
  void saveAsRefusesBadNames_data();
  void saveAsRefusesBadNames();
  void saveOnABoundTaskNeverAsksAndClearsTheMarker();
  void editingMarksTheTaskAfterAPause();
  void cloneTheWindowSuggestsANameAndBindsTheCopy();
  void newTaskAsksTheRightQuestion();
  void storedExclusionsStayAndNewTasksGetTheDesignedList();
  void loadWhileModifiedHonoursTheThreeAnswers_data();
  void loadWhileModifiedHonoursTheThreeAnswers();
  void closingWhileModifiedHonoursTheThreeAnswers_data();
  void closingWhileModifiedHonoursTheThreeAnswers();
  void renameRules_data();
  void renameRules();
  void renameTheBoundTaskKeepsBindingAndHistory();
  void cloneAStoredTask();
  void deleteTheBoundTask();
  void hintShowsFoldersAndLastRun();
  void copyCommandLinePutsTheRunOnTheClipboard();
};

void TTaskPanelTest::searchFiltersAndSelectsTheFirstMatch() {
  TWindowFixture f;
  for (const char* n : {"Photos", "Backup", "Old BACKUPS", "Feedback"}) PutTask(f.Store(), n, "/s", "/d");
  f.Open();
  TPanel p{f};
  QCOMPARE(p.Items(), (QStringList{"Backup", "Feedback", "Old BACKUPS", "Photos"}));
  QTest::keyClicks(p.Search(), QStringLiteral("back"));
  QCOMPARE(p.Items(), (QStringList{"Backup", "Feedback", "Old BACKUPS"}));
  QCOMPARE(p.Selected(), QStringLiteral("Backup"));
  p.Search()->clear();
  QCOMPARE(p.Items().size(), 4);
  QVERIFY(p.Selected().isEmpty());
  QTest::keyClicks(p.Search(), QStringLiteral("   "));
  QCOMPARE(p.Items().size(), 4);
  QVERIFY(p.Selected().isEmpty());
  p.Search()->setText(QStringLiteral("zzz"));
  QVERIFY(p.Items().isEmpty());
}

void TTaskPanelTest::searchBoxKeysMoveTheSelectionAndLoad() {
  TWindowFixture f;
  for (const char* n : {"A", "B", "C"}) PutTask(f.Store(), n, std::string("/src/") + n, "/d");
  auto& w = f.Open();
  TPanel p{f};
  p.Search()->setFocus();
  QTest::keyClick(p.Search(), Qt::Key_Up);
  QVERIFY(p.Selected().isEmpty()); // Up from nothing stays nowhere
  QTest::keyClick(p.Search(), Qt::Key_Down);
  QCOMPARE(p.Selected(), QStringLiteral("A"));
  QTest::keyClick(p.Search(), Qt::Key_Up);
  QCOMPARE(p.Selected(), QStringLiteral("A"));
  QTest::keyClick(p.Search(), Qt::Key_Down);
  QTest::keyClick(p.Search(), Qt::Key_Down);
  QTest::keyClick(p.Search(), Qt::Key_Down);
  QCOMPARE(p.Selected(), QStringLiteral("C"));
  QVERIFY(p.Search()->hasFocus());
  f.Find<QTabWidget>("pcMain")->setCurrentIndex(2);
  QTest::keyClick(p.Search(), Qt::Key_Return);
  QCOMPARE(w.CurrentTaskName(), std::string("C"));
  QCOMPARE(p.Source()->text(), QStringLiteral("/src/C"));
  QCOMPARE(p.Caption(), QStringLiteral("Task: C"));
  QCOMPARE(f.Find<QTabWidget>("pcMain")->currentWidget()->objectName(), QStringLiteral("tabFolders"));
  QVERIFY(f.Dialogs.Calls.empty());
}

void TTaskPanelTest::listKeysDeleteRenameAndLoad() {
  TWindowFixture f;
  PutTask(f.Store(), "One", "/one", "/d");
  PutTask(f.Store(), "Two", "/two", "/d");
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Two"));
  p.List()->setFocus();
  QTest::keyClick(p.List(), Qt::Key_Delete, Qt::ShiftModifier);
  QTest::keyClick(p.List(), Qt::Key_F2, Qt::ControlModifier);
  QVERIFY(f.Dialogs.Calls.empty());

  f.Dialogs.Answer(TAnswer::anNo);
  QTest::keyClick(p.List(), Qt::Key_Delete);
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, QStringLiteral("Delete selected task?"));
  QCOMPARE(f.Dialogs.LastMessage()->Message.Default, TAnswer::anNo);
  QCOMPARE(p.Items().size(), 2);

  f.Dialogs.Text(QStringLiteral("Three"));
  QTest::keyClick(p.List(), Qt::Key_F2);
  QCOMPARE(f.Dialogs.Calls.back().Title, QStringLiteral("Rename Task"));
  QCOMPARE(f.Dialogs.Calls.back().Prompt, QStringLiteral("New name:"));
  QCOMPARE(f.Dialogs.Calls.back().Initial, QStringLiteral("Two"));
  QCOMPARE(p.Items(), (QStringList{"One", "Three"}));
  QCOMPARE(p.Selected(), QStringLiteral("Three"));

  QTest::keyClick(p.List(), Qt::Key_Return);
  QCOMPARE(w.CurrentTaskName(), std::string("Three"));
  QCOMPARE(p.Source()->text(), QStringLiteral("/two"));
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::popupItemsFollowTheSelection() {
  TWindowFixture f;
  PutTask(f.Store(), "Only", "/s", "/d");
  f.Open();
  TPanel p{f};
  auto* menu = f.Find<QMenu>("pmTasks");
  auto enabled = [&] {
    menu->aboutToShow();
    QStringList on;
    for (QAction* a : menu->actions())
      if (!a->isSeparator() && a->isEnabled()) on << a->objectName();
    return on;
  };
  QCOMPARE(enabled(), (QStringList{"miNew", "miImport"}));
  QCOMPARE(menu->defaultAction()->text(), QStringLiteral("Load"));

  // A right-button press on an item selects it and opens the popup; on
  // empty space it keeps the selection.
  QWidget* vp = p.List()->viewport();
  auto rightClick = [&](QPoint at) {
    QTest::mousePress(vp, Qt::RightButton, {}, at);
    QTest::mouseRelease(vp, Qt::RightButton, {}, at);
  };
  const QRect itemRect = p.List()->visualItemRect(p.List()->item(0));
  rightClick(itemRect.center());
  QCOMPARE(p.Selected(), QStringLiteral("Only"));
  QTRY_VERIFY(menu->isVisible());
  menu->hide();
  rightClick(QPoint(itemRect.center().x(), vp->height() - 3));
  QCOMPARE(p.Selected(), QStringLiteral("Only"));
  QTRY_VERIFY(menu->isVisible());
  menu->hide();
  QCOMPARE(enabled(), (QStringList{"miLoad", "miNew", "miClone", "miRename", "miExport", "miImport", "miCopyCmdRun",
                                   "miCopyCmdDry", "miDelete"}));
}

void TTaskPanelTest::saveAsRefusesBadNames_data() {
  QTest::addColumn<QString>("answer");
  QTest::addColumn<QString>("message"); // empty: none
  QTest::addColumn<int>("kind");
  QTest::newRow("blank") << "   " << "" << 0;
  QTest::newRow("reserved, any case") << " untitled " << kReserved << int(TMessageKind::mkWarning);
  QTest::newRow("backslash") << "a\\b" << kBackslash << int(TMessageKind::mkError);
  QTest::newRow("slash") << "2024/25" << kSlash << int(TMessageKind::mkError);
}

void TTaskPanelTest::saveAsRefusesBadNames() {
  QFETCH(QString, answer);
  QFETCH(QString, message);
  QFETCH(int, kind);
  TWindowFixture f;
  auto& w = f.Open();
  TPanel p{f};
  p.Source()->setText(QStringLiteral("/data/Photos/"));
  f.Find<QLineEdit>("edtDest")->setText(QStringLiteral("/mirror"));
  f.Dialogs.Text(answer);
  if (!message.isEmpty()) f.Dialogs.Answer(TAnswer::anOk);
  p.Trigger("actSaveTask");
  QCOMPARE(f.Dialogs.Calls.front().Title, QStringLiteral("Save Task"));
  QCOMPARE(f.Dialogs.Calls.front().Initial, QStringLiteral("Photos")); // the source's last part
  if (message.isEmpty()) {
    QCOMPARE(f.Dialogs.Calls.size(), size_t(1));
  } else {
    QCOMPARE(f.Dialogs.LastMessage()->Message.Text, message);
    QCOMPARE(int(f.Dialogs.LastMessage()->Message.Kind), kind);
  }
  QVERIFY(p.Items().isEmpty());
  QVERIFY(w.CurrentTaskName().empty());
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::saveOnABoundTaskNeverAsksAndClearsTheMarker() {
  TWindowFixture f;
  PutTask(f.Store(), "Backup", "/s", "/d");
  auto& w = f.Open();
  TPanel p{f};

  // Without folders Save refuses first.
  f.Dialogs.Answer(TAnswer::anOk);
  p.Trigger("actSaveTask");
  QCOMPARE(f.Dialogs.MessageTexts(), QStringList{"Source folder is empty."});
  QVERIFY(p.Source()->hasFocus());
  f.Dialogs.Reset();

  // Save As onto an existing name asks; No leaves it, Yes overwrites and binds.
  p.Source()->setText(QStringLiteral("/new"));
  f.Find<QLineEdit>("edtDest")->setText(QStringLiteral("/mirror"));
  f.Dialogs.Text(QStringLiteral("backup"));
  f.Dialogs.Answer(TAnswer::anNo);
  p.Trigger("actSaveTask");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, kOverwrite);
  QCOMPARE(f.Dialogs.LastMessage()->Message.Default, TAnswer::anYes);
  QCOMPARE(p.Stored("Backup").Source, std::string("/s"));
  f.Dialogs.Text(QStringLiteral("backup"));
  f.Dialogs.Answer(TAnswer::anYes);
  p.Trigger("actSaveTask");
  QCOMPARE(p.Stored("Backup").Source, std::string("/new"));
  QCOMPARE(w.CurrentTaskName(), std::string("backup"));
  QCOMPARE(p.Selected(), QStringLiteral("Backup"));

  // Modified, then saved without a question: the marker and its "* " go.
  p.Source()->setText(QStringLiteral("/newer"));
  QTest::keyClick(p.Source(), Qt::Key_End);
  QTRY_VERIFY(w.TaskModified());
  bool bold = false;
  QCOMPARE(p.Drawn(QStringLiteral("Backup"), &bold), QStringLiteral("* Backup"));
  QVERIFY(bold);
  f.Dialogs.Reset();
  p.Trigger("actSaveTask");
  QVERIFY(f.Dialogs.Calls.empty());
  QVERIFY(!w.TaskModified());
  QCOMPARE(p.Caption(), QStringLiteral("Task: backup"));
  QCOMPARE(p.Drawn(QStringLiteral("Backup"), &bold), QStringLiteral("Backup"));
  QCOMPARE(p.Stored("Backup").Source, std::string("/newer"));
}

void TTaskPanelTest::editingMarksTheTaskAfterAPause() {
  TWindowFixture f;
  PutTask(f.Store(), "Docs", "/docs", "/d");
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Docs"));
  const QPoint item = p.List()->visualItemRect(p.List()->item(0)).center();
  QTest::mouseClick(p.List()->viewport(), Qt::LeftButton, {}, item);
  QTest::mouseDClick(p.List()->viewport(), Qt::LeftButton, {}, item);
  QCOMPARE(w.CurrentTaskName(), std::string("Docs"));

  p.Source()->setFocus();
  QTest::keyClicks(p.Source(), QStringLiteral("2"));
  QTRY_COMPARE(p.Caption(), QStringLiteral("Task: Docs (modified)"));
  QTest::keyClick(p.Source(), Qt::Key_Backspace);
  QTRY_COMPARE(p.Caption(), QStringLiteral("Task: Docs"));
  // The check only writes the working settings; the task stays as stored.
  QCOMPARE(p.Stored("Docs").Source, std::string("/docs"));
}

void TTaskPanelTest::cloneTheWindowSuggestsANameAndBindsTheCopy() {
  TWindowFixture f;
  PutTask(f.Store(), "Music", "/music", "/d");
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Music"));
  p.Menu("miLoad");
  f.Dialogs.Text(QStringLiteral("Music 2"));
  p.Trigger("actCloneTask");
  QCOMPARE(f.Dialogs.Calls.back().Initial, QStringLiteral("Music (copy)"));
  QCOMPARE(w.CurrentTaskName(), std::string("Music 2"));
  QCOMPARE(p.Items(), (QStringList{"Music", "Music 2"}));
  QCOMPARE(p.Stored("Music 2").Source, std::string("/music"));
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::newTaskAsksTheRightQuestion() {
  TWindowFixture f;
  PutTask(f.Store(), "Bound", "/b", "/d");
  auto& w = f.Open();
  TPanel p{f};
  // Unsaved window: the new-task question, No by default; No changes nothing.
  p.Source()->setText(QStringLiteral("/typed"));
  f.Dialogs.Answer(TAnswer::anNo);
  p.Trigger("actNewTask");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, kNewPrompt);
  QCOMPARE(f.Dialogs.LastMessage()->Message.Default, TAnswer::anNo);
  QCOMPARE(p.Source()->text(), QStringLiteral("/typed"));

  // Bound and unchanged: the same question; Yes resets to the defaults.
  p.Select(QStringLiteral("Bound"));
  p.Menu("miLoad");
  f.Dialogs.Answer(TAnswer::anYes);
  p.Trigger("actNewTask");
  QVERIFY(p.Source()->text().isEmpty());
  QVERIFY(w.CurrentTaskName().empty());
  QCOMPARE(p.Caption(), QStringLiteral("Task: Untitled"));
  QVERIFY(p.Selected().isEmpty());

  // Bound and modified: the save question instead; Cancel keeps everything.
  p.Select(QStringLiteral("Bound"));
  p.Menu("miLoad");
  p.Source()->setText(QStringLiteral("/changed"));
  f.Dialogs.Answer(TAnswer::anCancel);
  p.Trigger("actNewTask");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, kSavePrompt);
  QCOMPARE(f.Dialogs.LastMessage()->Message.Buttons, TButtons::btYesNoCancel);
  QCOMPARE(p.Source()->text(), QStringLiteral("/changed"));
  QCOMPARE(w.CurrentTaskName(), std::string("Bound"));
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

// Tasks and working settings saved by an earlier version keep the list they
// hold; only a new task starts from the designed one.
void TTaskPanelTest::storedExclusionsStayAndNewTasksGetTheDesignedList() {
  const std::string windowsList = "*\\desktop.ini\r\n*\\thumbs.db\r\n?:\\$Recycle.Bin\\*\r\n?:\\Windows\\Temp\\*";
  TWindowFixture f;
  TTaskSettings old;
  old.Source = "/old";
  old.Dest = "/d";
  old.ExclPatterns = windowsList;
  QVERIFY(SaveSettings(f.Store(), TaskKeyPath("Old"), old));
  QVERIFY(SaveSettings(f.Store(), kRootKey, old));
  f.Open();
  TPanel p{f};
  auto shown = [&] {
    return f.Find<QPlainTextEdit>("memoExclusions")->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  };
  QCOMPARE(shown(), QString::fromStdString(windowsList));
  p.Select(QStringLiteral("Old"));
  p.Menu("miLoad");
  QCOMPARE(shown(), QString::fromStdString(windowsList));
  p.Trigger("actSaveTask");
  QCOMPARE(p.Stored("Old").ExclPatterns, windowsList);

  f.Dialogs.Answer(TAnswer::anYes);
  p.Trigger("actNewTask");
  QCOMPARE(shown(), QString::fromStdString(DesignedExclusionPatterns()));
  QCOMPARE(p.Stored("Old").ExclPatterns, windowsList);
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::loadWhileModifiedHonoursTheThreeAnswers_data() {
  QTest::addColumn<int>("answer");
  QTest::addColumn<QString>("sourceAfter");
  QTest::addColumn<QString>("storedFirst");
  QTest::newRow("cancel keeps everything") << int(TAnswer::anCancel) << "/edited" << "/first";
  QTest::newRow("no loads and drops the edit") << int(TAnswer::anNo) << "/second" << "/first";
  QTest::newRow("yes saves the edit first") << int(TAnswer::anYes) << "/second" << "/edited";
}

void TTaskPanelTest::loadWhileModifiedHonoursTheThreeAnswers() {
  QFETCH(int, answer);
  QFETCH(QString, sourceAfter);
  QFETCH(QString, storedFirst);
  TWindowFixture f;
  PutTask(f.Store(), "First", "/first", "/d");
  PutTask(f.Store(), "Second", "/second", "/d");
  f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("First"));
  p.Menu("miLoad");
  p.Source()->setText(QStringLiteral("/edited"));
  p.Select(QStringLiteral("Second"));
  f.Dialogs.Answer(TAnswer(answer));
  p.Menu("miLoad");
  QCOMPARE(f.Dialogs.MessageTexts(), QStringList{kSavePrompt});
  QCOMPARE(p.Source()->text(), sourceAfter);
  QCOMPARE(QString::fromStdString(p.Stored("First").Source), storedFirst);
}

void TTaskPanelTest::closingWhileModifiedHonoursTheThreeAnswers_data() {
  QTest::addColumn<int>("answer");
  QTest::addColumn<bool>("closes");
  QTest::addColumn<QString>("stored");
  QTest::newRow("cancel") << int(TAnswer::anCancel) << false << "/kept";
  QTest::newRow("no") << int(TAnswer::anNo) << true << "/kept";
  QTest::newRow("yes") << int(TAnswer::anYes) << true << "/edited";
}

void TTaskPanelTest::closingWhileModifiedHonoursTheThreeAnswers() {
  QFETCH(int, answer);
  QFETCH(bool, closes);
  QFETCH(QString, stored);
  TWindowFixture f;
  PutTask(f.Store(), "Kept", "/kept", "/d");
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Kept"));
  p.Menu("miLoad");
  p.Source()->setText(QStringLiteral("/edited"));
  f.Dialogs.Answer(TAnswer(answer));
  QCOMPARE(w.close(), closes);
  QCOMPARE(f.Dialogs.MessageTexts(), QStringList{kSavePrompt});
  QCOMPARE(QString::fromStdString(p.Stored("Kept").Source), stored);
}

void TTaskPanelTest::renameRules_data() {
  QTest::addColumn<QString>("answer");
  QTest::addColumn<QString>("message");
  QTest::addColumn<QStringList>("items");
  const QStringList unchanged{"Backup", "Other"};
  QTest::newRow("same name") << "Backup" << "" << unchanged;
  QTest::newRow("other letter case") << "backup" << kExists << unchanged;
  QTest::newRow("existing") << " other " << kExists << unchanged;
  QTest::newRow("reserved") << "UNTITLED" << kReserved << unchanged;
  QTest::newRow("backslash") << "x\\y" << kBackslash << unchanged;
  QTest::newRow("slash") << "../x" << kSlash << unchanged;
  QTest::newRow("blank") << "  " << "" << unchanged;
  QTest::newRow("new name") << " Archive " << "" << QStringList{"Archive", "Other"};
}

void TTaskPanelTest::renameRules() {
  QFETCH(QString, answer);
  QFETCH(QString, message);
  QFETCH(QStringList, items);
  TWindowFixture f;
  PutTask(f.Store(), "Backup", "/s", "/d");
  PutTask(f.Store(), "Other", "/s", "/d");
  f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Backup"));
  f.Dialogs.Text(answer);
  if (!message.isEmpty()) f.Dialogs.Answer(TAnswer::anOk);
  p.Menu("miRename");
  QCOMPARE(f.Dialogs.MessageTexts(), message.isEmpty() ? QStringList{} : QStringList{message});
  if (!message.isEmpty()) QCOMPARE(f.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);
  QCOMPARE(p.Items(), items);
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::renameTheBoundTaskKeepsBindingAndHistory() {
  TWindowFixture f;
  PutTask(f.Store(), "Daily", "/s", "/d");
  AddTaskHistory(f.Store(), "Daily", 0, false, false);
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Daily"));
  p.Menu("miLoad");
  p.Source()->setText(QStringLiteral("/edited"));
  QTest::keyClick(p.Source(), Qt::Key_End);
  QTRY_VERIFY(w.TaskModified());
  f.Dialogs.Text(QStringLiteral("Nightly"));
  p.Menu("miRename");
  QCOMPARE(w.CurrentTaskName(), std::string("Nightly"));
  QCOMPARE(p.Caption(), QStringLiteral("Task: Nightly"));
  QVERIFY(!p.History("Nightly").empty());
  QVERIFY(p.History("Daily").empty());
  QVERIFY(!f.Store().KeyExists(TaskKeyPath("Daily")));
  // The next check finds the edit again.
  QTest::keyClick(p.Source(), Qt::Key_End);
  QTRY_COMPARE(p.Caption(), QStringLiteral("Task: Nightly (modified)"));
}

void TTaskPanelTest::cloneAStoredTask() {
  TWindowFixture f;
  PutTask(f.Store(), "Backup", "/backup", "/d");
  AddTaskHistory(f.Store(), "Backup", 2, false, false);
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Backup"));
  f.Dialogs.Text(QStringLiteral("BACKUP"));
  p.Menu("miClone");
  QCOMPARE(f.Dialogs.Calls.back().Title, QStringLiteral("Clone Task"));
  QCOMPARE(f.Dialogs.Calls.back().Prompt, QStringLiteral("Name for the copy:"));
  QCOMPARE(f.Dialogs.Calls.back().Initial, QStringLiteral("Backup (copy)"));
  QCOMPARE(p.Items(), QStringList{"Backup"});

  f.Dialogs.Text(QStringLiteral("Backup/copy"));
  f.Dialogs.Answer(TAnswer::anOk);
  p.Menu("miClone");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, kSlash);
  QCOMPARE(f.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);
  QCOMPARE(p.Items(), QStringList{"Backup"});

  f.Dialogs.Text(QStringLiteral("Backup (copy)"));
  p.Menu("miClone");
  QCOMPARE(p.Items(), (QStringList{"Backup", "Backup (copy)"}));
  QCOMPARE(p.Selected(), QStringLiteral("Backup (copy)"));
  QCOMPARE(p.Stored("Backup (copy)").Source, std::string("/backup"));
  QVERIFY(p.History("Backup (copy)").empty());
  QVERIFY(w.CurrentTaskName().empty()); // the window is not bound to the copy
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::deleteTheBoundTask() {
  TWindowFixture f;
  PutTask(f.Store(), "Old", "/old", "/mirror");
  AddTaskHistory(f.Store(), "Old", 0, false, true);
  auto& w = f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Old"));
  p.Menu("miLoad");
  f.Dialogs.Answer(TAnswer::anYes);
  p.Menu("miDelete");
  QVERIFY(p.Items().isEmpty());
  QVERIFY(p.History("Old").empty());
  QVERIFY(w.CurrentTaskName().empty());
  QCOMPARE(p.Caption(), QStringLiteral("Task: Old (deleted)"));
  QCOMPARE(p.Source()->text(), QStringLiteral("/old")); // the window keeps its settings

  f.Dialogs.Text(std::nullopt);
  p.Trigger("actSaveTask");
  QCOMPARE(f.Dialogs.Calls.back().Initial, QStringLiteral("Old"));
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TTaskPanelTest::hintShowsFoldersAndLastRun() {
  TWindowFixture f;
  PutTask(f.Store(), "Empty", "", "/mirror");
  PutTask(f.Store(), "Ran", "/src", "/dst <b>new</b>");
  AddTaskHistory(f.Store(), "Ran", 3, false, true);
  f.Open();
  TPanel p{f};
  QWidget* vp = p.List()->viewport();
  auto hintOver = [&](int row) {
    const QPoint at = p.List()->visualItemRect(p.List()->item(row)).center();
    QMouseEvent move(QEvent::MouseMove, at, vp->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &move);
    QHelpEvent help(QEvent::ToolTip, at, vp->mapToGlobal(at));
    QCoreApplication::sendEvent(vp, &help);
    // What the tooltip shows.
    QTextDocument shown;
    shown.setHtml(QToolTip::text());
    return shown.toPlainText().replace(QChar::LineSeparator, QLatin1Char('\n'));
  };
  QCOMPARE(hintOver(0), QStringLiteral("Source: (not set)\nDestination: /mirror\nLast Run: never"));
  const QString ran = hintOver(1);
  QVERIFY2(ran.startsWith(QStringLiteral("Source: /src\nDestination: /dst <b>new</b>\nLast Run: 20")), qPrintable(ran));
  QVERIFY2(ran.endsWith(QStringLiteral(" - 3 error(s) (dry run)")), qPrintable(ran));
}

void TTaskPanelTest::copyCommandLinePutsTheRunOnTheClipboard() {
  TWindowFixture f;
  PutTask(f.Store(), "Daily", "/s", "/d");
  f.Open();
  TPanel p{f};
  p.Select(QStringLiteral("Daily"));
  p.Menu("miCopyCmdRun");
  const QString exe = QString::fromStdString(ExecutablePath());
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("'%1' /task:'Daily' /run /close /min").arg(exe));
  p.Menu("miCopyCmdDry");
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("'%1' /task:'Daily' /dry /close /min").arg(exe));
}

TWF_UI_TEST_MAIN(TTaskPanelTest)
#include "task_panel_test.moc"
