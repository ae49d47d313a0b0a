#include "ui/frmLog.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWindow>

#include "catalogue/uServers.h"
#include "ui/CaptionBar.h"
#include "ui/DrivePath.h"
#include "ui/Style.h"

namespace {
constexpr int kWidth = 450;
constexpr int kHeight = 191;
constexpr int kCaptionHeight = 21;
constexpr int kMargin = 4;
}  // namespace

TfLog::TfLog(int index, const QString& caption, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      index_(index),
      caption_(new TCaptionBar(caption, true, *this)),
      mLog_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("fLog"));
  setWindowTitle(caption);
  resize(kWidth, kHeight);
  // Shown above other windows without taking the focus from whatever the user is in.
  setAttribute(Qt::WA_ShowWithoutActivating);

  caption_->setFixedHeight(kCaptionHeight);
  connect(caption_, &TCaptionBar::CloseClicked, this, &TfLog::bCloseClick);
  (new TWindowMover(*this))->Watch(*caption_);

  mLog_->setObjectName(QStringLiteral("mLog"));
  mLog_->setReadOnly(true);
  // A memo with a vertical scroll bar only wraps its lines: unwrapped, the long
  // fingerprint line scrolled the view sideways and hid the start of every line.
  mLog_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  mLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  mLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(kMargin);
  column->addWidget(caption_);
  auto* body = new QVBoxLayout();
  body->setContentsMargins(kMargin, 0, kMargin, kMargin);
  body->addWidget(mLog_);
  column->addLayout(body, 1);

  ApplyBrushedSteel(*this);
  mLog_->setFont(WindowFont(11));
  mLog_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: #004080; color: #ffffff; }"));
  CentreOnScreen(*this);
}

void TfLog::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  mLog_->clear();
  if (index_ >= 0 && static_cast<std::size_t>(index_) < ServerRegistry.size()) {
    QStringList lines;
    for (const std::string& line : ServerRegistry[index_].Log) lines << ToQt(line);
    if (!lines.isEmpty()) mLog_->setPlainText(lines.join(QLatin1Char('\n')));
  }
  ScrollToEnd();
}

// Kept above everything, the window would also sit over a modal dialog of ours (the
// wizard) and could be neither moved nor closed until that ends; so it steps down
// while a modal dialog blocks it.
bool TfLog::event(QEvent* event) {
  if (event->type() == QEvent::WindowBlocked) SetOnTop(false);
  if (event->type() == QEvent::WindowUnblocked) SetOnTop(true);
  return QWidget::event(event);
}

// Told to the window system in place: setWindowFlags would hide the window and show
// it again, at a place the window manager picks.
void TfLog::SetOnTop(bool onTop) {
  Qt::WindowFlags flags = windowFlags();
  flags.setFlag(Qt::WindowStaysOnTopHint, onTop);
  if (flags == windowFlags()) return;
  overrideWindowFlags(flags);
  if (QWindow* handle = windowHandle()) handle->setFlags(flags);
}

void TfLog::AppendLogLine(const std::string& line) {
  mLog_->appendPlainText(ToQt(line));
  ScrollToEnd();
}

QStringList TfLog::Lines() const {
  if (mLog_->document()->isEmpty()) return {};
  return mLog_->toPlainText().split(QLatin1Char('\n'));
}

void TfLog::ScrollToEnd() {
  QScrollBar* bar = mLog_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

// The window stays made; the next "Display status" shows it again with the full log.
void TfLog::bCloseClick() {
  hide();
  if (index_ >= 0 && static_cast<std::size_t>(index_) < ServerRegistry.size())
    ServerRegistry[index_].LogWindowVisible = false;
}
