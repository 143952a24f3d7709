// The window's life: creation in its fixed order, the close request,
// destruction; the commands and their shortcuts, the folder buttons, the menus
// and dropped folders.
#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QScreen>
#include <QVBoxLayout>

#include "runctl/machine_text.h"
#include "runctl/run_controller.h"
#include "tasks/settings_store.h"
#include "tasks/window_state.h"
#include "ui/about.h"
#include "ui/app_paths.h"
#include "ui/dialogs.h"
#include "ui/icons.h"
#include "ui/logo.h"
#include "ui/task_panel.h"

namespace twf::ui {

namespace {
constexpr int kUiTimerMs = 150;
constexpr int kDirtyCheckMs = 200;
constexpr int kHintMs = 8000;
} // namespace

TfrmTwinfoldMain::TfrmTwinfoldMain(IDialogs& dialogs, TSettingsStore& store, const TCommandLine& cmd,
                                   const TRunControllerConfig* runConfig, QWidget* parent)
    : QMainWindow(parent), FDialogs(dialogs), FStore(store) {
  setObjectName(QStringLiteral("frmTwinfoldMain"));
  FRuns = std::make_unique<TRunController>(*this, FStore, runConfig ? *runConfig : TRunControllerConfig{});

  auto* central = new QWidget(this);
  auto* lay = new QVBoxLayout(central);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->setSpacing(0);
  BuildCommands();
  BuildMenus();
  BuildTopPanel();
  lay->addWidget(pnlTop);
  splMain = new QSplitter(Qt::Horizontal, central);
  splMain->setObjectName(QStringLiteral("splMain"));
  splMain->setHandleWidth(5);
  splMain->setOpaqueResize(true);
  splMain->setChildrenCollapsible(false);
  splMain->addWidget(BuildLeftPanel());
  splMain->addWidget(BuildPages());
  splMain->setStretchFactor(0, 0);
  splMain->setStretchFactor(1, 1);
  lay->addWidget(splMain, 1);
  setCentralWidget(central);

  resize(944, 678 + menuBar()->sizeHint().height());
  setMinimumSize(kWindowMinWidth, kWindowMinHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  setAcceptDrops(true);
  BindSettingControls();
  ConnectControls();
  FormCreate(cmd);
  edtSource->setFocus();
}

TfrmTwinfoldMain::~TfrmTwinfoldMain() {
  FormDestroy();
  // A run still going is cancelled and waited for before any control goes.
  FRuns.reset();
  qApp->removeEventFilter(this);
}

bool TfrmTwinfoldMain::IsRunning() const { return FRuns && FRuns->Running(); }

void TfrmTwinfoldMain::FormCreate(const TCommandLine& cmd) {
  // 1. Caption and application title.
  setWindowTitle(QStr(BaseCaptionText()));
  if (QCoreApplication::applicationName() != QLatin1String("Quarlex Twinfold"))
    QCoreApplication::setApplicationName(QStringLiteral("Quarlex Twinfold"));
  // 2. The line queue belongs to the run controller; the task names; hints.
  FHintIndex = -1;
  lstTasks->viewport()->setToolTipDuration(kHintMs);
  tmrUI = new QTimer(this);
  tmrUI->setObjectName(QStringLiteral("tmrUI"));
  tmrUI->setInterval(kUiTimerMs);
  connect(tmrUI, &QTimer::timeout, this, [this] {
    if (FRuns) FRuns->Tick();
  });
  tmrUI->start();
  // 3. The debounced modified check, restarted by the application-wide filter.
  FDirtyTimer = new QTimer(this);
  FDirtyTimer->setObjectName(QStringLiteral("FDirtyTimer"));
  FDirtyTimer->setSingleShot(true);
  FDirtyTimer->setInterval(kDirtyCheckMs);
  connect(FDirtyTimer, &QTimer::timeout, this, [this] { DirtyTimerTimer(); });
  qApp->installEventFilter(this);
  // 4./5. Every setting at its new-task default (compare mode, workers, the
  // log and archive folders among them).
  ApplySettings(TTaskSettings{});
  // 6.
  SetupToolbarAndLogo();
  // 7.
  FillAuthKeyCombo();
  // 8.
  FDefaultExcl = NormalizeLineBreaks(StdStr(memoExclusions->toPlainText()));
  // 9. The working settings of the last session.
  LoadSettings(kRootKey);
  // 10.
  if (edtLogFolder->text().trimmed().isEmpty()) edtLogFolder->setText(QStr(DefaultLogsFolder()));
  if (edtArchiveFolder->text().trimmed().isEmpty()) edtArchiveFolder->setText(QStr(DefaultArchiveFolder()));
  // 11.
  RefreshTaskList();
  // 12. The log pane has no length limit (QPlainTextEdit's block count 0).
  // 13.
  LoadWindowState();
  // 14.
  FRuns->ProcessCommandLine(cmd);
  if (cmd.Min) setWindowState((windowState() & ~Qt::WindowMaximized) | Qt::WindowMinimized);
  FRuns->QueueStartStep();
}

void TfrmTwinfoldMain::FormDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  delete FLogo;
  FLogo = nullptr;
  UnloadIconFonts();
  SaveWindowState();
  SaveSettings(kRootKey);
}

void TfrmTwinfoldMain::ConnectControls() {
  BindButton(btnMirror, actMirror);
  BindButton(btnDryRun, actDryRun);
  BindButton(btnCancel, actCancel);
  BindButton(btnSaveTask, actSaveTask);
  BindButton(btnCloneTask, actCloneTask);
  BindButton(btnNewTask, actNewTask);
  BindButton(btnManageKeys, actAuthKeys);
  UpdateCommands();

  connect(btnBrowseSource, &QPushButton::clicked, this,
          [this] { BrowseFolder(edtSource, QStringLiteral("Select the SOURCE folder")); });
  connect(btnBrowseDest, &QPushButton::clicked, this, [this] {
    BrowseFolder(edtDest, QStringLiteral("Select the DESTINATION folder (will be made identical to the source)"));
  });
  connect(btnBrowseLogs, &QPushButton::clicked, this,
          [this] { BrowseFolder(edtLogFolder, QStringLiteral("Select the folder for .log files")); });
  connect(btnBrowseArchive, &QPushButton::clicked, this,
          [this] { BrowseFolder(edtArchiveFolder, QStringLiteral("Select the archive folder for displaced files")); });
  connect(btnOpenSource, &QPushButton::clicked, this, [this] { OpenFolderOfEdit(edtSource); });
  connect(btnOpenDest, &QPushButton::clicked, this, [this] { OpenFolderOfEdit(edtDest); });
  connect(btnOpenLogs, &QPushButton::clicked, this, [this] { OpenOrCreateFolder(edtLogFolder, DefaultLogsFolder()); });
  connect(btnOpenArchive, &QPushButton::clicked, this,
          [this] { OpenOrCreateFolder(edtArchiveFolder, DefaultArchiveFolder()); });

  for (QCheckBox* c : {chkVerify, chkWarnMassDelete, chkWebhook, chkArchive})
    connect(c, &QCheckBox::toggled, this, [this] { ApplyEnablingRules(); });

  // Only a drag of the handle moves the splitter this way; layouts and
  // setSizes do not.
  connect(splMain, &QSplitter::splitterMoved, this, [this] {
    FUserSplitter = splMain->sizes().value(0);
    FPendingSplitter = 0;
  });

  connect(edtSearch, &QLineEdit::textChanged, this, [this] { FilterTaskList(); });
  connect(lstTasks, &QListWidget::itemDoubleClicked, this, [this] { LoadSelectedTask(); });
  connect(lstTasks, &QListWidget::customContextMenuRequested, this, [this](const QPoint& p) { ShowTaskMenu(p); });
}

// ---------------------------------------------------------------- commands

QAction* TfrmTwinfoldMain::Command(const char* name, const QString& text, const QString& hint,
                                   std::function<void()> fn) {
  auto* a = new QAction(text, this);
  a->setObjectName(QString::fromLatin1(name));
  a->setToolTip(hint);
  // Its icon is for the toolbar; the menus show the text alone.
  a->setIconVisibleInMenu(false);
  connect(a, &QAction::triggered, this, std::move(fn));
  return a;
}

void TfrmTwinfoldMain::BuildCommands() {
  actMirror = Command("actMirror", QStringLiteral("Mirror"), QStringLiteral("Mirror"),
                      [this] { FRuns->StartMirror(false, false); });
  actDryRun = Command("actDryRun", QStringLiteral("Dry Run"),
                      QStringLiteral("Dry Run - preview all actions without changing anything"),
                      [this] { FRuns->StartMirror(true, false); });
  actCancel = Command("actCancel", QStringLiteral("Cancel"), QStringLiteral("Cancel"), [this] {
    FRuns->RequestCancel();
    UpdateCommands();
  });
  actSaveTask = Command("actSaveTask", QStringLiteral("Save Task"), QStringLiteral("Save Task"),
                        [this] { btnSaveTaskClick(); });
  actCloneTask = Command("actCloneTask", QStringLiteral("Clone Task"), QStringLiteral("Clone Task"),
                         [this] { btnCloneTaskClick(); });
  actNewTask = Command("actNewTask", QStringLiteral("New Task"), QStringLiteral("New Task"),
                       [this] { btnNewTaskClick(); });
  actExportTasks = Command("actExportTasks", QStringLiteral("Export Tasks..."), QStringLiteral("Export Tasks..."),
                           [this] { miExportTasksClick(); });
  actImportTasks = Command("actImportTasks", QStringLiteral("Import Tasks..."), QStringLiteral("Import Tasks..."),
                           [this] { miImportTasksClick(); });
  actAuthKeys = Command("actAuthKeys", QStringLiteral("Manage Keys..."), QStringLiteral("Auth Key Manager"),
                        [this] { btnManageKeysClick(); });
  actFindTask = Command("actFindTask", QStringLiteral("Search Task"), QStringLiteral("Search task"), [this] {
    edtSearch->setFocus(Qt::ShortcutFocusReason);
    edtSearch->selectAll();
  });
  // Exactly Ctrl with the letter, anywhere in the window; a key that acts is
  // consumed, and a disabled command (a run) lets the key through.
  actSaveTask->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  actFindTask->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
  for (QAction* a : {actSaveTask, actFindTask}) {
    a->setShortcutContext(Qt::WindowShortcut);
    addAction(a);
  }
}

void TfrmTwinfoldMain::BindButton(QAbstractButton* button, QAction* command) {
  connect(button, &QAbstractButton::clicked, command, [command] { command->trigger(); });
  connect(command, &QAction::enabledChanged, button, &QWidget::setEnabled);
  button->setEnabled(command->isEnabled());
}

void TfrmTwinfoldMain::UpdateCommands() {
  const bool running = FRunLock;
  for (QAction* a : {actMirror, actDryRun, actSaveTask, actCloneTask, actNewTask, actAuthKeys, actFindTask})
    a->setEnabled(!running);
  actCancel->setEnabled(running && !FRuns->CancelRequested());
  // Export and Import Tasks stay in the File menu during a run; the toolbar
  // that also holds them is locked as a whole.
  actExportTasks->setEnabled(true);
  actImportTasks->setEnabled(true);
}

// ---------------------------------------------------------------- close

void TfrmTwinfoldMain::closeEvent(QCloseEvent* e) {
  if (IsRunning()) {
    // The window stays: the run ends early and its finish follows as usual.
    FRuns->RequestCancel();
    e->ignore();
    return;
  }
  if (FRuns->SilentRun() || ConfirmSaveModified()) {
    e->accept();
    return;
  }
  e->ignore();
}

void TfrmTwinfoldMain::CloseMainWindow() { close(); }

// ---------------------------------------------------------------- events

bool TfrmTwinfoldMain::eventFilter(QObject* watched, QEvent* e) {
  switch (e->type()) {
  case QEvent::KeyRelease:
  case QEvent::Wheel:
  case QEvent::MouseButtonRelease:
    // The debounced modified check: 200 ms after the last such action anywhere.
    if ((e->type() != QEvent::MouseButtonRelease ||
         static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) &&
        !FCurrentTask.empty() && !IsRunning() && FDirtyTimer)
      FDirtyTimer->start();
    break;
  case QEvent::DragEnter:
  case QEvent::DragMove:
  case QEvent::Drop:
    if (auto* w = qobject_cast<QWidget*>(watched); w && w->window() == this) {
      if (HandleDrop(w, e)) return true;
    }
    break;
  case QEvent::Resize:
    if (watched == pnlTop) LayoutLogo();
    if (watched == splMain && FPendingSplitter > 0) ApplyPendingSplitter();
    break;
  default:
    break;
  }
  if (watched == edtSearch || watched == lstTasks || (lstTasks && watched == lstTasks->viewport()))
    return TaskListEvent(watched, e);
  return QMainWindow::eventFilter(watched, e);
}

bool TfrmTwinfoldMain::HandleDrop(QWidget* receiver, QEvent* e) {
  auto* de = static_cast<QDropEvent*>(e);
  // Text drags between edits keep their usual meaning; only dropped files are ours.
  if (!de->mimeData() || !de->mimeData()->hasUrls()) return false;
  de->setDropAction(Qt::CopyAction);
  de->accept();
  if (e->type() != QEvent::Drop) return true;

  const QList<QUrl> urls = de->mimeData()->urls();
  if (urls.isEmpty()) return true;
  QString path = urls.first().toLocalFile();
  if (path.isEmpty()) return true;
  if (!QFileInfo(path).isDir()) {
    // A file stands for the folder that holds it.
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    path = slash < 0 ? QString() : slash == 0 ? QStringLiteral("/") : path.left(slash);
  }
  if (path.isEmpty() || IsRunning()) return true;

  // The control under the drop point, disabled ones included, decides.
  QWidget* hit = childAt(receiver->mapTo(this, de->position().toPoint()));
  if (!hit) hit = receiver;
  QLineEdit* target = nullptr;
  for (QWidget* w = hit; w && !target; w = w->parentWidget()) {
    if (w == edtSource || w == edtDest || w == edtLogFolder) target = static_cast<QLineEdit*>(w);
  }
  if (!target) target = edtSource->text().trimmed().isEmpty() ? edtSource : edtDest;
  target->setText(path);
  return true;
}

// ---------------------------------------------------------------- folders

void TfrmTwinfoldMain::BrowseFolder(QLineEdit* edit, const QString& title) {
  if (const std::optional<QString> dir = FDialogs.PickFolder(this, title, edit->text().trimmed()))
    edit->setText(QDir::toNativeSeparators(*dir));
}

void TfrmTwinfoldMain::OpenFolderOfEdit(QLineEdit* edit) {
  QString path = edit->text().trimmed();
  if (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
  if (!path.isEmpty() && QFileInfo(path).isDir())
    FDialogs.OpenUrl(QUrl::fromLocalFile(path));
  else
    FDialogs.Inform(this, QStringLiteral("The folder does not exist:\r\n") + path);
}

void TfrmTwinfoldMain::OpenOrCreateFolder(QLineEdit* edit, const std::string& defaultFolder) {
  QString path = edit->text().trimmed();
  if (path.isEmpty()) path = QStr(defaultFolder);
  if (QDir().mkpath(path)) FDialogs.OpenUrl(QUrl::fromLocalFile(path));
}

void TfrmTwinfoldMain::OpenAppFile(const QString& fileName) { ui::OpenAppFile(FDialogs, this, fileName); }

void TfrmTwinfoldMain::ShowAbout() {
  TfrmAbout about(FDialogs, this);
  FDialogs.Exec(about);
}

void TfrmTwinfoldMain::OpenHomepage() { OpenAppFile(QString::fromLatin1(kHomepageFile)); }

// ---------------------------------------------------------------- toolbar and logo

void TfrmTwinfoldMain::SetupToolbarAndLogo() {
  FLogo = new TLogoBox(pnlTop);
  FLogo->setObjectName(QStringLiteral("imgLogo"));
  FLogo->setToolTip(QStringLiteral("Visit the Quarlex Twinfold web site"));
  connect(FLogo, &TLogoBox::clicked, this, [this] { OpenHomepage(); });
  LayoutLogo();

  const bool icons = EnsureIconFont();
  for (const TToolbarGlyph& g : kToolbarGlyphs) {
    auto* b = tbMain->findChild<QToolButton*>(QString::fromLatin1(g.Button));
    if (!b || !b->defaultAction()) continue;
    // Set on the command: its button takes them back whenever it changes.
    QAction* a = b->defaultAction();
    if (icons) {
      // Drawn for both common pixel ratios so the glyph stays sharp when scaled.
      QIcon icon;
      for (int ratio : {1, 2}) {
        QPixmap pm = QPixmap::fromImage(RenderGlyph(g.CodePoint, kGlyphSize * ratio, kGlyphColour));
        pm.setDevicePixelRatio(ratio);
        icon.addPixmap(pm);
      }
      a->setIcon(icon);
      b->setToolButtonStyle(Qt::ToolButtonIconOnly);
      b->setFixedSize(30, 30);
    } else {
      a->setIconText(QString::fromUtf8(g.Caption));
      b->setToolButtonStyle(Qt::ToolButtonTextOnly);
      b->setFixedSize(80, 30);
    }
  }
}

void TfrmTwinfoldMain::LayoutLogo() {
  if (!FLogo || !pnlTop) return;
  FLogo->setGeometry(LogoBounds(pnlTop->width(), pnlTop->height()));
}

// ---------------------------------------------------------------- run host

void TfrmTwinfoldMain::PostToUiThread(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

bool TfrmTwinfoldMain::AskYesNo(const std::string& text) {
  return FDialogs.AskYesNo(this, TMessageKind::mkWarning, QStr(text), false);
}

void TfrmTwinfoldMain::ShowError(const std::string& text) { FDialogs.Error(this, QStr(text)); }

void TfrmTwinfoldMain::ActivatePage(TMainPage page) {
  switch (page) {
  case TMainPage::mpFolders: pcMain->setCurrentWidget(tabFolders); break;
  case TMainPage::mpLogging: pcMain->setCurrentWidget(tabLogging); break;
  case TMainPage::mpArchive: pcMain->setCurrentWidget(tabArchive); break;
  }
}

void TfrmTwinfoldMain::ClearLogPane() { memoLog->clear(); }

void TfrmTwinfoldMain::AppendToLogPane(const TLogPaneChange& change) {
  QString text;
  size_t size = 0;
  for (const std::string& line : change.Lines) size += line.size() + 1;
  text.reserve(qsizetype(size));
  for (const std::string& line : change.Lines) {
    text += QString::fromUtf8(line.data(), qsizetype(line.size()));
    text += QLatin1Char('\n');
  }
  memoLog->setUpdatesEnabled(false);
  QTextCursor c(memoLog->document());
  c.movePosition(QTextCursor::End);
  // One insertion at the end: the pane is appended to, never rewritten.
  c.insertText(text);
  if (change.TrimFront > 0) {
    c.movePosition(QTextCursor::Start);
    c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, change.TrimFront);
    c.removeSelectedText();
  }
  memoLog->setUpdatesEnabled(true);
  memoLog->moveCursor(QTextCursor::End);
  memoLog->ensureCursorVisible();
}

void TfrmTwinfoldMain::SetRunning(bool running) {
  const bool enable = !running;
  FRunLock = running;
  UpdateCommands();
  for (QWidget* w : std::initializer_list<QWidget*>{pnlLeft, tbMain, pnlFolderInputs}) w->setEnabled(enable);
  for (QWidget* page : {tabSync, tabExclusions, tabLogging, tabArchive, tabAdvanced})
    pcMain->setTabEnabled(pcMain->indexOf(page), enable);
  pbProgress->setRange(0, running ? 0 : 100); // 0..0 is the marquee
  pbProgress->setValue(0);
  if (!running) ApplyEnablingRules();
}

void TfrmTwinfoldMain::ShowProgress(const TProgressView& view) {
  setWindowTitle(QStr(view.Caption));
  if (view.Style == TBarStyle::bsMarquee) {
    if (pbProgress->maximum() != 0) pbProgress->setRange(0, 0);
  } else {
    const int max = std::max(view.Max, 1); // 0..0 would turn it back into a marquee
    if (pbProgress->maximum() != max) pbProgress->setRange(0, max);
    pbProgress->setValue(view.Position);
  }
}

} // namespace twf::ui
