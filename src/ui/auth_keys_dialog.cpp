#include "ui/auth_keys_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "authkeys/auth_keys.h"
#include "ui/dialogs.h"

namespace twf::ui {

TfrmAuthKeys::TfrmAuthKeys(IDialogs& dialogs, TSettingsStore& store, QWidget* owner)
    : QDialog(owner), FDialogs(dialogs), FStore(store) {
  setObjectName(QStringLiteral("frmAuthKeys"));
  setWindowTitle(QStringLiteral("Auth Key Manager"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);

  auto* lay = new QVBoxLayout(this);
  lvKeys = new QTreeWidget(this);
  lvKeys->setObjectName(QStringLiteral("lvKeys"));
  lvKeys->setColumnCount(3);
  lvKeys->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Header Key"), QStringLiteral("Value")});
  lvKeys->setRootIsDecorated(false);
  lvKeys->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvKeys->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvKeys->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvKeys->setSortingEnabled(true);
  lvKeys->sortByColumn(0, Qt::AscendingOrder);
  lvKeys->header()->setSectionsClickable(false);
  lvKeys->header()->setSortIndicatorShown(false);
  lvKeys->setColumnWidth(0, 150);
  lvKeys->setColumnWidth(1, 160);
  lvKeys->setColumnWidth(2, 210);
  lvKeys->setContextMenuPolicy(Qt::CustomContextMenu);
  lvKeys->installEventFilter(this);
  lay->addWidget(lvKeys, 1);

  auto* fields = new QGridLayout;
  auto edit = [this](const char* name, const char* hint) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QString::fromLatin1(name));
    e->setPlaceholderText(QString::fromUtf8(hint));
    return e;
  };
  auto label = [this](const char* name, const char* text) {
    auto* l = new QLabel(QString::fromUtf8(text), this);
    l->setObjectName(QString::fromLatin1(name));
    return l;
  };
  edtName = edit("edtName", "e.g. Production Key");
  edtKey = edit("edtKey", "e.g. X-API-Key");
  edtValue = edit("edtValue", "Secret value");
  fields->addWidget(label("lblName", "Name:"), 0, 0);
  fields->addWidget(label("lblKey", "Header key:"), 0, 1);
  fields->addWidget(label("lblValue", "Value:"), 0, 2);
  fields->addWidget(edtName, 1, 0);
  fields->addWidget(edtKey, 1, 1);
  fields->addWidget(edtValue, 1, 2);
  fields->setColumnStretch(0, 3);
  fields->setColumnStretch(1, 3);
  fields->setColumnStretch(2, 4);
  lay->addLayout(fields);

  auto* buttons = new QHBoxLayout;
  btnSave = new QPushButton(QStringLiteral("Add / Update"), this);
  btnSave->setObjectName(QStringLiteral("btnSave"));
  btnDelete = new QPushButton(QStringLiteral("Delete"), this);
  btnDelete->setObjectName(QStringLiteral("btnDelete"));
  btnClose = new QPushButton(QStringLiteral("Close"), this);
  btnClose->setObjectName(QStringLiteral("btnClose"));
  for (QPushButton* b : {btnSave, btnDelete, btnClose}) b->setAutoDefault(false);
  buttons->addWidget(btnSave);
  buttons->addWidget(btnDelete);
  buttons->addStretch(1);
  buttons->addWidget(btnClose);
  lay->addLayout(buttons);

  setTabOrder(lvKeys, edtName);
  setTabOrder(edtName, edtKey);
  setTabOrder(edtKey, edtValue);
  setTabOrder(edtValue, btnSave);
  setTabOrder(btnSave, btnDelete);
  setTabOrder(btnDelete, btnClose);

  pmKeys = new QMenu(this);
  pmKeys->setObjectName(QStringLiteral("pmKeys"));
  QAction* miDeleteKey = pmKeys->addAction(QStringLiteral("Delete"), this, [this] { btnDeleteClick(); });
  miDeleteKey->setObjectName(QStringLiteral("miDeleteKey"));
  connect(pmKeys, &QMenu::aboutToShow, this,
          [this, miDeleteKey] { miDeleteKey->setEnabled(!lvKeys->selectedItems().isEmpty()); });
  connect(lvKeys, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { pmKeys->popup(lvKeys->viewport()->mapToGlobal(p)); });
  connect(lvKeys, &QTreeWidget::itemSelectionChanged, this, [this] { lvKeysSelectItem(); });
  connect(btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
  connect(btnDelete, &QPushButton::clicked, this, [this] { btnDeleteClick(); });
  connect(btnClose, &QPushButton::clicked, this, [this] { accept(); });

  resize(584, 356);
  setMinimumSize(520, 320);
  LoadKeyList({});
}

void TfrmAuthKeys::LoadKeyList(const std::string& select) {
  FVals.clear();
  QTreeWidgetItem* selected = nullptr;
  {
    const QSignalBlocker block(lvKeys);
    lvKeys->setUpdatesEnabled(false);
    lvKeys->clear();
    for (const std::string& name : ListAuthKeyNames(FStore)) {
      std::string key, value;
      if (!ReadAuthKey(FStore, name, key, value)) continue;
      auto* row = new QTreeWidgetItem(lvKeys, {QStr(name), QStr(key), QStr(MaskValue(value))});
      FVals[name] = value;
      if (!select.empty() && SameKeyName(name, select)) {
        row->setSelected(true);
        selected = row;
      }
    }
    if (selected) lvKeys->setCurrentItem(selected, 0, QItemSelectionModel::NoUpdate);
    lvKeys->setUpdatesEnabled(true);
  }
  if (selected) lvKeysSelectItem();
}

void TfrmAuthKeys::lvKeysSelectItem() {
  const QList<QTreeWidgetItem*> sel = lvKeys->selectedItems();
  if (sel.isEmpty()) {
    edtName->clear();
    edtKey->clear();
    edtValue->clear();
    return;
  }
  // With several rows selected the edits show the one selected last.
  QTreeWidgetItem* row = lvKeys->currentItem();
  if (!row || !row->isSelected()) row = sel.last();
  edtName->setText(row->text(0));
  edtKey->setText(row->text(1));
  const auto it = FVals.find(StdStr(row->text(0)));
  edtValue->setText(it == FVals.end() ? QString() : QStr(it->second));
}

void TfrmAuthKeys::btnSaveClick() {
  std::string saved;
  if (const std::optional<TUserMessage> refusal =
          SaveAuthKeyEntry(FStore, StdStr(edtName->text()), StdStr(edtKey->text()), StdStr(edtValue->text()), &saved)) {
    FDialogs.Message(this, FromUserMessage(*refusal));
    return;
  }
  LoadKeyList(saved);
}

void TfrmAuthKeys::btnDeleteClick() {
  const QList<QTreeWidgetItem*> sel = lvKeys->selectedItems();
  if (sel.isEmpty()) return;
  if (FDialogs.Message(this, FromUserMessage(DeleteKeysQuestion(int(sel.size())))) != TAnswer::anYes) return;
  std::vector<std::string> names;
  for (const QTreeWidgetItem* row : sel) names.push_back(StdStr(row->text(0)));
  for (const std::string& name : names) DeleteAuthKey(FStore, name);
  edtName->clear();
  edtKey->clear();
  edtValue->clear();
  LoadKeyList({});
}

bool TfrmAuthKeys::eventFilter(QObject* watched, QEvent* e) {
  if (watched == lvKeys && e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Delete && (k->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      btnDeleteClick();
      return true;
    }
  }
  return QDialog::eventFilter(watched, e);
}

void TfrmAuthKeys::keyPressEvent(QKeyEvent* e) {
  // Esc is the Close button: the dialog ends with OK.
  if (e->key() == Qt::Key_Escape) {
    e->accept();
    accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

} // namespace twf::ui
