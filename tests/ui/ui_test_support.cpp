#include "ui_test_support.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <cstdlib>

#include "platform/power.h"
#include "tasks/settings_store.h"
#include "tasks/task_settings.h"

namespace twf::test {

std::optional<TScriptedDialogs::TStep> TScriptedDialogs::Take(TStep::TKind kind, const QString& what) {
  if (FScript.empty()) {
    Problems << QStringLiteral("unscripted ") + what;
    return std::nullopt;
  }
  TStep step = std::move(FScript.front());
  FScript.pop_front();
  if (step.Kind == kind) return step;
  Problems << QStringLiteral("scripted answer of another kind for ") + what;
  return std::nullopt;
}

QStringList TScriptedDialogs::MessageTexts() const {
  QStringList texts;
  for (const TDialogCall& c : Calls)
    if (c.Kind == TDialogCall::dcMessage) texts << c.Message.Text;
  return texts;
}

const TDialogCall* TScriptedDialogs::LastMessage() const {
  for (auto it = Calls.rbegin(); it != Calls.rend(); ++it)
    if (it->Kind == TDialogCall::dcMessage) return &*it;
  return nullptr;
}

void TScriptedDialogs::Reset() {
  Calls.clear();
  Problems.clear();
  OpenedUrls.clear();
  FScript.clear();
}

TAnswer TScriptedDialogs::Message(QWidget*, const TMessage& message) {
  Calls.push_back({TDialogCall::dcMessage, message, {}, {}, {}});
  if (std::optional<TStep> a = Take(TStep::skAnswer, QStringLiteral("message \"%1\"").arg(message.Text)))
    return a->Answer;
  return message.Buttons == TButtons::btOk ? TAnswer::anOk
         : message.Buttons == TButtons::btYesNo ? TAnswer::anNo
                                                 : TAnswer::anCancel;
}

std::optional<QString> TScriptedDialogs::InputText(QWidget*, const QString& title, const QString& prompt,
                                                   const QString& initial) {
  Calls.push_back({TDialogCall::dcInput, {}, title, prompt, initial});
  if (std::optional<TStep> in = Take(TStep::skText, QStringLiteral("input box"))) return in->Value;
  return std::nullopt;
}

std::optional<QString> TScriptedDialogs::PickFolder(QWidget*, const QString& title, const QString& startFolder) {
  Calls.push_back({TDialogCall::dcFolder, {}, title, startFolder, {}});
  if (std::optional<TStep> p = Take(TStep::skPath, QStringLiteral("folder picker"))) return p->Value;
  return std::nullopt;
}

std::optional<QString> TScriptedDialogs::OpenFileName(QWidget*, const QString& title, const QString& filter) {
  Calls.push_back({TDialogCall::dcOpenFile, {}, title, filter, {}});
  if (std::optional<TStep> p = Take(TStep::skPath, QStringLiteral("open dialog"))) return p->Value;
  return std::nullopt;
}

std::optional<QString> TScriptedDialogs::SaveFileName(QWidget*, const QString& title, const QString& filter,
                                                      const QString&, const QString& initialName) {
  Calls.push_back({TDialogCall::dcSaveFile, {}, title, filter, initialName});
  if (std::optional<TStep> p = Take(TStep::skPath, QStringLiteral("save dialog"))) return p->Value;
  return std::nullopt;
}

int TScriptedDialogs::Exec(QDialog& dialog) {
  Calls.push_back({TDialogCall::dcExec, {}, dialog.windowTitle(), dialog.objectName(), {}});
  std::optional<TStep> step = Take(TStep::skDialog, QStringLiteral("modal window"));
  if (!step) return QDialog::Rejected;
  dialog.show();
  const int result = step->Script(dialog);
  dialog.hide();
  return result;
}

bool TScriptedDialogs::OpenUrl(const QUrl& url) {
  OpenedUrls << url;
  return true;
}

QString StorePath() { return QString::fromStdString(TSettingsStore::DefaultPath(TConfigHome::chEnvironment)); }

void RemoveStore() {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) QFile::remove(StorePath() + QLatin1String(suffix));
}

TWindowFixture::TWindowFixture(bool freshStore) {
  if (freshStore) RemoveStore();
  FStore = std::make_unique<TSettingsStore>(StorePath().toStdString());
}

TWindowFixture::~TWindowFixture() { Close(); }

ui::TfrmTwinfoldMain& TWindowFixture::Open(const TCommandLine& cmd, const TRunControllerConfig* config) {
  const TRunControllerConfig runConfig = RunConfig(config);
  FWindow = std::make_unique<ui::TfrmTwinfoldMain>(Dialogs, *FStore, cmd, &runConfig);
  FWindow->show();
  if (!QTest::qWaitForWindowExposed(FWindow.get())) qWarning("window not exposed");
  FWindow->activateWindow();
  QApplication::setActiveWindow(FWindow.get());
  return *FWindow;
}

TRunControllerConfig TWindowFixture::RunConfig(const TRunControllerConfig* config) {
  TRunControllerConfig c = config ? *config : TRunControllerConfig{};
  c.PowerOff = [this] {
    ++FPowerOffRequests;
    return 0;
  };
  return c;
}

void TWindowFixture::Close() { FWindow.reset(); }

void TriggerAction(QWidget* window, const char* name) {
  QAction* action = window ? window->findChild<QAction*>(QString::fromLatin1(name)) : nullptr;
  QVERIFY2(action, name);
  QVERIFY2(action->isEnabled(), name);
  action->trigger();
}

void PutTask(TSettingsStore& store, const std::string& name, const std::string& source, const std::string& dest) {
  TTaskSettings s;
  s.Source = source;
  s.Dest = dest;
  SaveSettings(store, TaskKeyPath(name), s);
}

void DropPaths(QWidget* widget, const QStringList& paths, std::optional<QPoint> pos) {
  QMimeData mime;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  mime.setUrls(urls);
  const QPointF at = pos ? QPointF(*pos) : QPointF(widget->rect().center());
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(widget, &enter);
  QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(widget, &drop);
}

int RunUiTests(QObject& tests, int argc, char** argv) {
  QTemporaryDir home;
  if (!home.isValid()) return 3;
  const QByteArray h = home.path().toUtf8();
  setenv("HOME", h.constData(), 1);
  setenv("XDG_CONFIG_HOME", (h + "/config").constData(), 1);
  setenv("XDG_DATA_HOME", (h + "/data").constData(), 1);
  setenv("XDG_CACHE_HOME", (h + "/cache").constData(), 1);
  setenv("XDG_RUNTIME_DIR", (h + "/runtime").constData(), 1);
  setenv("TMPDIR", (h + "/tmp").constData(), 1);
  for (const char* sub : {"/config", "/data", "/cache", "/runtime", "/tmp", "/Documents"})
    QDir().mkpath(home.path() + QLatin1String(sub));
  QFile::setPermissions(home.path() + QStringLiteral("/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                      QFileDevice::ExeOwner);
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarlex Twinfold"));
  return QTest::qExec(&tests, argc, argv);
}

} // namespace twf::test
