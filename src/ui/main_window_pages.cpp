// The window's controls: top panel, task panel and the six pages, with their
// captions, items, ranges and designed initial values.
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "ui/about.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/task_panel.h"

namespace twf::ui {

namespace {

template <class W>
W* Named(W* w, const char* name) {
  w->setObjectName(QString::fromLatin1(name));
  return w;
}

QCheckBox* Check(QWidget* parent, const char* name, const char* caption, bool checked) {
  auto* c = Named(new QCheckBox(QString::fromUtf8(caption), parent), name);
  c->setChecked(checked);
  return c;
}

QLabel* Label(QWidget* parent, const char* name, const QString& caption) {
  return Named(new QLabel(caption, parent), name);
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  return Named(new QPushButton(QString::fromUtf8(caption), parent), name);
}

void MakeBold(QWidget* w) {
  QFont f = w->font();
  f.setBold(true);
  w->setFont(f);
}

QFont FixedFont() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setPointSize(9);
  return f;
}

QWidget* Page(const char* name) { return Named(new QWidget, name); }

// The task panel and the page control keep the same distance from the
// window's edges, and a smaller one from the splitter between them.
constexpr int kOuterMargin = 8;
constexpr int kSplitterMargin = 6;
// The narrowest command button on the pages.
constexpr int kButtonMinWidth = 96;

// Gives the buttons one width, with room for the longest caption in the
// desktop's font.
void SameWidth(std::initializer_list<QPushButton*> buttons) {
  int width = kButtonMinWidth;
  for (QPushButton* b : buttons) {
    const QFontMetrics fm = b->fontMetrics();
    width = std::max({width, b->sizeHint().width(), fm.horizontalAdvance(b->text()) + 3 * fm.averageCharWidth()});
  }
  for (QPushButton* b : buttons) b->setFixedWidth(width);
}

// A folder edit with its Browse... and Open Folder buttons in one row; the
// buttons are equally wide on every page.
QHBoxLayout* FolderRow(QLineEdit* edit, QPushButton* browse, QPushButton* open) {
  SameWidth({browse, open});
  auto* row = new QHBoxLayout;
  row->addWidget(edit, 1);
  row->addWidget(browse);
  row->addWidget(open);
  return row;
}

// The height of every row of check boxes, drop-downs and number boxes on
// the pages: the tallest of the three, so rows with and without a drop-down
// are spaced alike.
int RowHeight(const QWidget* like) {
  QComboBox combo;
  QSpinBox spin;
  QCheckBox check;
  int height = 0;
  for (QWidget* w : std::initializer_list<QWidget*>{&combo, &spin, &check}) {
    w->setFont(like->font());
    height = std::max(height, w->sizeHint().height());
  }
  return height;
}

// A drop-down that may narrow, down to room for its shortest item, where the
// window is too small for the longest one beside its check box.
void MayNarrow(QComboBox* c) {
  const QFontMetrics fm = c->fontMetrics();
  int text = std::numeric_limits<int>::max();
  for (int i = 0; i < c->count(); ++i) text = std::min(text, fm.horizontalAdvance(c->itemText(i)));
  QStyleOptionComboBox opt;
  opt.initFrom(c);
  const QSize room(text + 2 * fm.averageCharWidth(), fm.height());
  c->setMinimumWidth(c->style()->sizeFromContents(QStyle::CT_ComboBox, &opt, room, c).width());
}

} // namespace

void TfrmTwinfoldMain::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("mnuFile"));
  file->addAction(actExportTasks);
  file->addAction(actImportTasks);
  file->addSeparator();
  QAction* a = file->addAction(QStringLiteral("E&xit"), this, [this] { close(); });
  a->setObjectName(QStringLiteral("miExit"));

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("mnuHelp"));
  a = help->addAction(QStringLiteral("Homepage"), this, [this] { OpenHomepage(); });
  a->setObjectName(QStringLiteral("miHomepage"));
  a = help->addAction(QStringLiteral("Changelog"), this, [this] { OpenAppFile(QStringLiteral("Changelog.txt")); });
  a->setObjectName(QStringLiteral("miChangelog"));
  a = help->addAction(QStringLiteral("Command-line"), this,
                      [this] { OpenAppFile(QStringLiteral("Command-line.txt")); });
  a->setObjectName(QStringLiteral("miCommandLine"));
  a = help->addAction(QStringLiteral("About"), this, [this] { ShowAbout(); });
  a->setObjectName(QStringLiteral("miAbout"));
}

void TfrmTwinfoldMain::BuildTopPanel() {
  pnlTop = Named(new QWidget, "pnlTop");
  pnlTop->setFixedHeight(38);
  auto* lay = new QHBoxLayout(pnlTop);
  lay->setContentsMargins(6, 4, 0, 4);
  lay->setSpacing(0);
  tbMain = Named(new QToolBar(pnlTop), "tbMain");
  tbMain->setIconSize(QSize(20, 20));
  tbMain->setMovable(false);
  tbMain->setFloatable(false);
  tbMain->setStyleSheet(QStringLiteral("QToolBar { border: none; background: transparent; spacing: 1px; }"));

  // Each button shows its command: hint, enabled state, and the icon or
  // caption of the toolbar glyphs.
  auto tool = [this](const char* name, QAction* command) {
    auto* b = Named(new QToolButton(tbMain), name);
    b->setDefaultAction(command);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    tbMain->addWidget(b);
    return b;
  };
  tbtnMirror = tool("tbtnMirror", actMirror);
  tbtnDryRun = tool("tbtnDryRun", actDryRun);
  tbMain->addSeparator();
  tbtnSaveTask = tool("tbtnSaveTask", actSaveTask);
  tbtnCloneTask = tool("tbtnCloneTask", actCloneTask);
  tbtnNewTask = tool("tbtnNewTask", actNewTask);
  tbMain->addSeparator();
  tbtnExportTasks = tool("tbtnExportTasks", actExportTasks);
  tbtnImportTasks = tool("tbtnImportTasks", actImportTasks);
  tbMain->addSeparator();
  tbtnAuthKeys = tool("tbtnAuthKeys", actAuthKeys);
  lay->addWidget(tbMain);
  lay->addStretch(1);
  // The logo is placed by LayoutLogo, outside the layout, whenever the panel resizes.
  pnlTop->installEventFilter(this);
}

QWidget* TfrmTwinfoldMain::BuildLeftPanel() {
  pnlLeft = Named(new QWidget, "pnlLeft");
  pnlLeft->setAutoFillBackground(true);
  QPalette pal = pnlLeft->palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Base));
  pnlLeft->setPalette(pal);
  pnlLeft->setMinimumWidth(80);

  auto* lay = new QVBoxLayout(pnlLeft);
  lay->setContentsMargins(kOuterMargin, kOuterMargin, kSplitterMargin, kOuterMargin);
  lay->setSpacing(6);
  auto* caption = Label(pnlLeft, "lblSavedTasks", QStringLiteral("Saved Tasks"));
  MakeBold(caption);
  lay->addWidget(caption);

  pnlSearch = Named(new TRoundedPanel(pnlLeft), "pnlSearch");
  pnlSearch->Tag = 1;
  auto* searchLay = new QHBoxLayout(pnlSearch);
  searchLay->setContentsMargins(7, 3, 7, 3);
  edtSearch = Named(new QLineEdit(pnlSearch), "edtSearch");
  edtSearch->setFrame(false);
  edtSearch->setPlaceholderText(QStringLiteral("Search task..."));
  edtSearch->setClearButtonEnabled(false);
  searchLay->addWidget(edtSearch);
  edtSearch->installEventFilter(this);
  lay->addWidget(pnlSearch);

  lstTasks = Named(new QListWidget(pnlLeft), "lstTasks");
  lstTasks->setSelectionMode(QAbstractItemView::SingleSelection);
  lstTasks->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lstTasks->setUniformItemSizes(true);
  lstTasks->setMouseTracking(true);
  lstTasks->viewport()->setMouseTracking(true);
  lstTasks->setContextMenuPolicy(Qt::CustomContextMenu);
  lstTasks->setItemDelegate(new TTaskItemDelegate(
      [this] { return TTaskItemDelegate::TState{QStr(FCurrentTask), FTaskModified}; }, lstTasks));
  lstTasks->installEventFilter(this);
  lstTasks->viewport()->installEventFilter(this);
  lay->addWidget(lstTasks, 1);

  pmTasks = Named(new QMenu(this), "pmTasks");
  auto item = [this](const char* name, const char* caption, std::function<void()> fn) {
    QAction* a = pmTasks->addAction(QString::fromUtf8(caption), this, std::move(fn));
    a->setObjectName(QString::fromLatin1(name));
    return a;
  };
  QAction* load = item("miLoad", "Load", [this] { LoadSelectedTask(); });
  pmTasks->setDefaultAction(load);
  pmTasks->addSeparator();
  item("miNew", "New...", [this] { btnNewTaskClick(); });
  item("miClone", "Clone...", [this] { miCloneClick(); });
  item("miRename", "Rename", [this] { miRenameClick(); });
  pmTasks->addSeparator();
  item("miExport", "Export...", [this] { miExportClick(); });
  item("miImport", "Import...", [this] { miImportClick(); });
  pmTasks->addSeparator();
  item("miCopyCmdRun", "Copy Command Line (Run)", [this] { miCopyCommandLine("run"); });
  item("miCopyCmdDry", "Copy Command Line (Dry Run)", [this] { miCopyCommandLine("dry"); });
  pmTasks->addSeparator();
  item("miDelete", "Delete", [this] { miDeleteClick(); });
  connect(pmTasks, &QMenu::aboutToShow, this, [this] { pmTasksPopup(); });
  return pnlLeft;
}

QWidget* TfrmTwinfoldMain::BuildPages() {
  pnlPages = Named(new QWidget, "pnlPages");
  auto* lay = new QVBoxLayout(pnlPages);
  lay->setContentsMargins(0, kOuterMargin, kOuterMargin, kOuterMargin);
  pcMain = Named(new QTabWidget(pnlPages), "pcMain");
  pcMain->addTab(BuildFoldersPage(), QStringLiteral("Folders"));
  pcMain->addTab(BuildSyncPage(), QStringLiteral("Sync"));
  pcMain->addTab(BuildExclusionsPage(), QStringLiteral("Exclusions"));
  pcMain->addTab(BuildLoggingPage(), QStringLiteral("Logging"));
  pcMain->addTab(BuildArchivePage(), QStringLiteral("Archive"));
  pcMain->addTab(BuildAdvancedPage(), QStringLiteral("Advanced"));
  pcMain->setCurrentWidget(tabFolders);
  // Rows with and without a drop-down are spaced alike.
  const int row = RowHeight(pcMain);
  for (QWidget* w : pcMain->findChildren<QWidget*>())
    if (qobject_cast<QCheckBox*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QSpinBox*>(w))
      w->setMinimumHeight(row);
  lay->addWidget(pcMain);
  return pnlPages;
}

QWidget* TfrmTwinfoldMain::BuildFoldersPage() {
  tabFolders = Page("tabFolders");
  auto* lay = new QVBoxLayout(tabFolders);
  lay->setContentsMargins(10, 10, 10, 10);
  lay->setSpacing(6);

  pnlFolderInputs = Named(new QWidget(tabFolders), "pnlFolderInputs");
  auto* in = new QVBoxLayout(pnlFolderInputs);
  in->setContentsMargins(0, 0, 0, 0);
  in->setSpacing(4);
  lblTaskName = Named(new TElidedLabel(pnlFolderInputs), "lblTaskName");
  MakeBold(lblTaskName);
  lblTaskName->setTextFormat(Qt::PlainText);
  lblTaskName->SetCaption(QStringLiteral("Task: Untitled"));
  in->addWidget(lblTaskName);
  in->addSpacing(4);
  in->addWidget(Label(pnlFolderInputs, "lblSource", QStringLiteral("Source folder:")));
  edtSource = Named(new QLineEdit(pnlFolderInputs), "edtSource");
  btnBrowseSource = Button(pnlFolderInputs, "btnBrowseSource", "Browse...");
  btnOpenSource = Button(pnlFolderInputs, "btnOpenSource", "Open Folder");
  in->addLayout(FolderRow(edtSource, btnBrowseSource, btnOpenSource));
  in->addSpacing(2);
  in->addWidget(Label(pnlFolderInputs, "lblDest", QStringLiteral("Destination folder (the mirror):")));
  edtDest = Named(new QLineEdit(pnlFolderInputs), "edtDest");
  btnBrowseDest = Button(pnlFolderInputs, "btnBrowseDest", "Browse...");
  btnOpenDest = Button(pnlFolderInputs, "btnOpenDest", "Open Folder");
  in->addLayout(FolderRow(edtDest, btnBrowseDest, btnOpenDest));
  lay->addWidget(pnlFolderInputs);

  auto* runRow = new QHBoxLayout;
  btnMirror = Button(tabFolders, "btnMirror", "Mirror");
  MakeBold(btnMirror);
  btnDryRun = Button(tabFolders, "btnDryRun", "Dry Run");
  btnDryRun->setToolTip(QStringLiteral("Preview all actions without changing anything"));
  btnCancel = Button(tabFolders, "btnCancel", "Cancel");
  btnCancel->setEnabled(false);
  for (QPushButton* b : {btnMirror, btnDryRun, btnCancel}) {
    b->setMinimumWidth(kButtonMinWidth);
    runRow->addWidget(b);
  }
  runRow->addStretch(1);
  lay->addSpacing(4);
  lay->addLayout(runRow);

  pbProgress = Named(new QProgressBar(tabFolders), "pbProgress");
  pbProgress->setRange(0, 100);
  pbProgress->setValue(0);
  pbProgress->setTextVisible(false);
  pbProgress->setFixedHeight(16);
  lay->addWidget(pbProgress);

  memoLog = Named(new QPlainTextEdit(tabFolders), "memoLog");
  memoLog->setReadOnly(true);
  memoLog->setFont(FixedFont());
  memoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  memoLog->setMaximumBlockCount(0);
  memoLog->setUndoRedoEnabled(false);
  lay->addWidget(memoLog, 1);

  auto* taskRow = new QHBoxLayout;
  btnSaveTask = Button(tabFolders, "btnSaveTask", "Save Task");
  btnCloneTask = Button(tabFolders, "btnCloneTask", "Clone Task");
  btnNewTask = Button(tabFolders, "btnNewTask", "New Task");
  for (QPushButton* b : {btnSaveTask, btnCloneTask, btnNewTask}) {
    b->setMinimumWidth(kButtonMinWidth);
    taskRow->addWidget(b);
  }
  taskRow->addStretch(1);
  lay->addLayout(taskRow);
  return tabFolders;
}

QWidget* TfrmTwinfoldMain::BuildSyncPage() {
  tabSync = Page("tabSync");
  auto* lay = new QVBoxLayout(tabSync);
  lay->setContentsMargins(12, 12, 12, 12);
  lay->setSpacing(8);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(10);
  grid->addWidget(Label(tabSync, "lblCompare", QStringLiteral("Compare files by:")), 0, 0);
  cmbCompare = Named(new QComboBox(tabSync), "cmbCompare");
  for (const char* item : kCompareModeItems) cmbCompare->addItem(QString::fromUtf8(item));
  cmbCompare->setCurrentIndex(0);
  grid->addWidget(cmbCompare, 0, 1);
  grid->addWidget(Label(tabSync, "lblWorkers", QStringLiteral("Parallel workers:")), 1, 0);
  spinWorkers = Named(new QSpinBox(tabSync), "spinWorkers");
  spinWorkers->setRange(kWorkersMin, kWorkersMax);
  spinWorkers->setValue(DefaultWorkerCount());
  spinWorkers->setMinimumWidth(70);
  grid->addWidget(spinWorkers, 1, 1, Qt::AlignLeft);
  grid->addWidget(Label(tabSync, "lblSymlinks", QStringLiteral("Symbolic links:")), 2, 0);
  cmbSymlinks = Named(new QComboBox(tabSync), "cmbSymlinks");
  for (const char* item : kSymlinkModeItems) cmbSymlinks->addItem(QString::fromUtf8(item));
  cmbSymlinks->setCurrentIndex(0);
  grid->addWidget(cmbSymlinks, 2, 1);
  grid->setColumnStretch(2, 1);
  grid->setVerticalSpacing(lay->spacing());
  lay->addLayout(grid);
  lay->addSpacing(4);

  chkAcl = Check(tabSync, "chkAcl", "Preserve file and folder permissions (ACLs)", false);
  chkSkipNewer = Check(tabSync, "chkSkipNewer", "Skip files whose mirror copy has a newer last-modified timestamp", false);
  // The caption names the command this system runs, as the run log's notice does.
  chkShutdown = Check(tabSync, "chkShutdown", "Shutdown PC on completion with no errors (shutdown -h +1)", false);
  chkShutdown->setToolTip(QStringLiteral("\"shutdown -c\" aborts the power-off within its minute."));
  chkAskConfirm = Check(tabSync, "chkAskConfirm", "Ask confirmation when Mirror button is clicked", true);
  chkVolCheck = Check(tabSync, "chkVolCheck", "Verify destination volume identity between runs (recommended)", true);
  for (QCheckBox* c : {chkAcl, chkSkipNewer, chkShutdown, chkAskConfirm, chkVolCheck}) lay->addWidget(c);

  auto* warnRow = new QHBoxLayout;
  chkWarnMassDelete =
      Check(tabSync, "chkWarnMassDelete", "Warn if the following percent of destination files would be deleted", true);
  cmbWarnPct = Named(new QComboBox(tabSync), "cmbWarnPct");
  for (const char* item : kWarnPctItems) cmbWarnPct->addItem(QString::fromUtf8(item));
  cmbWarnPct->setCurrentIndex(WarnPctItemIndex(kWarnPctDefault));
  warnRow->addWidget(chkWarnMassDelete);
  warnRow->addWidget(cmbWarnPct);
  warnRow->addStretch(1);
  lay->addLayout(warnRow);

  chkRecycle = Check(tabSync, "chkRecycle", "Send deleted files to the Trash (slower, allows undo)", false);
  chkRetry = Check(tabSync, "chkRetry", "Retry on locked files (3 attempts, 2 seconds apart)", true);
  lay->addWidget(chkRecycle);
  lay->addWidget(chkRetry);

  auto* verifyRow = new QHBoxLayout;
  chkVerify = Check(tabSync, "chkVerify", "Verify files after copying (slower, improved integrity validation)", false);
  cmbVerify = Named(new QComboBox(tabSync), "cmbVerify");
  for (const char* item : kVerifyHashItems) cmbVerify->addItem(QString::fromUtf8(item));
  cmbVerify->setCurrentIndex(0);
  cmbVerify->setEnabled(false);
  MayNarrow(cmbVerify);
  verifyRow->addWidget(chkVerify);
  verifyRow->addWidget(cmbVerify);
  verifyRow->addStretch(1);
  lay->addLayout(verifyRow);
  lay->addStretch(1);
  return tabSync;
}

QWidget* TfrmTwinfoldMain::BuildExclusionsPage() {
  tabExclusions = Page("tabExclusions");
  auto* lay = new QVBoxLayout(tabExclusions);
  lay->setContentsMargins(12, 12, 12, 12);
  lay->setSpacing(6);
  chkExclPatterns = Check(tabExclusions, "chkExclPatterns", "Exclude files and folders matching these wildcards:", true);
  lay->addWidget(chkExclPatterns);
  memoExclusions = Named(new QPlainTextEdit(tabExclusions), "memoExclusions");
  memoExclusions->setFont(FixedFont());
  memoExclusions->setLineWrapMode(QPlainTextEdit::NoWrap);
  // A pattern never holds a tab; Tab leaves the box as in every other one.
  memoExclusions->setTabChangesFocus(true);
  memoExclusions->setPlainText(QStr(DesignedExclusionPatterns()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  lay->addWidget(memoExclusions, 1);

  chkExclHiddenFiles = Check(tabExclusions, "chkExclHiddenFiles", "Exclude hidden files (names starting with a dot)", false);
  chkExclHiddenDirs = Check(tabExclusions, "chkExclHiddenDirs", "Exclude hidden folders (names starting with a dot)", false);
  chkExclJunctions = Check(tabExclusions, "chkExclJunctions",
                           "Exclude mounted folders (always on)", true);
  chkExclJunctions->setEnabled(false);
  chkExclEmpty = Check(tabExclusions, "chkExclEmpty", "Exclude files of 0 bytes (empty)", false);
  for (QCheckBox* c : {chkExclHiddenFiles, chkExclHiddenDirs, chkExclJunctions, chkExclEmpty}) lay->addWidget(c);

  auto* largerRow = new QHBoxLayout;
  chkExclLarger = Check(tabExclusions, "chkExclLarger", "Exclude files larger than", false);
  spinExclMB = Named(new QSpinBox(tabExclusions), "spinExclMB");
  spinExclMB->setRange(kExclLargerMBMin, kExclLargerMBMax);
  spinExclMB->setValue(kExclLargerMBDefault);
  spinExclMB->setMinimumWidth(100);
  largerRow->addWidget(chkExclLarger);
  largerRow->addWidget(spinExclMB);
  largerRow->addWidget(Label(tabExclusions, "lblMB", QStringLiteral("MB")));
  largerRow->addStretch(1);
  lay->addLayout(largerRow);
  return tabExclusions;
}

QWidget* TfrmTwinfoldMain::BuildLoggingPage() {
  tabLogging = Page("tabLogging");
  auto* lay = new QVBoxLayout(tabLogging);
  lay->setContentsMargins(12, 12, 12, 12);
  lay->setSpacing(6);
  chkLogFile = Check(tabLogging, "chkLogFile", "Write a .log file", false);
  lay->addWidget(chkLogFile);
  edtLogFolder = Named(new QLineEdit(tabLogging), "edtLogFolder");
  btnBrowseLogs = Button(tabLogging, "btnBrowseLogs", "Browse...");
  btnOpenLogs = Button(tabLogging, "btnOpenLogs", "Open Folder");
  lay->addLayout(FolderRow(edtLogFolder, btnBrowseLogs, btnOpenLogs));
  chkLogJson = Check(tabLogging, "chkLogJson", "Save log data in JSON format (JSON Lines) for easier parsing", false);
  lay->addWidget(chkLogJson);
  lay->addSpacing(8);
  lay->addWidget(Label(tabLogging, "lblLogOps", QStringLiteral("Select operations to log:")));
  chkLogError = Check(tabLogging, "chkLogError", "Errors", true);
  chkLogCopy = Check(tabLogging, "chkLogCopy", "File copies", true);
  chkLogDelete = Check(tabLogging, "chkLogDelete", "File deletions", true);
  chkLogMkDir = Check(tabLogging, "chkLogMkDir", "Folder creations", true);
  chkLogRmDir = Check(tabLogging, "chkLogRmDir", "Folder removals", true);
  for (QCheckBox* c : {chkLogError, chkLogCopy, chkLogDelete, chkLogMkDir, chkLogRmDir}) {
    auto* row = new QHBoxLayout;
    row->addSpacing(16);
    row->addWidget(c);
    row->addStretch(1);
    lay->addLayout(row);
  }
  lay->addStretch(1);
  return tabLogging;
}

QWidget* TfrmTwinfoldMain::BuildArchivePage() {
  tabArchive = Page("tabArchive");
  auto* lay = new QVBoxLayout(tabArchive);
  lay->setContentsMargins(12, 12, 12, 12);
  lay->setSpacing(6);
  chkArchive = Check(tabArchive, "chkArchive", "Archive deleted and overwritten files", false);
  lay->addWidget(chkArchive);
  edtArchiveFolder = Named(new QLineEdit(tabArchive), "edtArchiveFolder");
  btnBrowseArchive = Button(tabArchive, "btnBrowseArchive", "Browse...");
  btnOpenArchive = Button(tabArchive, "btnOpenArchive", "Open Folder");
  lay->addLayout(FolderRow(edtArchiveFolder, btnBrowseArchive, btnOpenArchive));
  lay->addSpacing(6);
  // The layout on disk, written with this system's separator.
  lay->addWidget(Label(tabArchive, "lblArchiveInfo",
                       QStringLiteral("Files are stored under <archive folder>/YYYY-MM-DD_HH-NN-SS/deleted/ and /changed/")));
  lay->addWidget(Label(tabArchive, "lblArchiveInfo2", QStringLiteral("The original folder structure is preserved.")));
  for (const char* name : {"lblArchiveInfo", "lblArchiveInfo2"})
    tabArchive->findChild<QLabel*>(QString::fromLatin1(name))->setTextFormat(Qt::PlainText);
  lay->addStretch(1);
  return tabArchive;
}

QWidget* TfrmTwinfoldMain::BuildAdvancedPage() {
  tabAdvanced = Page("tabAdvanced");
  auto* lay = new QVBoxLayout(tabAdvanced);
  lay->setContentsMargins(12, 12, 12, 12);
  lay->setSpacing(6);
  chkWebhook = Check(tabAdvanced, "chkWebhook", "Send a HTTPS POST request to a remote URL on completion", false);
  lay->addWidget(chkWebhook);
  edtWebhookURL = Named(new QLineEdit(tabAdvanced), "edtWebhookURL");
  edtWebhookURL->setPlaceholderText(QStringLiteral("https://example.com/hooks/mirror-finished"));
  edtWebhookURL->setEnabled(false);
  lay->addWidget(edtWebhookURL);
  lay->addSpacing(6);
  lay->addWidget(Label(tabAdvanced, "lblCustomHeader", QStringLiteral("Authentication header (optional):")));
  auto* keyRow = new QHBoxLayout;
  cmbAuthKey = Named(new QComboBox(tabAdvanced), "cmbAuthKey");
  cmbAuthKey->addItem(QString::fromUtf8(kAuthKeyNoneItem));
  cmbAuthKey->setFixedWidth(300);
  cmbAuthKey->setEnabled(false);
  btnManageKeys = Button(tabAdvanced, "btnManageKeys", "Manage Keys...");
  SameWidth({btnManageKeys});
  keyRow->addWidget(cmbAuthKey);
  keyRow->addWidget(btnManageKeys);
  keyRow->addStretch(1);
  lay->addLayout(keyRow);
  chkVerifySSL = Check(tabAdvanced, "chkVerifySSL", "Verify SSL certificate (fails if not valid)", true);
  chkVerifySSL->setEnabled(false);
  lay->addWidget(chkVerifySSL);
  lay->addSpacing(10);
  auto* lblViewJson = Named(new TLinkLabel(QStringLiteral("View example JSON data sent"), tabAdvanced), "lblViewJson");
  connect(lblViewJson, &TLinkLabel::clicked, this, [this] { lblViewJsonClick(); });
  auto* jsonRow = new QHBoxLayout;
  jsonRow->addWidget(lblViewJson);
  jsonRow->addStretch(1);
  lay->addLayout(jsonRow);
  lay->addStretch(1);
  return tabAdvanced;
}

} // namespace twf::ui
