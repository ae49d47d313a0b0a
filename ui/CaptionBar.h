#pragma once
// Frameless windows: a caption bar with a title and a close button, and a mover that
// drags the window when its caption (or any other watched area) is pressed.

#include <QFrame>
#include <QPoint>

class QLabel;
class QToolButton;

// Moves `window` while the left button is held on a watched widget. The window
// manager does the move where it offers one; bare X servers have none, so the window
// then follows the pointer itself.
class TWindowMover : public QObject {
  Q_OBJECT

public:
  explicit TWindowMover(QWidget& window);
  void Watch(QWidget& area);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void StartMove();

  QWidget& window_;
  bool pressed_ = false;  // a press waits for the move to start
  bool following_ = false;
  QPoint grabOffset_;
};

// Centres a top-level window on its screen. Call it before the window is first shown:
// moved while it is being shown, the window keeps a stale native position under a
// window manager until the next configure event, and whatever is mapped through it
// (a menu at the pointer, a move by the caption) lands off by the window's offset.
void CentreOnScreen(QWidget& window);

// The bar is named "pCaption"; its close button "bClose" emits CloseClicked.
class TCaptionBar : public QFrame {
  Q_OBJECT

public:
  TCaptionBar(const QString& title, bool withClose, QWidget& window);
  QLabel& Title() const { return *title_; }

signals:
  void CloseClicked();

private:
  QLabel* title_;
  QToolButton* close_ = nullptr;
};
