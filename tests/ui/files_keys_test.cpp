// Task files and archives from the window, the Auth Key Manager with the
// Advanced page's key list, and the example report window.
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>

#include "authkeys/auth_keys.h"
#include "tasks/task_settings.h"
#include "ui_test_support.h"

using namespace twf;
using namespace twf::test;

namespace {

QStringList Items(QListWidget* list) {
  QStringList names;
  for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
  return names;
}

void SelectTask(TWindowFixture& f, const QString& name) {
  auto* list = f.Find<QListWidget>("lstTasks");
  list->setCurrentItem(list->findItems(name, Qt::MatchExactly).value(0));
}

void Popup(TWindowFixture& f, const char* item) {
  f.Find<QMenu>("pmTasks")->aboutToShow();
  f.W()->findChild<QAction*>(QString::fromLatin1(item))->trigger();
}

void WriteFile(const QString& path, const QByteArray& text) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(text);
}

// The rows of the key list: name, header key, value column.
QStringList Rows(QTreeWidget* list) {
  QStringList rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* r = list->topLevelItem(i);
    rows << r->text(0) + QLatin1Char('|') + r->text(1) + QLatin1Char('|') + r->text(2);
  }
  return rows;
}

} // namespace

class TFilesKeysTest : public QObject {
  Q_OBJECT

private slots:
  void exportAndImportOneTask();
  void importOneTaskRefusals();
  void exportToAnUnwritablePlaceSaysSo();
  void archiveExportAndImport();
  void archiveImportThatIsNotAnArchive();
  void authKeyManagerAddsUpdatesAndDeletes();
  void authKeyListFollowsTheManager();
  void exampleReportWindow();
};

void TFilesKeysTest::exportAndImportOneTask() {
  QTemporaryDir dir;
  TWindowFixture f;
  PutTask(f.Store(), "Photos", "/photos", "/mirror");
  auto& w = f.Open();
  SelectTask(f, QStringLiteral("Photos"));
  const QString file = dir.path() + QStringLiteral("/photos.ini");
  f.Dialogs.Path(file);
  Popup(f, "miExport");
  QCOMPARE(f.Dialogs.Calls.back().Title, QStringLiteral("Export Task"));
  QCOMPARE(f.Dialogs.Calls.back().Prompt, QStringLiteral("Task files (*.ini)|*.ini|All files (*.*)|*.*"));
  QCOMPARE(f.Dialogs.Calls.back().Initial, QStringLiteral("Photos.ini"));
  QVERIFY(QFile::exists(file));
  QCOMPARE(f.Dialogs.MessageTexts(), QStringList{}); // nothing is shown afterwards

  // Back in under another name; the window's own task stays untouched.
  f.Dialogs.Path(file);
  f.Dialogs.Text(QStringLiteral("  Photos 2 "));
  Popup(f, "miImport");
  QCOMPARE(f.Dialogs.Calls.back().Title, QStringLiteral("Import Task"));
  QCOMPARE(f.Dialogs.Calls.back().Prompt, QStringLiteral("Task name:"));
  QCOMPARE(f.Dialogs.Calls.back().Initial, QStringLiteral("Photos"));
  QCOMPARE(Items(f.Find<QListWidget>("lstTasks")), (QStringList{"Photos", "Photos 2"}));
  QCOMPARE(f.Find<QListWidget>("lstTasks")->currentItem()->text(), QStringLiteral("Photos 2"));
  QVERIFY(w.CurrentTaskName().empty());
  QVERIFY(f.Find<QLineEdit>("edtSource")->text().isEmpty());

  // The same name again: asked, Yes by default; No writes nothing.
  f.Dialogs.Path(file);
  f.Dialogs.Text(QStringLiteral("Photos 2"));
  f.Dialogs.Answer(TAnswer::anNo);
  Popup(f, "miImport");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text,
           QStringLiteral("A task with the same name already exists. Overwrite it?"));
  QCOMPARE(f.Dialogs.LastMessage()->Message.Default, TAnswer::anYes);
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TFilesKeysTest::importOneTaskRefusals() {
  QTemporaryDir dir;
  TWindowFixture f;
  f.Open();
  const QString metaOnly = dir.path() + QStringLiteral("/meta.ini");
  WriteFile(metaOnly, "[Meta]\r\nName=Lonely\r\n");
  f.Dialogs.Path(metaOnly);
  f.Dialogs.Text(QStringLiteral("Lonely"));
  f.Dialogs.Answer(TAnswer::anOk);
  Popup(f, "miImport");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, QStringLiteral("This file does not contain a [Task] section."));
  QCOMPARE(f.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);

  const QString good = dir.path() + QStringLiteral("/good.ini");
  WriteFile(good, "[Task]\r\nSource=/x\r\n");
  f.Dialogs.Path(good);
  f.Dialogs.Text(QStringLiteral("a\\b"));
  f.Dialogs.Answer(TAnswer::anOk);
  Popup(f, "miImport");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, QStringLiteral("The task name cannot contain \"\\\"."));
  QVERIFY(Items(f.Find<QListWidget>("lstTasks")).isEmpty());
  f.Dialogs.Path(good);
  f.Dialogs.Text(QStringLiteral("../elsewhere"));
  f.Dialogs.Answer(TAnswer::anOk);
  Popup(f, "miImport");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, QStringLiteral("The task name cannot contain \"/\"."));
  QVERIFY(Items(f.Find<QListWidget>("lstTasks")).isEmpty());

  f.Dialogs.Path(std::nullopt); // a cancelled open dialog asks nothing more
  Popup(f, "miImport");
  QVERIFY(f.Dialogs.Problems.isEmpty());
  QVERIFY(f.Dialogs.ScriptUsed());
}

void TFilesKeysTest::exportToAnUnwritablePlaceSaysSo() {
  TWindowFixture f;
  PutTask(f.Store(), "T", "/s", "/d");
  f.Open();
  SelectTask(f, QStringLiteral("T"));
  const QString path = QStringLiteral("/nonexistent-folder/t.ini");
  f.Dialogs.Path(path);
  f.Dialogs.Answer(TAnswer::anOk);
  Popup(f, "miExport");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);
  QVERIFY(f.Dialogs.LastMessage()->Message.Text.endsWith(path));
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TFilesKeysTest::archiveExportAndImport() {
  QTemporaryDir dir;
  TWindowFixture f;
  f.Open();
  f.Dialogs.Answer(TAnswer::anOk);
  f.Find<QToolButton>("tbtnExportTasks")->click();
  QCOMPARE(f.Dialogs.MessageTexts(), QStringList{"There are no saved tasks to export."});
  QCOMPARE(f.Dialogs.Calls.size(), size_t(1)); // no save dialog
  f.Close();

  PutTask(f.Store(), "a:b", "/1", "/d");
  PutTask(f.Store(), "a/b", "/2", "/d");
  f.Open();
  f.Dialogs.Reset();
  const QString zip = dir.path() + QStringLiteral("/tasks.zip");
  f.Dialogs.Path(zip);
  f.Dialogs.Answer(TAnswer::anOk);
  TriggerAction(f.W(), "actExportTasks");
  QCOMPARE(f.Dialogs.Calls.front().Title, QStringLiteral("Export Tasks"));
  QCOMPARE(f.Dialogs.Calls.front().Initial, QStringLiteral("Twinfold-Tasks.zip"));
  QCOMPARE(f.Dialogs.MessageTexts(), QStringList{"2 task(s) exported."});

  // Remove both, then bring them back from the archive.
  f.Store().DeleteKey(kTasksKey);
  f.Dialogs.Reset();
  f.Dialogs.Path(zip);
  f.Dialogs.Answer(TAnswer::anNo);
  f.Find<QToolButton>("tbtnImportTasks")->click();
  QCOMPARE(f.Dialogs.MessageTexts(),
           QStringList{"2 task file(s) found. Same-name tasks will be overwritten.\r\n\r\nContinue?"});
  QVERIFY(!f.Store().KeyExists(kTasksKey));

  f.Dialogs.Reset();
  f.Dialogs.Path(zip);
  f.Dialogs.Answer(TAnswer::anYes);
  f.Dialogs.Answer(TAnswer::anOk);
  TriggerAction(f.W(), "actImportTasks");
  QCOMPARE(f.Dialogs.Calls.front().Title, QStringLiteral("Import Tasks"));
  // A name with "/" (from before such names were refused) is not taken back.
  QCOMPARE(f.Dialogs.MessageTexts().value(1), QStringLiteral("1 task(s) imported, 1 file(s) skipped."));
  QCOMPARE(Items(f.Find<QListWidget>("lstTasks")), QStringList{"a:b"});
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

void TFilesKeysTest::archiveImportThatIsNotAnArchive() {
  QTemporaryDir dir;
  const QString bogus = dir.path() + QStringLiteral("/bogus.zip");
  WriteFile(bogus, "this is no zip");
  TWindowFixture f;
  f.Open();
  f.Dialogs.Path(bogus);
  f.Dialogs.Answer(TAnswer::anOk);
  f.Find<QToolButton>("tbtnImportTasks")->click();
  QVERIFY(f.Dialogs.LastMessage()->Message.Text.startsWith(QStringLiteral("Cannot open the zip archive: ")));
  QCOMPARE(f.Dialogs.LastMessage()->Message.Kind, TMessageKind::mkError);
  // Nothing of the import's scratch folder is left behind.
  QVERIFY(QDir(QString::fromLocal8Bit(qgetenv("TMPDIR"))).entryList({"Twinfold-*"}, QDir::Dirs).isEmpty());
}

void TFilesKeysTest::authKeyManagerAddsUpdatesAndDeletes() {
  TWindowFixture f;
  f.Open();
  int step = 0; // how far the script got
  f.Dialogs.Dialog([&](QDialog& d) {
    auto* list = d.findChild<QTreeWidget*>("lvKeys");
    auto* name = d.findChild<QLineEdit*>("edtName");
    auto* key = d.findChild<QLineEdit*>("edtKey");
    auto* value = d.findChild<QLineEdit*>("edtValue");
    auto* save = d.findChild<QPushButton*>("btnSave");
    auto add = [&](const QString& n, const QString& k, const QString& v) {
      name->setText(n);
      key->setText(k);
      value->setText(v);
      QTest::mouseClick(save, Qt::LeftButton);
    };
    if (d.windowTitle() != QStringLiteral("Auth Key Manager")) return int(QDialog::Rejected);
    add(QStringLiteral("  Prod  "), QStringLiteral(" X-API-Key "), QStringLiteral(" secret1 "));
    add(QStringLiteral("Four"), QString(), QStringLiteral("abcd"));
    add(QStringLiteral("Empty"), QStringLiteral("H"), QString());
    add(QStringLiteral("a\\b"), QString(), QString());   // refused: backslash
    add(QStringLiteral("   "), QString(), QString());    // refused: no name
    // The blanks around the value stay; those around name and key go.
    if (Rows(list) != QStringList{"Empty|H|", "Four||****", "Prod|X-API-Key|*****et1 "}) { step = -1; return 0; }

    // Same name in other letters updates the entry and selects its row.
    add(QStringLiteral("prod"), QStringLiteral("X-Key"), QStringLiteral("12345678"));
    if (Rows(list) != QStringList{"Empty|H|", "Four||****", "Prod|X-Key|****5678"}) { step = -2; return 0; }
    if (list->selectedItems().size() != 1 || list->selectedItems()[0]->text(0) != QStringLiteral("Prod")) { step = -3; return 0; }
    // The edit shows the clear value of the selected row.
    list->clearSelection();
    list->topLevelItem(1)->setSelected(true);
    if (value->text() != QStringLiteral("abcd") || name->text() != QStringLiteral("Four")) { step = -4; return 0; }

    // Delete: nothing happens with Shift, or with no selection.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Delete, Qt::ShiftModifier);
    list->clearSelection();
    QTest::keyClick(list, Qt::Key_Delete);
    if (list->topLevelItemCount() != 3) { step = -5; return 0; }
    list->topLevelItem(0)->setSelected(true);
    list->topLevelItem(2)->setSelected(true);
    QTest::keyClick(list, Qt::Key_Delete); // answered No
    QTest::keyClick(list, Qt::Key_Delete); // answered Yes
    if (Rows(list) != QStringList{"Four||****"} || !list->selectedItems().isEmpty() || !name->text().isEmpty())
      { step = -6; return 0; }
    QTest::keyClick(&d, Qt::Key_Escape);
    return d.result();
  });
  f.Dialogs.Answer(TAnswer::anOk); // backslash
  f.Dialogs.Answer(TAnswer::anOk); // no name
  f.Dialogs.Answer(TAnswer::anNo);
  f.Dialogs.Answer(TAnswer::anYes);
  f.Find<QPushButton>("btnManageKeys")->click();
  QCOMPARE(step, 0);
  QCOMPARE(f.Dialogs.Calls.front().Title, QStringLiteral("Auth Key Manager"));
  QCOMPARE(f.Dialogs.MessageTexts(),
           (QStringList{"The name cannot contain \"\\\".", "Please enter a name for this key.",
                        "Delete 2 selected key(s)?", "Delete 2 selected key(s)?"}));
  QCOMPARE(f.Dialogs.LastMessage()->Message.Default, TAnswer::anNo);
  QVERIFY(f.Dialogs.Problems.isEmpty());
  std::string header, value;
  QVERIFY(ReadAuthKey(f.Store(), "Four", header, value));
  QCOMPARE(value, std::string("abcd"));
  QVERIFY(!ReadAuthKey(f.Store(), "Prod", header, value));
}

void TFilesKeysTest::authKeyListFollowsTheManager() {
  TWindowFixture f;
  WriteAuthKey(f.Store(), "Alpha", "X-A", "1");
  WriteAuthKey(f.Store(), "Beta", "X-B", "2");
  PutTask(f.Store(), "Hooked", "/s", "/d");
  {
    TTaskSettings s;
    s.Source = "/s";
    s.Dest = "/d";
    s.WebhookEnabled = true;
    s.WebhookAuthKey = "beta";
    SaveSettings(f.Store(), TaskKeyPath("Hooked"), s);
  }
  f.Open();
  auto* combo = f.Find<QComboBox>("cmbAuthKey");
  QCOMPARE(combo->count(), 3);
  SelectTask(f, QStringLiteral("Hooked"));
  Popup(f, "miLoad");
  QVERIFY(combo->isEnabled());
  QCOMPARE(combo->currentText(), QStringLiteral("Beta"));

  // Closing the manager keeps a name that still exists ...
  f.Dialogs.Dialog([](QDialog& d) { return d.result(); });
  f.Find<QToolButton>("tbtnAuthKeys")->click();
  QCOMPARE(combo->currentText(), QStringLiteral("Beta"));
  // ... and falls back to "(none)" when it was deleted there.
  f.Dialogs.Dialog([&](QDialog&) {
    DeleteAuthKey(f.Store(), "Beta");
    return int(QDialog::Accepted);
  });
  f.Find<QPushButton>("btnManageKeys")->click();
  QCOMPARE(combo->currentIndex(), 0);
  QCOMPARE(combo->count(), 2);
  // Loading the task again finds no such key either.
  f.Dialogs.Answer(TAnswer::anNo); // the window now differs from the task: do not save
  Popup(f, "miLoad");
  QCOMPARE(f.Dialogs.LastMessage()->Message.Text, QStringLiteral("Current task settings changed. Save them?"));
  QCOMPARE(combo->currentText(), QStringLiteral("(none)"));
}

void TFilesKeysTest::exampleReportWindow() {
  TWindowFixture f;
  f.Open();
  f.Find<QTabWidget>("pcMain")->setCurrentIndex(5);
  QString text;
  f.Dialogs.Dialog([&](QDialog& d) {
    text = d.findChild<QPlainTextEdit*>("memoJson")->toPlainText();
    QTest::keyClick(&d, Qt::Key_Escape);
    return d.result();
  });
  QTest::mouseClick(f.Find<QLabel>("lblViewJson"), Qt::LeftButton);
  QCOMPARE(f.Dialogs.Calls.back().Title, QStringLiteral("Webhook JSON example"));
  const QStringList lines = text.split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 27);
  QCOMPARE(lines.first(), QStringLiteral("{"));
  QCOMPARE(lines[1], QStringLiteral("  \"app\": \"Quarlex Twinfold\","));
  QVERIFY(lines.contains(QStringLiteral("  \"files_copied\": 84213,")));
  QVERIFY(lines.contains(QStringLiteral("  \"source\": \"/home/dev/Documents\",")));
  QVERIFY(lines.contains(QStringLiteral("  \"destination\": \"/media/dev/Backup/Documents\",")));
  QCOMPARE(lines.last(), QStringLiteral("}"));

  // The Close button closes it as Esc does.
  bool closed = false;
  f.Dialogs.Dialog([&](QDialog& d) {
    auto* close = d.findChild<QDialogButtonBox*>("bbJsonExample")->button(QDialogButtonBox::Close);
    if (!close) return -1;
    d.show();
    QTest::mouseClick(close, Qt::LeftButton);
    closed = !d.isVisible() && d.result() == QDialog::Rejected;
    return d.result();
  });
  QTest::mouseClick(f.Find<QLabel>("lblViewJson"), Qt::LeftButton);
  QVERIFY(closed);
}

TWF_UI_TEST_MAIN(TFilesKeysTest)
#include "files_keys_test.moc"
