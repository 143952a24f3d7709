#include "ui/about.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "runctl/machine_text.h"
#include "ui/app_paths.h"
#include "ui/dialogs.h"

namespace twf::ui {

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, QColor(0, 0, 128));
  setPalette(pal);
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(e);
}

TfrmAbout::TfrmAbout(IDialogs& dialogs, QWidget* owner) : QDialog(owner), FDialogs(dialogs) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral("About"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  auto* lay = new QVBoxLayout(this);
  lay->setContentsMargins(24, 20, 24, 20);
  lay->setSpacing(6);

  QString title = QApplication::applicationDisplayName();
  if (title.isEmpty()) title = QStringLiteral("Quarlex Twinfold");
  auto* lblAppName = new QLabel(title, this);
  lblAppName->setObjectName(QStringLiteral("lblAppName"));
  auto* lblVersion = new QLabel(QStringLiteral("Version ") + QStr(AppVersionString()), this);
  lblVersion->setObjectName(QStringLiteral("lblVersion"));
  for (QLabel* l : {lblAppName, lblVersion}) {
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
  }
  auto* lblMaker = new QLabel(QStringLiteral("Made by Zentorvi"), this);
  lblMaker->setObjectName(QStringLiteral("lblMaker"));
  auto* lblSite1 = new TLinkLabel(QStringLiteral("Quarlex Twinfold home page"), this);
  lblSite1->setObjectName(QStringLiteral("lblSite1"));
  auto* lblSite2 = new TLinkLabel(QString::fromLatin1(kMakerUrl), this);
  lblSite2->setObjectName(QStringLiteral("lblSite2"));
  auto* lblEula = new TLinkLabel(QStringLiteral("End User License Agreement"), this);
  lblEula->setObjectName(QStringLiteral("lblEula"));

  lay->addWidget(lblAppName);
  lay->addWidget(lblVersion);
  lay->addSpacing(6);
  lay->addWidget(lblMaker);
  lay->addSpacing(10);
  lay->addWidget(lblSite1);
  lay->addWidget(lblSite2);
  lay->addSpacing(10);
  lay->addWidget(lblEula);
  lay->addStretch(1);

  connect(lblSite1, &TLinkLabel::clicked, this,
          [this] { OpenAppFile(FDialogs, this, QString::fromLatin1(kHomepageFile)); });
  connect(lblSite2, &TLinkLabel::clicked, this, [this] { FDialogs.OpenUrl(QUrl(QString::fromLatin1(kMakerUrl))); });
  connect(lblEula, &TLinkLabel::clicked, this, &TfrmAbout::lblEulaClick);

  // The designed client area, grown where the desktop's font needs more.
  setFixedSize(sizeHint().expandedTo(QSize(340, 222)));
}

void TfrmAbout::lblEulaClick() { OpenAppFile(FDialogs, this, QStringLiteral("EULA.txt")); }

void TfrmAbout::keyPressEvent(QKeyEvent* e) {
  // Esc closes whatever modifiers are held.
  if (e->key() == Qt::Key_Escape) {
    e->accept();
    reject();
    return;
  }
  QDialog::keyPressEvent(e);
}

} // namespace twf::ui
