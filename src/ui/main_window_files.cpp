// Task files and archives from the window, the auth key list of the Advanced
// page, and the example of the completion report.
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "authkeys/auth_keys.h"
#include "runctl/run_controller.h"
#include "runctl/webhook.h"
#include "tasks/task_archive.h"
#include "tasks/task_files.h"
#include "ui/auth_keys_dialog.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace twf::ui {

namespace {

std::vector<std::string> StdList(const QStringList& list) {
  std::vector<std::string> out;
  out.reserve(size_t(list.size()));
  for (const QString& s : list) out.push_back(StdStr(s));
  return out;
}

} // namespace

void TfrmTwinfoldMain::miExportClick() {
  const std::string name = SelectedTaskName();
  if (name.empty()) return;
  const std::optional<QString> path =
      FDialogs.SaveFileName(this, QString::fromUtf8(kExportTaskTitle), QString::fromUtf8(kTaskFileFilter),
                            QString::fromUtf8(kTaskFileExtension), QStr(ExportTaskFileName(name)));
  if (!path) return;
  // A task deleted meanwhile exports nothing, silently; a file that cannot be
  // written must not pass for an export.
  if (!ExportTaskFile(FStore, name, StdStr(*path)) && FStore.KeyExists(TaskKeyPath(name)))
    FDialogs.Error(this, QStringLiteral("Cannot write the task file:\r\n") + *path);
}

void TfrmTwinfoldMain::miImportClick() {
  const std::optional<QString> path =
      FDialogs.OpenFileName(this, QString::fromUtf8(kImportTaskTitle), QString::fromUtf8(kTaskFileFilter));
  if (!path) return;
  const TImportTaskOutcome out = ImportTaskCommand(
      FStore, StdStr(*path),
      [this](const std::string& proposed) -> std::optional<std::string> {
        const std::optional<QString> name = FDialogs.InputText(this, QString::fromUtf8(kImportTaskTitle),
                                                               QString::fromUtf8(kTaskNamePrompt), QStr(proposed));
        if (!name) return std::nullopt;
        return StdStr(*name);
      },
      [this](const TUserMessage& q) { return FDialogs.Message(this, FromUserMessage(q)) == TAnswer::anYes; });
  if (out.Message) FDialogs.Message(this, FromUserMessage(*out.Message));
  if (out.Imported) {
    RefreshTaskList();
    SelectTaskInList(out.TaskName);
  }
}

void TfrmTwinfoldMain::miExportTasksClick() {
  if (FAllTasks.isEmpty()) {
    FDialogs.Inform(this, QString::fromUtf8(kMsgNoTasksToExport));
    return;
  }
  const std::optional<QString> path =
      FDialogs.SaveFileName(this, QString::fromUtf8(kExportTasksTitle), QString::fromUtf8(kExportArchiveFilter),
                            QString::fromUtf8(kArchiveExtension), QString::fromUtf8(kArchiveDefaultName));
  if (!path) return;
  FDialogs.Message(this, FromUserMessage(ExportTaskArchive(FStore, StdList(FAllTasks), StdStr(*path))));
}

void TfrmTwinfoldMain::miImportTasksClick() {
  const std::optional<QString> path =
      FDialogs.OpenFileName(this, QString::fromUtf8(kImportTasksTitle), QString::fromUtf8(kImportArchiveFilter));
  if (!path) return;
  const TArchiveImportOutcome out = ImportTaskArchive(FStore, StdStr(*path), [this](const TUserMessage& q) {
    return FDialogs.Message(this, FromUserMessage(q)) == TAnswer::anYes;
  });
  if (out.Changed) RefreshTaskList();
  if (out.Message) FDialogs.Message(this, FromUserMessage(*out.Message));
}

// ---------------------------------------------------------------- auth keys

std::vector<std::string> TfrmTwinfoldMain::AuthKeyNames() const {
  std::vector<std::string> names;
  for (int i = 1; i < cmbAuthKey->count(); ++i) names.push_back(StdStr(cmbAuthKey->itemText(i)));
  return names;
}

void TfrmTwinfoldMain::FillAuthKeyCombo() {
  const QString remembered = cmbAuthKey->currentIndex() <= 0 ? QString() : cmbAuthKey->currentText();
  const QSignalBlocker block(cmbAuthKey);
  cmbAuthKey->clear();
  cmbAuthKey->addItem(QString::fromUtf8(kAuthKeyNoneItem));
  int select = 0;
  for (const std::string& name : ListAuthKeyNames(FStore)) {
    cmbAuthKey->addItem(QStr(name));
    if (!remembered.isEmpty() && select == 0 && SameKeyName(name, StdStr(remembered))) select = cmbAuthKey->count() - 1;
  }
  cmbAuthKey->setCurrentIndex(select);
}

void TfrmTwinfoldMain::btnManageKeysClick() {
  TfrmAuthKeys manager(FDialogs, FStore, this);
  FDialogs.Exec(manager);
  FillAuthKeyCombo();
}

// ---------------------------------------------------------------- report example

void TfrmTwinfoldMain::lblViewJsonClick() {
  QDialog box(this);
  box.setObjectName(QStringLiteral("frmJsonExample"));
  box.setWindowTitle(QStringLiteral("Webhook JSON example"));
  auto* lay = new QVBoxLayout(&box);
  lay->setContentsMargins(0, 0, 0, 0);
  auto* memo = new QPlainTextEdit(&box);
  memo->setObjectName(QStringLiteral("memoJson"));
  memo->setReadOnly(true);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  memo->setPlainText(QStr(IndentReport(ExampleReport(FRuns->RunFlags()))).replace(QStringLiteral("\r\n"),
                                                                                 QStringLiteral("\n")));
  lay->addWidget(memo);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &box);
  buttons->setObjectName(QStringLiteral("bbJsonExample"));
  buttons->setContentsMargins(8, 0, 8, 8);
  connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
  lay->addWidget(buttons);
  box.resize(620, 480);
  FDialogs.Exec(box); // Esc closes a dialog too
}

} // namespace twf::ui
