// The main window: six pages holding the settings of the current task, the
// task list on the left, the toolbar and the run log. It is the run
// controller's host, so runs started here show their lines and progress in it.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "runctl/command_line.h"
#include "runctl/run_host.h"
#include "tasks/task_settings.h"

class QAbstractButton;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QSplitter;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;

namespace twf {
class TRunController;
struct TRunControllerConfig;
class TSettingsStore;
} // namespace twf

namespace twf::ui {

class IDialogs;
class TElidedLabel;
class TLogoBox;
class TRoundedPanel;

class TfrmTwinfoldMain : public QMainWindow, public IRunHost {
  Q_OBJECT
public:
  // dialogs and store must outlive the window. The command line is processed
  // as the last step of creation; its start step runs once the event loop does.
  TfrmTwinfoldMain(IDialogs& dialogs, TSettingsStore& store, const TCommandLine& cmd = {},
                   const TRunControllerConfig* runConfig = nullptr, QWidget* parent = nullptr);
  ~TfrmTwinfoldMain() override;

  // ---- state that the tests and the program entry look at
  const std::string& CurrentTaskName() const { return FCurrentTask; }
  const std::string& SuggestName() const { return FSuggestName; }
  bool TaskModified() const { return FTaskModified; }
  bool IsRunning() const;
  TRunController& Runs() { return *FRuns; }
  // The built-in exclusion list the memo held as designed.
  const std::string& DefaultExclusions() const { return FDefaultExcl; }

  // ---- IRunHost
  void PostToUiThread(std::function<void()> fn) override;
  bool AskYesNo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  TTaskSettings ReadSettings() override;
  void ApplySettings(const TTaskSettings& values) override;
  std::string CurrentTask() override { return FCurrentTask; }
  void SetCurrentTask(const std::string& name) override { FCurrentTask = name; }
  void SetTaskCaption(const std::string& text) override;
  std::string TaskDisplayName() override;
  void SelectTaskInList(const std::string& name) override;
  void ActivatePage(TMainPage page) override;
  void ClearLogPane() override;
  void AppendToLogPane(const TLogPaneChange& change) override;
  void SetRunning(bool running) override;
  void ShowProgress(const TProgressView& view) override;
  void CloseMainWindow() override;

  // ---- task values between the controls and the store
  // The working settings (the root key), or a task's key.
  void SaveSettings(const std::string& keyPath);
  void LoadSettings(const std::string& keyPath);
  void ResetToDefaults();
  void ApplyEnablingRules();

protected:
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  // ---- creation (main_window.cpp, main_window_pages.cpp)
  void FormCreate(const TCommandLine& cmd);
  void FormDestroy();
  void BuildMenus();
  void BuildTopPanel();
  QWidget* BuildLeftPanel();
  QWidget* BuildPages();
  QWidget* BuildFoldersPage();
  QWidget* BuildSyncPage();
  QWidget* BuildExclusionsPage();
  QWidget* BuildLoggingPage();
  QWidget* BuildArchivePage();
  QWidget* BuildAdvancedPage();
  void ConnectControls();
  // Finds the control of each row of the settings table (by object name).
  void BindSettingControls();
  void SetupToolbarAndLogo();
  void LayoutLogo();

  // ---- commands (main_window.cpp): one action each, shared by its button,
  // tool button, menu item and shortcut
  void BuildCommands();
  QAction* Command(const char* name, const QString& text, const QString& hint, std::function<void()> fn);
  void BindButton(QAbstractButton* button, QAction* command);
  // Enables and disables the commands; a run locks those that would change
  // the task or start another run.
  void UpdateCommands();

  // ---- folders, menus, drops (main_window.cpp)
  void BrowseFolder(QLineEdit* edit, const QString& title);
  void OpenFolderOfEdit(QLineEdit* edit);
  void OpenOrCreateFolder(QLineEdit* edit, const std::string& defaultFolder);
  void OpenAppFile(const QString& fileName);
  void ShowAbout();
  void OpenHomepage();
  bool HandleDrop(QWidget* receiver, QEvent* e);

  // ---- task list and task commands (main_window_tasks.cpp)
  void RefreshTaskList();
  void FilterTaskList();
  std::string SelectedTaskName() const;
  void LoadSelectedTask();
  bool ConfirmSaveModified();
  std::string TaskHintText(const std::string& name);
  bool ValidateFolders();
  std::string SuggestedName() const;
  void SaveTaskAs(const std::string& suggestion);
  void btnNewTaskClick();
  void btnSaveTaskClick();
  void btnCloneTaskClick();
  void miCloneClick();
  bool AcceptNewTaskName(const QString& name);
  void miRenameClick();
  void miDeleteClick();
  void miCopyCommandLine(const char* verb);
  void pmTasksPopup();
  void ShowTaskMenu(const QPoint& pos);
  void DirtyTimerTimer();
  bool TaskListEvent(QObject* watched, QEvent* e);
  void MoveSearchSelection(int delta);

  // ---- task files, archives and auth keys (main_window_files.cpp)
  void miExportClick();
  void miImportClick();
  void miExportTasksClick();
  void miImportTasksClick();
  void btnManageKeysClick();
  void FillAuthKeyCombo();
  std::vector<std::string> AuthKeyNames() const;
  void lblViewJsonClick();

  // ---- window state (main_window_settings.cpp)
  void SaveWindowState();
  void LoadWindowState();
  void ApplyPendingSplitter();
  int LeftPanelWidth() const;

  IDialogs& FDialogs;
  TSettingsStore& FStore;
  std::unique_ptr<TRunController> FRuns;

  // Task binding.
  QStringList FAllTasks;
  std::string FCurrentTask;
  std::string FSuggestName;
  bool FTaskModified = false;
  int FHintIndex = -1;
  QString FHintText;
  std::string FDefaultExcl;
  QTimer* FDirtyTimer = nullptr;
  QTimer* tmrUI = nullptr;
  bool FDestroyed = false;
  // The task panel width to apply once the splitter has its real size: the
  // designed 232 pixels, or the restored width.
  int FPendingSplitter = 232;
  // The task panel width that is saved: the one the user last dragged the
  // splitter to, else the restored or designed one. A width the layout
  // forces (a window too narrow, a page that needs more room) is never it.
  int FUserSplitter = 232;

  // The control of each row of the settings table, in its order; null for a
  // row without one.
  std::vector<QWidget*> FSettingControls;

  // Commands.
  bool FRunLock = false;
  QAction* actMirror = nullptr;
  QAction* actDryRun = nullptr;
  QAction* actCancel = nullptr;
  QAction* actSaveTask = nullptr;
  QAction* actCloneTask = nullptr;
  QAction* actNewTask = nullptr;
  QAction* actExportTasks = nullptr;
  QAction* actImportTasks = nullptr;
  QAction* actAuthKeys = nullptr;
  QAction* actFindTask = nullptr;

  // Top panel.
  QWidget* pnlTop = nullptr;
  QToolBar* tbMain = nullptr;
  QToolButton* tbtnMirror = nullptr;
  QToolButton* tbtnDryRun = nullptr;
  QToolButton* tbtnSaveTask = nullptr;
  QToolButton* tbtnCloneTask = nullptr;
  QToolButton* tbtnNewTask = nullptr;
  QToolButton* tbtnExportTasks = nullptr;
  QToolButton* tbtnImportTasks = nullptr;
  QToolButton* tbtnAuthKeys = nullptr;
  TLogoBox* FLogo = nullptr;

  // Left panel.
  QWidget* pnlLeft = nullptr;
  TRoundedPanel* pnlSearch = nullptr;
  QLineEdit* edtSearch = nullptr;
  QListWidget* lstTasks = nullptr;
  QMenu* pmTasks = nullptr;
  QSplitter* splMain = nullptr;
  QWidget* pnlPages = nullptr;
  QTabWidget* pcMain = nullptr;

  // Folders.
  QWidget* tabFolders = nullptr;
  QWidget* pnlFolderInputs = nullptr;
  TElidedLabel* lblTaskName = nullptr;
  QLineEdit* edtSource = nullptr;
  QLineEdit* edtDest = nullptr;
  QPushButton* btnBrowseSource = nullptr;
  QPushButton* btnOpenSource = nullptr;
  QPushButton* btnBrowseDest = nullptr;
  QPushButton* btnOpenDest = nullptr;
  QPushButton* btnMirror = nullptr;
  QPushButton* btnDryRun = nullptr;
  QPushButton* btnCancel = nullptr;
  QProgressBar* pbProgress = nullptr;
  QPlainTextEdit* memoLog = nullptr;
  QPushButton* btnSaveTask = nullptr;
  QPushButton* btnCloneTask = nullptr;
  QPushButton* btnNewTask = nullptr;

  // Sync.
  QWidget* tabSync = nullptr;
  QComboBox* cmbCompare = nullptr;
  QComboBox* cmbSymlinks = nullptr;
  QSpinBox* spinWorkers = nullptr;
  QCheckBox* chkAcl = nullptr;
  QCheckBox* chkSkipNewer = nullptr;
  QCheckBox* chkShutdown = nullptr;
  QCheckBox* chkAskConfirm = nullptr;
  QCheckBox* chkVolCheck = nullptr;
  QCheckBox* chkWarnMassDelete = nullptr;
  QComboBox* cmbWarnPct = nullptr;
  QCheckBox* chkRecycle = nullptr;
  QCheckBox* chkRetry = nullptr;
  QCheckBox* chkVerify = nullptr;
  QComboBox* cmbVerify = nullptr;

  // Exclusions.
  QWidget* tabExclusions = nullptr;
  QCheckBox* chkExclPatterns = nullptr;
  QPlainTextEdit* memoExclusions = nullptr;
  QCheckBox* chkExclHiddenFiles = nullptr;
  QCheckBox* chkExclHiddenDirs = nullptr;
  QCheckBox* chkExclJunctions = nullptr;
  QCheckBox* chkExclEmpty = nullptr;
  QCheckBox* chkExclLarger = nullptr;
  QSpinBox* spinExclMB = nullptr;

  // Logging.
  QWidget* tabLogging = nullptr;
  QCheckBox* chkLogFile = nullptr;
  QLineEdit* edtLogFolder = nullptr;
  QPushButton* btnBrowseLogs = nullptr;
  QPushButton* btnOpenLogs = nullptr;
  QCheckBox* chkLogJson = nullptr;
  QCheckBox* chkLogError = nullptr;
  QCheckBox* chkLogCopy = nullptr;
  QCheckBox* chkLogDelete = nullptr;
  QCheckBox* chkLogMkDir = nullptr;
  QCheckBox* chkLogRmDir = nullptr;

  // Archive.
  QWidget* tabArchive = nullptr;
  QCheckBox* chkArchive = nullptr;
  QLineEdit* edtArchiveFolder = nullptr;
  QPushButton* btnBrowseArchive = nullptr;
  QPushButton* btnOpenArchive = nullptr;

  // Advanced.
  QWidget* tabAdvanced = nullptr;
  QCheckBox* chkWebhook = nullptr;
  QLineEdit* edtWebhookURL = nullptr;
  QComboBox* cmbAuthKey = nullptr;
  QPushButton* btnManageKeys = nullptr;
  QCheckBox* chkVerifySSL = nullptr;
};

} // namespace twf::ui
