#include "ui/logo.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>

namespace twf::ui {

QByteArray LogoPngBytes() { return QByteArray::fromBase64(QByteArray(kLogoPngBase64)); }

namespace {
// MulDiv: a * b / c rounded to the nearest integer.
int MulDiv(int a, int b, int c) { return int(std::lround(double(a) * b / c)); }
} // namespace

QRect LogoBounds(int panelWidth, int panelHeight) {
  const int H = panelHeight, W = panelWidth;
  const int margin = MulDiv(7, H, 38);
  const int rightGap = MulDiv(10, H, 38);
  int h = H - 2 * margin;
  if (h < 8) h = H;
  const int w = int(std::lround(h * 10.0 / 3.0));
  return QRect(W - w - rightGap, (H - h) / 2, w, h);
}

TLogoBox::TLogoBox(QWidget* parent) : QWidget(parent) {
  FLogoBmp.loadFromData(LogoPngBytes(), "PNG");
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_TranslucentBackground);
}

void TLogoBox::paintEvent(QPaintEvent*) {
  if (FLogoBmp.isNull()) return;
  const qreal dpr = devicePixelRatioF();
  const QSize target = (QSizeF(size()) * dpr).toSize();
  // A smooth pre-scale: painting an 800-pixel picture into 80 pixels with
  // bilinear filtering alone would alias badly.
  if (FScaled.size() != target)
    FScaled = FLogoBmp.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  FScaled.setDevicePixelRatio(dpr);
  QPainter p(this);
  p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  p.drawImage(rect(), FScaled);
}

void TLogoBox::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
  QWidget::mouseReleaseEvent(e);
}

} // namespace twf::ui
