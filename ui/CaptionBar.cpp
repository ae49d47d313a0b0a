#include "ui/CaptionBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <QWindow>

#include <chrono>
#include <utility>

void CentreOnScreen(QWidget& window) {
  if (const QScreen* where = window.screen())
    window.move(where->availableGeometry().center() - window.rect().center());
}

namespace {
constexpr std::chrono::milliseconds kMoveDelay{40};
}  // namespace

TWindowMover::TWindowMover(QWidget& window) : QObject(&window), window_(window) {}

void TWindowMover::Watch(QWidget& area) { area.installEventFilter(this); }

bool TWindowMover::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* press = static_cast<QMouseEvent*>(event);
      if (press->button() != Qt::LeftButton) break;
      pressed_ = true;
      grabOffset_ = press->globalPosition().toPoint() - window_.frameGeometry().topLeft();
      // Asked at once, the window manager took a click whose release was already
      // queued (an instant click, or a program busy for a moment) for the start of
      // a move, and the window followed the pointer with no button held. Asked a
      // moment later, once what was queued has been read, a release among it has
      // ended the click; a hand's drag meanwhile is followed here.
      QTimer::singleShot(kMoveDelay, this, [this] { StartMove(); });
      return true;
    }
    case QEvent::MouseMove:
      // Before the window manager takes over, the window follows here.
      if (!following_ && !pressed_) break;
      window_.move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - grabOffset_);
      return true;
    case QEvent::MouseButtonRelease:
      if (!following_ && !pressed_) break;
      following_ = pressed_ = false;
      return true;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

void TWindowMover::StartMove() {
  if (!std::exchange(pressed_, false)) return;
  QWindow* handle = window_.windowHandle();
  if (handle && handle->startSystemMove()) return;
  following_ = true;
}

TCaptionBar::TCaptionBar(const QString& title, bool withClose, QWidget& window)
    : QFrame(&window), title_(new QLabel(title, this)) {
  setObjectName(QStringLiteral("pCaption"));
  setAutoFillBackground(true);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 0, 2, 0);
  row->setSpacing(4);
  // A long title (a server's name) is cut at the window's edge: wider, it would widen
  // the window and push its only close button off the screen.
  title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  title_->setMinimumWidth(0);
  row->addWidget(title_, 1);
  if (withClose) {
    close_ = new QToolButton(this);
    close_->setObjectName(QStringLiteral("bClose"));
    close_->setText(QStringLiteral("X"));
    close_->setToolTip(QStringLiteral("Close"));
    close_->setFixedSize(17, 17);
    close_->setFocusPolicy(Qt::NoFocus);
    row->addWidget(close_);
    connect(close_, &QToolButton::clicked, this, &TCaptionBar::CloseClicked);
  }
}
