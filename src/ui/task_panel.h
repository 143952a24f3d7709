// Pieces of the task panel: the framed search box, the list's drawing and
// the task caption.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QStyledItemDelegate>
#include <functional>

namespace twf::ui {

// Paints like a plain panel; with tag 1 it draws a rounded frame over it,
// orange while the focus is inside, grey otherwise.
class TRoundedPanel : public QFrame {
  Q_OBJECT
public:
  explicit TRoundedPanel(QWidget* parent = nullptr) : QFrame(parent) {}
  int Tag = 0;

protected:
  void paintEvent(QPaintEvent* e) override;
};

// Draws a task: bold when it is the window's task, with "* " in front while
// that task is modified.
class TTaskItemDelegate : public QStyledItemDelegate {
  Q_OBJECT
public:
  struct TState {
    QString CurrentTask;
    bool Modified = false;
  };
  TTaskItemDelegate(std::function<TState()> state, QObject* parent)
      : QStyledItemDelegate(parent), FState(std::move(state)) {}

  // The text drawn for an item ("* " + name for the modified current task)
  // and whether it is drawn bold.
  QString ItemText(const QModelIndex& index, bool* bold = nullptr) const;

  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
  std::function<TState()> FState;
};

// One line of text that never asks for the room its text needs: what does
// not fit is cut in the middle, and the tooltip then holds the whole text.
// A long task name must not widen the page and push the splitter aside.
class TElidedLabel : public QLabel {
  Q_OBJECT
public:
  explicit TElidedLabel(QWidget* parent = nullptr) : QLabel(parent) {}
  // Sets the whole text (text() keeps it) and the tooltip to go with it.
  void SetCaption(const QString& text);
  // What is drawn: the text, or its start and end around an ellipsis.
  QString ShownText() const;
  bool Elided() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

private:
  void UpdateToolTip();
};

} // namespace twf::ui
