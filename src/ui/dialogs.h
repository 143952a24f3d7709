// Every question, message, input box, file or folder picker and modal window
// of the program goes through IDialogs, so tests can script the answers and
// nothing modal ever blocks them. Abstract so tests can answer any call.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

#include "tasks/user_message.h"

class QDialog;
class QWidget;

namespace twf::ui {

enum class TButtons { btOk, btYesNo, btYesNoCancel };
enum class TAnswer { anOk, anYes, anNo, anCancel };

struct TMessage {
  TMessageKind Kind = TMessageKind::mkInformation;
  QString Text;
  TButtons Buttons = TButtons::btOk;
  TAnswer Default = TAnswer::anOk;
};

// A TUserMessage of the store functions: confirmations ask Yes or No.
TMessage FromUserMessage(const TUserMessage& m);

class IDialogs {
public:
  virtual ~IDialogs() = default;

  // Closing a box without a button answers Cancel (or No where there is no Cancel).
  virtual TAnswer Message(QWidget* parent, const TMessage& message) = 0;
  // nullopt: the user cancelled.
  virtual std::optional<QString> InputText(QWidget* parent, const QString& title, const QString& prompt,
                                           const QString& initial) = 0;
  // startFolder: opened when it names an existing folder.
  virtual std::optional<QString> PickFolder(QWidget* parent, const QString& title, const QString& startFolder) = 0;
  // filter uses the "Description|*.ext|Description|*.*" form of the task commands.
  virtual std::optional<QString> OpenFileName(QWidget* parent, const QString& title, const QString& filter) = 0;
  // Asks before overwriting an existing file; defaultSuffix is added to a name without one.
  virtual std::optional<QString> SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                              const QString& defaultSuffix, const QString& initialName) = 0;
  // Shows a modal window of the program (About, Auth Key Manager, JSON
  // example) and returns its result code.
  virtual int Exec(QDialog& dialog) = 0;
  // Folders in the file manager, web pages in the browser, text files in the
  // default viewer. Never a shell command line.
  virtual bool OpenUrl(const QUrl& url) = 0;

  // Shorthands.
  void Inform(QWidget* parent, const QString& text);
  void Warn(QWidget* parent, const QString& text);
  void Error(QWidget* parent, const QString& text);
  // Yes/No question; true only for Yes.
  bool AskYesNo(QWidget* parent, TMessageKind kind, const QString& text, bool defaultYes);
};

// The real dialogs of the desktop.
class TQtDialogs : public IDialogs {
public:
  TAnswer Message(QWidget* parent, const TMessage& message) override;
  std::optional<QString> InputText(QWidget* parent, const QString& title, const QString& prompt,
                                   const QString& initial) override;
  std::optional<QString> PickFolder(QWidget* parent, const QString& title, const QString& startFolder) override;
  std::optional<QString> OpenFileName(QWidget* parent, const QString& title, const QString& filter) override;
  std::optional<QString> SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                      const QString& defaultSuffix, const QString& initialName) override;
  int Exec(QDialog& dialog) override;
  bool OpenUrl(const QUrl& url) override;
};

// "Task files (*.ini)|*.ini|All files (*.*)|*.*" as a Qt name filter list
// ("Task files (*.ini);;All files (*)"): "*.*" means every file here.
QString QtNameFilters(const QString& pipeFilter);

inline QString QStr(const std::string& s) { return QString::fromStdString(s); }
inline std::string StdStr(const QString& s) { return s.toStdString(); }

} // namespace twf::ui
