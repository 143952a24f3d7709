// The Auth Key Manager: named HTTP headers for the completion webhook, their
// values shown masked in the list and in clear in the edit below it.
#pragma once

#include <QDialog>
#include <map>
#include <string>

class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;

namespace twf {
class TSettingsStore;
}

namespace twf::ui {

class IDialogs;

class TfrmAuthKeys : public QDialog {
  Q_OBJECT
public:
  TfrmAuthKeys(IDialogs& dialogs, TSettingsStore& store, QWidget* owner);

protected:
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  void LoadKeyList(const std::string& select);
  void lvKeysSelectItem();
  void btnSaveClick();
  void btnDeleteClick();

  IDialogs& FDialogs;
  TSettingsStore& FStore;
  // Clear values of the listed entries, by exact name.
  std::map<std::string, std::string> FVals;

  QTreeWidget* lvKeys = nullptr;
  QLineEdit* edtName = nullptr;
  QLineEdit* edtKey = nullptr;
  QLineEdit* edtValue = nullptr;
  QPushButton* btnSave = nullptr;
  QPushButton* btnDelete = nullptr;
  QPushButton* btnClose = nullptr;
  QMenu* pmKeys = nullptr;
};

} // namespace twf::ui
