// The task values between the controls and the store, bound by the settings
// table, the enabling rules, and the window state kept between sessions.
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

#include "tasks/task_fields.h"
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

// ---- one adapter per kind of control: how a setting's value is shown in it
// and read back. A list's items mean what the setting's rule says: an index,
// a percentage, or an auth key name with "(none)" first.

using detail::TField;
using detail::TFieldRule;
using T = TTaskSettings;

template <class V> V* Member(TTaskSettings& s, const TField& f) {
  auto m = std::get_if<V T::*>(&f.Member);
  return m ? &(s.*(*m)) : nullptr;
}
template <class V> const V* Member(const TTaskSettings& s, const TField& f) {
  auto m = std::get_if<V T::*>(&f.Member);
  return m ? &(s.*(*m)) : nullptr;
}

int AuthKeyIndex(const QComboBox* c, const std::string& name) {
  if (name.empty()) return 0;
  for (int i = 1; i < c->count(); ++i)
    if (SameKeyName(StdStr(c->itemText(i)), name)) return i;
  return 0;
}

// True when the control is of a kind that can show the setting's value.
bool BindsSetting(const QWidget& w, const TField& f) {
  if (qobject_cast<const QCheckBox*>(&w)) return std::holds_alternative<bool T::*>(f.Member);
  if (qobject_cast<const QSpinBox*>(&w)) return std::holds_alternative<int32_t T::*>(f.Member);
  if (qobject_cast<const QLineEdit*>(&w) || qobject_cast<const QPlainTextEdit*>(&w))
    return std::holds_alternative<std::string T::*>(f.Member);
  if (qobject_cast<const QComboBox*>(&w)) {
    if (f.Rule == TFieldRule::frAuthKey) return std::holds_alternative<std::string T::*>(f.Member);
    return (f.Rule == TFieldRule::frIndex || f.Rule == TFieldRule::frWarnPct) &&
           std::holds_alternative<int32_t T::*>(f.Member);
  }
  return false;
}

void ReadControl(const QWidget& w, const TField& f, TTaskSettings& s) {
  if (auto* c = qobject_cast<const QCheckBox*>(&w)) {
    if (bool* v = Member<bool>(s, f)) *v = c->isChecked();
  } else if (auto* n = qobject_cast<const QSpinBox*>(&w)) {
    if (int32_t* v = Member<int32_t>(s, f)) *v = n->value();
  } else if (auto* e = qobject_cast<const QLineEdit*>(&w)) {
    if (std::string* v = Member<std::string>(s, f)) *v = StdStr(e->text());
  } else if (auto* m = qobject_cast<const QPlainTextEdit*>(&w)) {
    if (std::string* v = Member<std::string>(s, f)) *v = NormalizeLineBreaks(StdStr(m->toPlainText()));
  } else if (auto* l = qobject_cast<const QComboBox*>(&w)) {
    if (f.Rule == TFieldRule::frAuthKey) {
      if (std::string* v = Member<std::string>(s, f))
        *v = l->currentIndex() <= 0 ? std::string() : StdStr(l->currentText());
    } else if (int32_t* v = Member<int32_t>(s, f)) {
      *v = f.Rule == TFieldRule::frWarnPct ? WarnPctFromText(StdStr(l->currentText())) : l->currentIndex();
    }
  }
}

void WriteControl(QWidget& w, const TField& f, const TTaskSettings& s) {
  if (auto* c = qobject_cast<QCheckBox*>(&w)) {
    if (const bool* v = Member<bool>(s, f)) c->setChecked(*v);
  } else if (auto* n = qobject_cast<QSpinBox*>(&w)) {
    if (const int32_t* v = Member<int32_t>(s, f)) n->setValue(*v); // the spin box clamps to its range
  } else if (auto* e = qobject_cast<QLineEdit*>(&w)) {
    if (const std::string* v = Member<std::string>(s, f)) e->setText(QStr(*v));
  } else if (auto* m = qobject_cast<QPlainTextEdit*>(&w)) {
    if (const std::string* v = Member<std::string>(s, f)) {
      const QString text = PaneText(*v);
      if (m->toPlainText() != text) m->setPlainText(text);
    }
  } else if (auto* l = qobject_cast<QComboBox*>(&w)) {
    if (f.Rule == TFieldRule::frAuthKey) {
      if (const std::string* v = Member<std::string>(s, f)) l->setCurrentIndex(AuthKeyIndex(l, *v));
    } else if (const int32_t* v = Member<int32_t>(s, f)) {
      SetIndex(l, f.Rule == TFieldRule::frWarnPct ? WarnPctItemIndex(*v) : *v);
    }
  }
}

TWindowRect Rect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

} // namespace

void TfrmTwinfoldMain::BindSettingControls() {
  FSettingControls.clear();
  for (const detail::TField& f : detail::TaskFields()) {
    QWidget* control = findChild<QWidget*>(QString::fromLatin1(f.Info.Control));
    if (!control || !BindsSetting(*control, f)) {
      qWarning("setting %s has no control %s it can be shown in", f.Info.Name, f.Info.Control);
      control = nullptr;
    }
    FSettingControls.push_back(control);
  }
}

TTaskSettings TfrmTwinfoldMain::ReadSettings() {
  TTaskSettings s;
  const std::span<const detail::TField> fields = detail::TaskFields();
  for (size_t i = 0; i < fields.size() && i < FSettingControls.size(); ++i)
    if (FSettingControls[i]) ReadControl(*FSettingControls[i], fields[i], s);
  return s;
}

void TfrmTwinfoldMain::ApplySettings(const TTaskSettings& s) {
  const std::span<const detail::TField> fields = detail::TaskFields();
  for (size_t i = 0; i < fields.size() && i < FSettingControls.size(); ++i)
    if (FSettingControls[i]) WriteControl(*FSettingControls[i], fields[i], s);
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
