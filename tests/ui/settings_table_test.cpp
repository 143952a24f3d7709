// The settings table drives the window: every row has a control, and a value
// other than the default put into each control comes back unchanged through
// Save and Load, a restart, a task file, a task archive, and into a run.
// The rows and the values come from the table itself, so a row added
// without its control, or a control the binding misses, fails here.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <variant>

#include "authkeys/auth_keys.h"
#include "tasks/task_fields.h"
#include "tasks/task_settings.h"
#include "ui_test_support.h"

using namespace twf;
using namespace twf::test;

namespace {

QStringList AllRows() {
  QStringList names;
  for (const TSettingInfo& info : TaskSettingInfos()) names << QString::fromLatin1(info.Name);
  return names;
}

// The rows whose values differ.
QStringList Differences(const TTaskSettings& a, const TTaskSettings& b) {
  QStringList names;
  for (const detail::TField& f : detail::TaskFields())
    if (!std::visit([&](auto member) { return a.*member == b.*member; }, f.Member))
      names << QString::fromLatin1(f.Info.Name);
  return names;
}

// Puts a value other than the one shown into a control, by its kind. Edits
// get a folder of their own name below root, made so that a run can use it.
bool SetOtherValue(QWidget* w, const QString& root) {
  const QString name = w->objectName();
  if (auto* c = qobject_cast<QCheckBox*>(w)) {
    c->setChecked(!c->isChecked());
  } else if (auto* n = qobject_cast<QSpinBox*>(w)) {
    n->setValue(n->value() < n->maximum() ? n->value() + 1 : n->minimum());
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    const QString folder = root + QLatin1Char('/') + name;
    if (!QDir().mkpath(folder)) return false;
    e->setText(folder);
  } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
    m->setPlainText(QStringLiteral("*.part\n*\\") + name);
  } else if (auto* l = qobject_cast<QComboBox*>(w)) {
    if (l->count() < 2) return false;
    l->setCurrentIndex((l->currentIndex() + 1) % l->count());
  } else {
    return false;
  }
  return true;
}

void SelectTask(TWindowFixture& f, const char* name) {
  auto* list = f.Find<QListWidget>("lstTasks");
  list->setCurrentItem(list->findItems(QString::fromUtf8(name), Qt::MatchExactly).value(0));
  f.Find<QMenu>("pmTasks")->aboutToShow();
}

// New Task (every control back to its default), then Load of the task.
void ResetAndLoad(TWindowFixture& f, const char* name) {
  f.Dialogs.Answer(TAnswer::anYes);
  TriggerAction(f.W(), "actNewTask");
  QCOMPARE(Differences(f.W()->ReadSettings(), TTaskSettings{}), QStringList{});
  SelectTask(f, name);
  TriggerAction(f.W(), "miLoad");
  QCOMPARE(f.W()->CurrentTaskName(), std::string(name));
}

} // namespace

class TSettingsTableTest : public QObject {
  Q_OBJECT

private slots:
  void everySettingTakesEveryRoute();
};

void TSettingsTableTest::everySettingTakesEveryRoute() {
  QTemporaryDir dir;
  TWindowFixture f;
  // A second item for the auth key list.
  QVERIFY(WriteAuthKey(f.Store(), "Deploy", "X-Token", "secret"));
  TRunControllerConfig config;
  config.WebhookTimeoutMs = 2000;
  auto& w = f.Open({}, &config);

  for (const TSettingInfo& info : TaskSettingInfos()) {
    QWidget* control = w.findChild<QWidget*>(QString::fromLatin1(info.Control));
    QVERIFY2(control, info.Name);
    QVERIFY2(SetOtherValue(control, dir.path()), info.Name);
  }
  const TTaskSettings expected = w.ReadSettings();
  QCOMPARE(Differences(expected, TTaskSettings{}), AllRows());

  // Save and Load.
  f.Dialogs.Text(QStringLiteral("Table"));
  TriggerAction(&w, "actSaveTask");
  QCOMPARE(w.CurrentTaskName(), std::string("Table"));
  ResetAndLoad(f, "Table");
  QCOMPARE(Differences(w.ReadSettings(), expected), QStringList{});

  // A restart: the working settings of the last session.
  f.Close();
  f.Open({}, &config);
  QCOMPARE(Differences(f.W()->ReadSettings(), expected), QStringList{});

  // Export and import of a task file, under another name.
  const QString file = dir.path() + QStringLiteral("/Table.ini");
  SelectTask(f, "Table");
  f.Dialogs.Path(file);
  TriggerAction(f.W(), "miExport");
  QVERIFY(QFileInfo(file).isFile());
  f.Dialogs.Path(file);
  f.Dialogs.Text(QStringLiteral("From file"));
  TriggerAction(f.W(), "miImport");
  ResetAndLoad(f, "From file");
  QCOMPARE(Differences(f.W()->ReadSettings(), expected), QStringList{});

  // Export and import of a task archive, with the tasks gone in between.
  const QString zip = dir.path() + QStringLiteral("/tasks.zip");
  f.Dialogs.Path(zip);
  f.Dialogs.Answer(TAnswer::anOk);
  TriggerAction(f.W(), "actExportTasks");
  QVERIFY(f.Store().DeleteKey(kTasksKey));
  f.Dialogs.Path(zip);
  f.Dialogs.Answer(TAnswer::anYes);
  f.Dialogs.Answer(TAnswer::anOk);
  TriggerAction(f.W(), "actImportTasks");
  ResetAndLoad(f, "Table");
  QCOMPARE(Differences(f.W()->ReadSettings(), expected), QStringList{});

  // A run takes the values the controls hold: it keeps them as the working
  // settings and builds its options from them, here with the log file on.
  QVERIFY(SaveSettings(f.Store(), kRootKey, TTaskSettings{}));
  TriggerAction(f.W(), "actDryRun");
  QTRY_VERIFY_WITH_TIMEOUT(!f.W()->IsRunning(), 20000);
  TTaskSettings ran;
  QVERIFY(LoadSettings(f.Store(), kRootKey, ran, ListAuthKeyNames(f.Store())));
  QCOMPARE(Differences(ran, expected), QStringList{});
  QCOMPARE(QDir(QString::fromStdString(expected.LogFolder)).entryList({QStringLiteral("*.log")}, QDir::Files).size(),
           1);
  QVERIFY2(f.Dialogs.Problems.isEmpty(), qPrintable(f.Dialogs.Problems.join(QLatin1Char('\n'))));
  QVERIFY(f.Dialogs.ScriptUsed());
}

TWF_UI_TEST_MAIN(TSettingsTableTest)
#include "settings_table_test.moc"
