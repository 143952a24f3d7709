#include "ui/dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace twf::ui {

TMessage FromUserMessage(const TUserMessage& m) {
  TMessage out;
  out.Kind = m.Kind;
  out.Text = QStr(m.Text);
  if (m.Kind == TMessageKind::mkConfirmation) {
    out.Buttons = TButtons::btYesNo;
    out.Default = m.DefaultYes ? TAnswer::anYes : TAnswer::anNo;
  }
  return out;
}

void IDialogs::Inform(QWidget* parent, const QString& text) {
  Message(parent, {TMessageKind::mkInformation, text, TButtons::btOk, TAnswer::anOk});
}

void IDialogs::Warn(QWidget* parent, const QString& text) {
  Message(parent, {TMessageKind::mkWarning, text, TButtons::btOk, TAnswer::anOk});
}

void IDialogs::Error(QWidget* parent, const QString& text) {
  Message(parent, {TMessageKind::mkError, text, TButtons::btOk, TAnswer::anOk});
}

bool IDialogs::AskYesNo(QWidget* parent, TMessageKind kind, const QString& text, bool defaultYes) {
  return Message(parent, {kind, text, TButtons::btYesNo, defaultYes ? TAnswer::anYes : TAnswer::anNo}) ==
         TAnswer::anYes;
}

QString QtNameFilters(const QString& pipeFilter) {
  const QStringList parts = pipeFilter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString desc = parts[i].trimmed();
    if (const qsizetype paren = desc.lastIndexOf(QLatin1Char('(')); paren > 0 && desc.endsWith(QLatin1Char(')')))
      desc = desc.left(paren).trimmed();
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns)
      if (p.trimmed() == QLatin1String("*.*")) p = QStringLiteral("*");
    filters << desc + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters.join(QStringLiteral(";;"));
}

TAnswer TQtDialogs::Message(QWidget* parent, const TMessage& m) {
  QMessageBox box(parent);
  box.setWindowTitle(QApplication::applicationDisplayName());
  // Paths and task names are shown as they are, never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString(m.Text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  switch (m.Kind) {
  case TMessageKind::mkInformation: box.setIcon(QMessageBox::Information); break;
  case TMessageKind::mkWarning: box.setIcon(QMessageBox::Warning); break;
  case TMessageKind::mkError: box.setIcon(QMessageBox::Critical); break;
  case TMessageKind::mkConfirmation: box.setIcon(QMessageBox::Question); break;
  }
  QMessageBox::StandardButton def = QMessageBox::Ok;
  switch (m.Buttons) {
  case TButtons::btOk: box.setStandardButtons(QMessageBox::Ok); break;
  case TButtons::btYesNo:
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    break;
  case TButtons::btYesNoCancel:
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
    break;
  }
  switch (m.Default) {
  case TAnswer::anOk: def = QMessageBox::Ok; break;
  case TAnswer::anYes: def = QMessageBox::Yes; break;
  case TAnswer::anNo: def = QMessageBox::No; break;
  case TAnswer::anCancel: def = QMessageBox::Cancel; break;
  }
  if (box.button(def)) box.setDefaultButton(def);
  box.exec();
  switch (box.standardButton(box.clickedButton())) {
  case QMessageBox::Ok: return TAnswer::anOk;
  case QMessageBox::Yes: return TAnswer::anYes;
  case QMessageBox::No: return TAnswer::anNo;
  default: return m.Buttons == TButtons::btYesNo ? TAnswer::anNo : TAnswer::anCancel;
  }
}

std::optional<QString> TQtDialogs::InputText(QWidget* parent, const QString& title, const QString& prompt,
                                             const QString& initial) {
  bool ok = false;
  const QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, initial, &ok);
  if (!ok) return std::nullopt;
  return text;
}

std::optional<QString> TQtDialogs::PickFolder(QWidget* parent, const QString& title, const QString& startFolder) {
  const QString start = QFileInfo(startFolder).isDir() ? startFolder : QString();
  const QString dir = QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
  if (dir.isEmpty()) return std::nullopt;
  return dir;
}

std::optional<QString> TQtDialogs::OpenFileName(QWidget* parent, const QString& title, const QString& filter) {
  QFileDialog dlg(parent, title, QString(), QtNameFilters(filter));
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::ExistingFile);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return dlg.selectedFiles().first();
}

std::optional<QString> TQtDialogs::SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                                                const QString& defaultSuffix, const QString& initialName) {
  QFileDialog dlg(parent, title, QString(), QtNameFilters(filter));
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setDefaultSuffix(defaultSuffix);
  dlg.selectFile(initialName);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return dlg.selectedFiles().first();
}

int TQtDialogs::Exec(QDialog& dialog) { return dialog.exec(); }

bool TQtDialogs::OpenUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }

} // namespace twf::ui
