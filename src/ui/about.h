// The About box: name, version, the two web sites and the licence text.
#pragma once

#include <QDialog>
#include <QLabel>


namespace twf::ui {

class IDialogs;

class TfrmAbout : public QDialog {
  Q_OBJECT
public:
  TfrmAbout(IDialogs& dialogs, QWidget* owner);

protected:
  void keyPressEvent(QKeyEvent* e) override;

private:
  void lblEulaClick();

  IDialogs& FDialogs;
};

// A label drawn as a link (navy, underlined, hand cursor) that reports clicks.
class TLinkLabel : public QLabel {
  Q_OBJECT
public:
  explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
  void clicked();

protected:
  void mouseReleaseEvent(QMouseEvent* e) override;
};

} // namespace twf::ui
