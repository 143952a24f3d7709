// The task panel: the sorted, searchable list, its keys, hints and popup
// menu, and the task commands with their questions.
#include <QClipboard>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>

#include "runctl/command_line.h"
#include "runctl/run_controller.h"
#include "tasks/task_files.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/task_panel.h"

namespace twf::ui {

namespace {

const QString kMsgReservedName = QStringLiteral("\"Untitled\" is reserved for new, unsaved tasks.");
const QString kMsgTaskExists = QStringLiteral("A task with the same name already exists.");
const QString kMsgOverwrite = QStringLiteral("A task with the same name already exists. Overwrite it?");
const QString kModifiedSuffix = QStringLiteral(" (modified)");

// Blanks and control characters go at both ends.
QString TrimSearch(const QString& s) {
  qsizetype first = 0, last = s.size();
  auto blank = [](QChar c) { return c.isSpace() || c.category() == QChar::Other_Control; };
  while (first < last && blank(s[first])) ++first;
  while (last > first && blank(s[last - 1])) --last;
  return s.mid(first, last - first);
}

// A tooltip guesses whether its text is markup; folders are shown as they are.
QString HintMarkup(const QString& text) {
  QString escaped = text.toHtmlEscaped();
  escaped.replace(QStringLiteral("\r\n"), QStringLiteral("<br>"));
  return QStringLiteral("<p style='white-space:pre'>") + escaped + QStringLiteral("</p>");
}

bool IsReservedName(const QString& name) {
  return name.compare(QString::fromLatin1(kUntitledTaskName), Qt::CaseInsensitive) == 0;
}

} // namespace

// ---------------------------------------------------------------- the list

void TfrmTwinfoldMain::RefreshTaskList() {
  FAllTasks.clear();
  for (const std::string& name : ListTaskNames(FStore)) FAllTasks << QStr(name);
  FilterTaskList();
}

void TfrmTwinfoldMain::FilterTaskList() {
  const QString search = TrimSearch(edtSearch->text());
  const QLocale locale;
  const QString needle = locale.toUpper(search);
  lstTasks->clear();
  FHintIndex = -1;
  for (const QString& name : FAllTasks)
    if (search.isEmpty() || locale.toUpper(name).contains(needle)) lstTasks->addItem(name);
  if (!search.isEmpty() && lstTasks->count() > 0) {
    lstTasks->setCurrentRow(0);
  } else {
    lstTasks->clearSelection();
    lstTasks->setCurrentItem(nullptr);
  }
}

std::string TfrmTwinfoldMain::SelectedTaskName() const {
  const QList<QListWidgetItem*> sel = lstTasks->selectedItems();
  return sel.isEmpty() ? std::string() : StdStr(sel.first()->text());
}

void TfrmTwinfoldMain::SelectTaskInList(const std::string& name) {
  const QString n = QStr(name);
  for (int i = 0; i < lstTasks->count(); ++i) {
    if (lstTasks->item(i)->text().compare(n, Qt::CaseInsensitive) == 0) {
      lstTasks->setCurrentRow(i);
      return;
    }
  }
  lstTasks->clearSelection();
  lstTasks->setCurrentItem(nullptr);
}

void TfrmTwinfoldMain::MoveSearchSelection(int delta) {
  const int n = lstTasks->count();
  if (n == 0) return;
  const QList<QListWidgetItem*> sel = lstTasks->selectedItems();
  int row = sel.isEmpty() ? -1 : lstTasks->row(sel.first());
  if (delta > 0 && row < n - 1) ++row;
  else if (delta < 0 && row > 0) --row;
  if (row >= 0) lstTasks->setCurrentRow(row);
}

std::string TfrmTwinfoldMain::TaskHintText(const std::string& name) {
  std::string source, dest, lastRun = "never";
  if (const auto task = FStore.OpenKeyReadOnly(TaskKeyPath(name))) {
    source = ReadStringDef(*task, "Source", "");
    dest = ReadStringDef(*task, "Dest", "");
  }
  if (const auto history = FStore.OpenKeyReadOnly(kTaskHistoryKey)) lastRun = ReadStringDef(*history, name, "never");
  if (source.empty()) source = "(not set)";
  if (dest.empty()) dest = "(not set)";
  return "Source: " + source + "\r\nDestination: " + dest + "\r\nLast Run: " + lastRun;
}

bool TfrmTwinfoldMain::TaskListEvent(QObject* watched, QEvent* e) {
  if (watched == edtSearch) {
    if (e->type() == QEvent::FocusIn || e->type() == QEvent::FocusOut) {
      pnlSearch->update();
    } else if (e->type() == QEvent::KeyPress) {
      switch (static_cast<QKeyEvent*>(e)->key()) {
      case Qt::Key_Down: MoveSearchSelection(+1); return true;
      case Qt::Key_Up: MoveSearchSelection(-1); return true;
      case Qt::Key_Return:
      case Qt::Key_Enter: LoadSelectedTask(); return true;
      default: break;
      }
    }
    return false;
  }
  if (watched == lstTasks) {
    if (e->type() != QEvent::KeyPress) return false;
    auto* k = static_cast<QKeyEvent*>(e);
    const bool plain = (k->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (k->key() == Qt::Key_Delete && plain) {
      miDeleteClick();
      return true;
    }
    if (k->key() == Qt::Key_F2 && plain) {
      miRenameClick();
      return true;
    }
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
      LoadSelectedTask();
      return true;
    }
    return false;
  }
  // The list's viewport: the right button and the hints.
  switch (e->type()) {
  case QEvent::MouseButtonPress: {
    auto* m = static_cast<QMouseEvent*>(e);
    if (m->button() != Qt::RightButton) return false;
    // Over an item it selects that item; over empty space the selection
    // stays (the list itself would clear it), and the popup opens either way.
    const QPoint at = m->position().toPoint();
    if (QListWidgetItem* item = lstTasks->itemAt(at)) lstTasks->setCurrentItem(item);
    ShowTaskMenu(at);
    return true;
  }
  case QEvent::MouseMove: {
    const QListWidgetItem* item = lstTasks->itemAt(static_cast<QMouseEvent*>(e)->position().toPoint());
    const int index = item ? lstTasks->row(item) : -1;
    if (index != FHintIndex) {
      FHintIndex = index;
      QToolTip::hideText();
      FHintText = index < 0 ? QString() : QStr(TaskHintText(StdStr(item->text())));
    }
    return false;
  }
  case QEvent::ToolTip: {
    auto* h = static_cast<QHelpEvent*>(e);
    if (FHintText.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(h->globalPos(), HintMarkup(FHintText), lstTasks->viewport(), QRect(), 8000);
    return true;
  }
  default: return false;
  }
}

void TfrmTwinfoldMain::pmTasksPopup() {
  const bool selected = !SelectedTaskName().empty();
  for (const char* name : {"miLoad", "miClone", "miCopyCmdRun", "miCopyCmdDry", "miRename", "miDelete", "miExport"})
    if (QAction* a = pmTasks->findChild<QAction*>(QString::fromLatin1(name))) a->setEnabled(selected);
  for (const char* name : {"miNew", "miImport"})
    if (QAction* a = pmTasks->findChild<QAction*>(QString::fromLatin1(name))) a->setEnabled(true);
}

void TfrmTwinfoldMain::ShowTaskMenu(const QPoint& pos) {
  // The press already opened it where the platform also asks for it.
  if (!pnlLeft->isEnabled() || pmTasks->isVisible()) return;
  pmTasks->popup(lstTasks->viewport()->mapToGlobal(pos));
}

// ---------------------------------------------------------------- binding

void TfrmTwinfoldMain::SetTaskCaption(const std::string& text) {
  const QString t = QStr(text);
  lblTaskName->SetCaption(QStringLiteral("Task: ") + t);
  FTaskModified = t.endsWith(kModifiedSuffix, Qt::CaseInsensitive);
  lstTasks->viewport()->update();
}

std::string TfrmTwinfoldMain::TaskDisplayName() { return TaskDisplayNameFor(FStore, FCurrentTask, FSuggestName); }

void TfrmTwinfoldMain::DirtyTimerTimer() {
  FDirtyTimer->stop();
  if (FCurrentTask.empty() || IsRunning()) return;
  SaveSettings(kRootKey);
  const bool match = SettingsMatchTask(FStore, FCurrentTask);
  if (match && FTaskModified)
    SetTaskCaption(FCurrentTask);
  else if (!match && !FTaskModified)
    SetTaskCaption(FCurrentTask + StdStr(kModifiedSuffix));
}

bool TfrmTwinfoldMain::ConfirmSaveModified() {
  if (FCurrentTask.empty()) return true;
  SaveSettings(kRootKey);
  if (SettingsMatchTask(FStore, FCurrentTask)) return true;
  switch (FDialogs.Message(this, {TMessageKind::mkConfirmation, QStringLiteral("Current task settings changed. Save them?"),
                                  TButtons::btYesNoCancel, TAnswer::anYes})) {
  case TAnswer::anYes:
    SaveSettings(TaskKeyPath(FCurrentTask));
    SetTaskCaption(FCurrentTask);
    return true;
  case TAnswer::anNo: return true;
  default: return false;
  }
}

void TfrmTwinfoldMain::LoadSelectedTask() {
  if (IsRunning()) return;
  const std::string name = SelectedTaskName();
  if (name.empty() || !ConfirmSaveModified()) return;
  LoadSettings(TaskKeyPath(name));
  FCurrentTask = name;
  SetTaskCaption(name);
  pcMain->setCurrentWidget(tabFolders);
}

// ---------------------------------------------------------------- commands

bool TfrmTwinfoldMain::ValidateFolders() {
  QLineEdit* empty = nullptr;
  QString message;
  if (edtSource->text().trimmed().isEmpty()) {
    empty = edtSource;
    message = QStringLiteral("Source folder is empty.");
  } else if (edtDest->text().trimmed().isEmpty()) {
    empty = edtDest;
    message = QStringLiteral("Destination folder (the mirror) is empty.");
  }
  if (!empty) return true;
  FDialogs.Warn(this, message);
  pcMain->setCurrentWidget(tabFolders);
  empty->setFocus();
  return false;
}

std::string TfrmTwinfoldMain::SuggestedName() const {
  if (!FSuggestName.empty()) return FSuggestName;
  QString source = edtSource->text().trimmed();
  if (source.endsWith(QLatin1Char('/'))) source.chop(1);
  return StdStr(source.mid(source.lastIndexOf(QLatin1Char('/')) + 1));
}

void TfrmTwinfoldMain::SaveTaskAs(const std::string& suggestion) {
  const std::optional<QString> answer =
      FDialogs.InputText(this, QStringLiteral("Save Task"), QStringLiteral("Task name:"), QStr(suggestion));
  if (!answer) return;
  const QString name = answer->trimmed();
  if (name.isEmpty()) return;
  if (IsReservedName(name)) {
    FDialogs.Warn(this, kMsgReservedName);
    return;
  }
  if (const char* refusal = TaskNameCharacterRefusal(StdStr(name))) {
    FDialogs.Error(this, QString::fromUtf8(refusal));
    return;
  }
  const std::string n = StdStr(name);
  if (FStore.KeyExists(TaskKeyPath(n)) && !FDialogs.AskYesNo(this, TMessageKind::mkConfirmation, kMsgOverwrite, true))
    return;
  SaveSettings(TaskKeyPath(n));
  FCurrentTask = n;
  SetTaskCaption(n);
  RefreshTaskList();
  SelectTaskInList(n);
}

void TfrmTwinfoldMain::btnSaveTaskClick() {
  if (!ValidateFolders()) return;
  if (FCurrentTask.empty()) {
    SaveTaskAs(SuggestedName());
    return;
  }
  SaveSettings(TaskKeyPath(FCurrentTask));
  SetTaskCaption(FCurrentTask);
  RefreshTaskList();
  SelectTaskInList(FCurrentTask);
}

void TfrmTwinfoldMain::btnCloneTaskClick() {
  if (!ValidateFolders()) return;
  SaveTaskAs(FCurrentTask.empty() ? SuggestedName() : FCurrentTask + " (copy)");
}

void TfrmTwinfoldMain::btnNewTaskClick() {
  bool modified = false;
  if (!FCurrentTask.empty()) {
    SaveSettings(kRootKey);
    modified = !SettingsMatchTask(FStore, FCurrentTask);
  }
  if (modified) {
    if (!ConfirmSaveModified()) return;
  } else if (!FDialogs.AskYesNo(this, TMessageKind::mkConfirmation,
                                QStringLiteral("This will create a new empty task. Continue?"), false)) {
    return;
  }
  ResetToDefaults();
  lstTasks->clearSelection();
  lstTasks->setCurrentItem(nullptr);
  FCurrentTask.clear();
  FSuggestName.clear();
  lstTasks->viewport()->update();
  pcMain->setCurrentWidget(tabFolders);
}

// The name a Rename or Clone asks for: no "\" or "/", not the reserved
// name, not a task that exists already. Says why when refused.
bool TfrmTwinfoldMain::AcceptNewTaskName(const QString& name) {
  QString refusal;
  if (const char* character = TaskNameCharacterRefusal(StdStr(name))) refusal = QString::fromUtf8(character);
  else if (IsReservedName(name)) refusal = kMsgReservedName;
  else if (FStore.KeyExists(TaskKeyPath(StdStr(name)))) refusal = kMsgTaskExists;
  if (!refusal.isEmpty()) FDialogs.Error(this, refusal);
  return refusal.isEmpty();
}

void TfrmTwinfoldMain::miRenameClick() {
  const std::string oldName = SelectedTaskName();
  if (oldName.empty()) return;
  const std::optional<QString> answer =
      FDialogs.InputText(this, QStringLiteral("Rename Task"), QStringLiteral("New name:"), QStr(oldName));
  if (!answer) return;
  const QString name = answer->trimmed();
  if (name.isEmpty() || name == QStr(oldName)) return;
  // Letter case is ignored by the store, so a change of case alone is refused too.
  if (!AcceptNewTaskName(name)) return;
  const std::string newName = StdStr(name);
  FStore.Transact([&] {
    if (!FStore.CopyKey(TaskKeyPath(oldName), newName, true)) return false;
    if (FStore.KeyExists(kTaskHistoryKey)) {
      std::optional<TSettingsKey> history = FStore.OpenKey(kTaskHistoryKey);
      std::string last;
      if (history && history->ReadString(oldName, last)) {
        if (!history->WriteString(newName, last) || !history->DeleteValue(oldName)) return false;
      }
    }
    return true;
  });
  if (SameKeyName(FCurrentTask, oldName)) {
    FCurrentTask = newName;
    SetTaskCaption(newName);
  }
  RefreshTaskList();
  SelectTaskInList(newName);
}

void TfrmTwinfoldMain::miCloneClick() {
  const std::string source = SelectedTaskName();
  if (source.empty()) return;
  const std::optional<QString> answer = FDialogs.InputText(this, QStringLiteral("Clone Task"),
                                                           QStringLiteral("Name for the copy:"), QStr(source + " (copy)"));
  if (!answer) return;
  const QString name = answer->trimmed();
  if (name.isEmpty() || name.compare(QStr(source), Qt::CaseInsensitive) == 0) return;
  if (!AcceptNewTaskName(name)) return;
  const std::string newName = StdStr(name);
  FStore.CopyKey(TaskKeyPath(source), newName, false);
  RefreshTaskList();
  SelectTaskInList(newName);
}

void TfrmTwinfoldMain::miDeleteClick() {
  const std::string name = SelectedTaskName();
  if (name.empty()) return;
  if (!FDialogs.AskYesNo(this, TMessageKind::mkConfirmation, QStringLiteral("Delete selected task?"), false)) return;
  FStore.Transact([&] {
    if (FStore.KeyExists(kTasksKey)) FStore.DeleteKey(TaskKeyPath(name));
    if (FStore.KeyExists(kTaskHistoryKey))
      if (std::optional<TSettingsKey> history = FStore.OpenKey(kTaskHistoryKey)) history->DeleteValue(name);
    return true;
  });
  if (SameKeyName(FCurrentTask, name)) {
    FCurrentTask.clear();
    FSuggestName = name;
    SetTaskCaption(name + " (deleted)");
  }
  RefreshTaskList();
}

void TfrmTwinfoldMain::miCopyCommandLine(const char* verb) {
  const std::string name = SelectedTaskName();
  if (name.empty()) return;
  QGuiApplication::clipboard()->setText(QStr(CopyCommandLine(ExecutablePath(), name, verb)));
}

} // namespace twf::ui
