// The 36 task values between the controls and the store, the enabling rules,
// and the window state kept between sessions.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>

#include "tasks/window_state.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace twf::ui {

namespace {

QString PaneText(const std::string& crlf) {
  return QStr(crlf).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

void SetIndex(QComboBox* c, int index) {
  if (index >= 0 && index < c->count()) c->setCurrentIndex(index);
}

TWindowRect Rect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

} // namespace

TTaskSettings TfrmTwinfoldMain::ReadSettings() {
  TTaskSettings s;
  s.Source = StdStr(edtSource->text());
  s.Dest = StdStr(edtDest->text());
  s.CompareMode = cmbCompare->currentIndex();
  s.SymlinkMode = cmbSymlinks->currentIndex();
  s.Workers = spinWorkers->value();
  s.PreserveAcl = chkAcl->isChecked();
  s.SkipNewer = chkSkipNewer->isChecked();
  s.AskConfirm = chkAskConfirm->isChecked();
  s.WarnMassDelete = chkWarnMassDelete->isChecked();
  s.WarnPct = WarnPctFromText(StdStr(cmbWarnPct->currentText()));
  s.LogJson = chkLogJson->isChecked();
  s.WebhookEnabled = chkWebhook->isChecked();
  s.WebhookURL = StdStr(edtWebhookURL->text());
  s.WebhookAuthKey = cmbAuthKey->currentIndex() <= 0 ? std::string() : StdStr(cmbAuthKey->currentText());
  s.WebhookVerifySSL = chkVerifySSL->isChecked();
  s.VolCheckEnabled = chkVolCheck->isChecked();
  s.RecycleDeletes = chkRecycle->isChecked();
  s.RetryLocked = chkRetry->isChecked();
  s.VerifyEnabled = chkVerify->isChecked();
  s.ArchiveEnabled = chkArchive->isChecked();
  s.ArchiveFolder = StdStr(edtArchiveFolder->text());
  s.VerifyHash = cmbVerify->currentIndex();
  s.ShutdownDone = chkShutdown->isChecked();
  s.ExclPatternsEnabled = chkExclPatterns->isChecked();
  s.ExclPatterns = NormalizeLineBreaks(StdStr(memoExclusions->toPlainText()));
  s.ExclEmpty = chkExclEmpty->isChecked();
  s.ExclHiddenFiles = chkExclHiddenFiles->isChecked();
  s.ExclHiddenDirs = chkExclHiddenDirs->isChecked();
  s.ExclLargerEnabled = chkExclLarger->isChecked();
  s.ExclLargerMB = spinExclMB->value();
  s.LogEnabled = chkLogFile->isChecked();
  s.LogFolder = StdStr(edtLogFolder->text());
  s.LogError = chkLogError->isChecked();
  s.LogCopy = chkLogCopy->isChecked();
  s.LogDelete = chkLogDelete->isChecked();
  s.LogMkDir = chkLogMkDir->isChecked();
  s.LogRmDir = chkLogRmDir->isChecked();
  return s;
}

void TfrmTwinfoldMain::ApplySettings(const TTaskSettings& s) {
  edtSource->setText(QStr(s.Source));
  edtDest->setText(QStr(s.Dest));
  SetIndex(cmbCompare, s.CompareMode);
  SetIndex(cmbSymlinks, s.SymlinkMode);
  spinWorkers->setValue(s.Workers); // the spin box clamps to its range
  chkAcl->setChecked(s.PreserveAcl);
  chkSkipNewer->setChecked(s.SkipNewer);
  chkAskConfirm->setChecked(s.AskConfirm);
  chkWarnMassDelete->setChecked(s.WarnMassDelete);
  SetIndex(cmbWarnPct, WarnPctItemIndex(s.WarnPct));
  chkLogJson->setChecked(s.LogJson);
  chkWebhook->setChecked(s.WebhookEnabled);
  edtWebhookURL->setText(QStr(s.WebhookURL));
  int keyIndex = 0;
  if (!s.WebhookAuthKey.empty()) {
    for (int i = 1; i < cmbAuthKey->count() && keyIndex == 0; ++i)
      if (SameKeyName(StdStr(cmbAuthKey->itemText(i)), s.WebhookAuthKey)) keyIndex = i;
  }
  cmbAuthKey->setCurrentIndex(keyIndex);
  chkVerifySSL->setChecked(s.WebhookVerifySSL);
  chkVolCheck->setChecked(s.VolCheckEnabled);
  chkRecycle->setChecked(s.RecycleDeletes);
  chkRetry->setChecked(s.RetryLocked);
  chkVerify->setChecked(s.VerifyEnabled);
  chkArchive->setChecked(s.ArchiveEnabled);
  edtArchiveFolder->setText(QStr(s.ArchiveFolder));
  SetIndex(cmbVerify, s.VerifyHash);
  chkShutdown->setChecked(s.ShutdownDone);
  chkExclPatterns->setChecked(s.ExclPatternsEnabled);
  const QString patterns = PaneText(s.ExclPatterns);
  if (memoExclusions->toPlainText() != patterns) memoExclusions->setPlainText(patterns);
  chkExclEmpty->setChecked(s.ExclEmpty);
  chkExclHiddenFiles->setChecked(s.ExclHiddenFiles);
  chkExclHiddenDirs->setChecked(s.ExclHiddenDirs);
  chkExclLarger->setChecked(s.ExclLargerEnabled);
  spinExclMB->setValue(s.ExclLargerMB);
  chkLogFile->setChecked(s.LogEnabled);
  edtLogFolder->setText(QStr(s.LogFolder));
  chkLogError->setChecked(s.LogError);
  chkLogCopy->setChecked(s.LogCopy);
  chkLogDelete->setChecked(s.LogDelete);
  chkLogMkDir->setChecked(s.LogMkDir);
  chkLogRmDir->setChecked(s.LogRmDir);
  ApplyEnablingRules();
}

void TfrmTwinfoldMain::ApplyEnablingRules() {
  const TControlEnabling e = EnablingRules(ReadSettings());
  cmbWarnPct->setEnabled(e.cmbWarnPct);
  edtWebhookURL->setEnabled(e.edtWebhookURL);
  cmbAuthKey->setEnabled(e.cmbAuthKey);
  chkVerifySSL->setEnabled(e.chkVerifySSL);
  chkRecycle->setEnabled(e.chkRecycle);
  cmbVerify->setEnabled(e.cmbVerify);
  chkExclJunctions->setEnabled(false);
}

void TfrmTwinfoldMain::SaveSettings(const std::string& keyPath) { twf::SaveSettings(FStore, keyPath, ReadSettings()); }

void TfrmTwinfoldMain::LoadSettings(const std::string& keyPath) {
  TTaskSettings s = ReadSettings();
  if (twf::LoadSettings(FStore, keyPath, s, AuthKeyNames())) ApplySettings(s);
}

void TfrmTwinfoldMain::ResetToDefaults() {
  SetTaskCaption(kUntitledTaskName);
  TTaskSettings s;
  twf::ResetToDefaults(s);
  s.ExclPatterns = FDefaultExcl;
  ApplySettings(s);
}

void TfrmTwinfoldMain::SaveWindowState() {
  TWindowState st;
  st.Maximized = isMaximized();
  st.Normal = !(isMaximized() || isMinimized() || isFullScreen());
  st.Bounds = Rect(geometry());
  st.SplitterPos = LeftPanelWidth();
  st.LastTask = FCurrentTask;
  twf::SaveWindowState(FStore, st);
}

void TfrmTwinfoldMain::LoadWindowState() {
  TWindowRect desktop{0, 0, 1920, 1080};
  if (const QScreen* screen = QGuiApplication::primaryScreen()) desktop = Rect(screen->virtualGeometry());
  std::vector<std::string> all;
  for (const QString& n : FAllTasks) all.push_back(StdStr(n));
  TWindowRestore r;
  if (!twf::LoadWindowState(FStore, desktop, Rect(geometry()), LeftPanelWidth(), all, r))
    return;
  if (r.HasBounds) setGeometry(r.Bounds.Left, r.Bounds.Top, r.Bounds.Width, r.Bounds.Height);
  FPendingSplitter = r.SplitterPos;
  FUserSplitter = r.SplitterPos;
  if (isVisible()) ApplyPendingSplitter();
  FCurrentTask = r.CurrentTask;
  if (!FCurrentTask.empty()) {
    SelectTaskInList(FCurrentTask);
    SetTaskCaption(r.Modified ? FCurrentTask + " (modified)" : FCurrentTask);
  }
  if (r.Maximized) setWindowState(windowState() | Qt::WindowMaximized);
}

int TfrmTwinfoldMain::LeftPanelWidth() const { return FUserSplitter; }

void TfrmTwinfoldMain::ApplyPendingSplitter() {
  if (FPendingSplitter <= 0) return;
  // QSplitter scales given sizes to its width, so they are given for the
  // width it has now; the splitter resizes until the window has its final
  // size, and each resize applies the width again until then.
  const int rest = std::max(splMain->width() - FPendingSplitter - splMain->handleWidth(), 1);
  splMain->setSizes({FPendingSplitter, rest});
  if (isVisible() && splMain->sizes().value(0) == FPendingSplitter) FPendingSplitter = 0;
}

void TfrmTwinfoldMain::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  ApplyPendingSplitter();
  // A window too narrow for the restored width settles on what fits.
  QTimer::singleShot(500, this, [this] { FPendingSplitter = 0; });
}

} // namespace twf::ui
