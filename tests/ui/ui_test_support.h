// Shared pieces of the window tests: dialogs that answer from a script,
// a fresh settings store per test, and the test entry that points HOME and
// the XDG folders at a temporary folder before anything reads them.
#pragma once

#include <QDialog>
#include <QObject>
#include <QStringList>
#include <QtTest/QtTest>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "runctl/run_controller.h"
#include "tasks/settings_store.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace twf::test {

using ui::TAnswer;
using ui::TButtons;
using ui::TMessage;

// One call the window made, as the user would have seen it.
struct TDialogCall {
  enum TKind { dcMessage, dcInput, dcFolder, dcOpenFile, dcSaveFile, dcExec };
  TKind Kind;
  TMessage Message;     // dcMessage
  QString Title;        // input box, pickers, the dialog's window title
  QString Prompt;       // input box prompt, picker start folder, file filter
  QString Initial;      // input box text, save dialog file name
};

// Answers every question from a script, in order. A call without a scripted
// answer, or of another kind than scripted, is recorded in Problems and
// answered like a cancelled box, so a test never blocks.
class TScriptedDialogs : public ui::IDialogs {
public:
  using TExecScript = std::function<int(QDialog&)>;

  void Answer(TAnswer a) { FScript.push_back({TStep::skAnswer, a, {}, {}}); }
  void Text(std::optional<QString> text) { FScript.push_back({TStep::skText, {}, std::move(text), {}}); }
  void Path(std::optional<QString> path) { FScript.push_back({TStep::skPath, {}, std::move(path), {}}); }
  void Dialog(TExecScript script) { FScript.push_back({TStep::skDialog, {}, {}, std::move(script)}); }

  std::vector<TDialogCall> Calls;
  QStringList Problems;
  QList<QUrl> OpenedUrls;

  bool ScriptUsed() const { return FScript.empty(); }
  // The texts of the message boxes shown so far.
  QStringList MessageTexts() const;
  const TDialogCall* LastMessage() const;
  void Reset();

  TAnswer Message(QWidget* parent, const TMessage& message) override;
  std::optional<QString> InputText(QWidget* parent, const QString& title, const QString& prompt,
                                   const QString& initial) override;
  std::optional<QString> PickFolder(QWidget* parent, const QString& title, const QString& startFolder) override;
  std::optional<QString> OpenFileName(QWidget* parent, const QString& title, const QString& filter) override;
  std::optional<QString> SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                      const QString& defaultSuffix, const QString& initialName) override;
  int Exec(QDialog& dialog) override;
  bool OpenUrl(const QUrl& url) override;

private:
  struct TStep {
    enum TKind { skAnswer, skText, skPath, skDialog } Kind;
    TAnswer Answer;
    std::optional<QString> Value;
    TExecScript Script;
  };
  // The next step when it is of the kind asked for; else recorded as a problem.
  std::optional<TStep> Take(TStep::TKind kind, const QString& what);
  std::deque<TStep> FScript;
};

// The settings database of the temporary home.
QString StorePath();
// Removes the database, so the next store starts empty.
void RemoveStore();

// A window on a fresh store, shown; destroyed (saving its settings) before
// the store closes.
class TWindowFixture {
public:
  explicit TWindowFixture(bool freshStore = true);
  ~TWindowFixture();
  // The window's runs take config (the defaults when null) with the
  // power-off replaced by RunConfig's.
  ui::TfrmTwinfoldMain& Open(const TCommandLine& cmd = {}, const TRunControllerConfig* config = nullptr);
  // config (the defaults when null) with a power-off that only counts: no
  // window of a test may ever power the machine off.
  TRunControllerConfig RunConfig(const TRunControllerConfig* config = nullptr);
  int PowerOffRequests() const { return FPowerOffRequests.load(); }
  void Close(); // destroys the window (its settings go to the store)

  ui::TfrmTwinfoldMain* W() { return FWindow.get(); }
  TSettingsStore& Store() { return *FStore; }
  TScriptedDialogs Dialogs;

  template <class T> T* Find(const char* name) {
    T* w = FWindow->findChild<T*>(QString::fromLatin1(name));
    if (!w) qWarning("no child named %s", name);
    return w;
  }

private:
  std::unique_ptr<TSettingsStore> FStore;
  std::unique_ptr<ui::TfrmTwinfoldMain> FWindow;
  std::atomic<int> FPowerOffRequests{0};
};

// Triggers the window's command of that object name as a click on its
// button would; the test fails when there is no such command or it is
// disabled (a click would do nothing).
void TriggerAction(QWidget* window, const char* name);

// Saves a task straight into the store.
void PutTask(TSettingsStore& store, const std::string& name, const std::string& source, const std::string& dest);

// Sends a drop of the given paths onto widget at its point pos (centre by default).
void DropPaths(QWidget* widget, const QStringList& paths, std::optional<QPoint> pos = std::nullopt);

// Test entry: temporary HOME/XDG folders, the offscreen platform, no power-off.
int RunUiTests(QObject& tests, int argc, char** argv);

} // namespace twf::test

#define TWF_UI_TEST_MAIN(TestClass)          \
  int main(int argc, char** argv) {          \
    TestClass tests;                         \
    return twf::test::RunUiTests(tests, argc, argv); \
  }
