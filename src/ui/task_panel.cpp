#include "ui/task_panel.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

namespace twf::ui {

void TRoundedPanel::paintEvent(QPaintEvent* e) {
  QFrame::paintEvent(e);
  if (Tag != 1) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(Qt::NoBrush);
  const QWidget* focus = QApplication::focusWidget();
  const bool focused = focus && (focus == this || isAncestorOf(focus));
  if (focused) {
    p.setPen(QPen(QColor(0xF5, 0x8C, 0x23), 2));
    p.drawRoundedRect(QRectF(1, 1, width() - 2, height() - 2), 5, 5);
  } else {
    p.setPen(QPen(QColor(0xC8, 0xC8, 0xC8), 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, width() - 1, height() - 1), 5, 5);
  }
}

QString TTaskItemDelegate::ItemText(const QModelIndex& index, bool* bold) const {
  const TState s = FState();
  const QString name = index.data(Qt::DisplayRole).toString();
  const bool current = !s.CurrentTask.isEmpty() && name.compare(s.CurrentTask, Qt::CaseInsensitive) == 0;
  if (bold) *bold = current;
  return current && s.Modified ? QStringLiteral("* ") + name : name;
}

void TTaskItemDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  bool bold = false;
  const QString text = ItemText(index, &bold);
  // The standard item background (selected or not), then our own text.
  opt.text.clear();
  const QWidget* w = option.widget;
  QStyle* style = w ? w->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, p, w);

  QFont f = option.font;
  f.setBold(bold);
  p->save();
  p->setFont(f);
  const bool selected = option.state & QStyle::State_Selected;
  const QPalette::ColorGroup group = option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
  p->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  const QFontMetrics fm(f);
  const QRect r = option.rect;
  const int y = (r.top() + r.bottom() + 1 - fm.height()) / 2;
  p->drawText(QRect(r.left() + 4, y, r.width() - 4, fm.height()), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
              fm.elidedText(text, Qt::ElideRight, r.width() - 6));
  p->restore();
}

QSize TTaskItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize s = QStyledItemDelegate::sizeHint(option, index);
  // The designed 17 pixels, or more where the desktop's font is taller.
  QFont f = option.font;
  f.setBold(true);
  s.setHeight(std::max(17, QFontMetrics(f).height() + 2));
  return s;
}

void TElidedLabel::SetCaption(const QString& text) {
  setText(text);
  UpdateToolTip();
}

// The middle goes: the end holds the " (modified)" or " (deleted)" marker.
QString TElidedLabel::ShownText() const {
  return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

bool TElidedLabel::Elided() const { return ShownText() != text(); }

QSize TElidedLabel::sizeHint() const { return QSize(minimumSizeHint().width(), QLabel::sizeHint().height()); }

QSize TElidedLabel::minimumSizeHint() const {
  // Room for a few letters and the ellipsis.
  const QMargins m = contentsMargins();
  return QSize(fontMetrics().averageCharWidth() * 8 + m.left() + m.right(),
               QLabel::minimumSizeHint().height());
}

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  style()->drawItemText(&p, contentsRect(), int(alignment()) | Qt::TextSingleLine, palette(), isEnabled(), ShownText(),
                        foregroundRole());
}

void TElidedLabel::resizeEvent(QResizeEvent* e) {
  QLabel::resizeEvent(e);
  UpdateToolTip();
}

void TElidedLabel::UpdateToolTip() {
  // A tooltip that looks like markup is shown as markup: a name such as
  // "<b>Photos</b>" must show its brackets.
  QString tip = Elided() ? text() : QString();
  if (Qt::mightBeRichText(tip)) tip = Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal);
  setToolTip(tip);
}

} // namespace twf::ui
