// The program's logo, kept inside the executable (drawn by tools/make_logo.py).
#pragma once

#include <QByteArray>
#include <QRect>

namespace twf::ui {

extern const char* const kLogoPngBase64;

// The decoded PNG: 800 x 240 pixels, 8 bits per channel with alpha.
QByteArray LogoPngBytes();

// Where the logo sits on a top panel of this client size: 7/38 of the height
// as margin above and below, 10/38 as gap on the right, the picture's 10:3
// aspect. A panel too low for a margin gets a logo of its full height.
QRect LogoBounds(int panelWidth, int panelHeight);

} // namespace twf::ui

#include <QImage>
#include <QWidget>

namespace twf::ui {

// The paint box that shows the logo, scaled into its whole client area.
class TLogoBox : public QWidget {
  Q_OBJECT
public:
  explicit TLogoBox(QWidget* parent = nullptr);
  const QImage& Image() const { return FLogoBmp; }

signals:
  void clicked();

protected:
  void paintEvent(QPaintEvent*) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

private:
  QImage FLogoBmp;
  QImage FScaled; // FLogoBmp at the last painted size, kept to avoid rescaling on every paint
};

} // namespace twf::ui
