#pragma once
// A running server's log window: its stored log when shown, then every new line as
// the registry logs it. Made at the first "Display status" of that server and kept,
// hidden or showing, until the server stops; the main window owns it.

#include <string>

#include <QWidget>

class QPlainTextEdit;
class TCaptionBar;

class TfLog : public QWidget {
  Q_OBJECT

public:
  // `index` is the server's registry entry, whose stored log the window shows.
  TfLog(int index, const QString& caption, QWidget* parent = nullptr);

  int Index() const { return index_; }
  void AppendLogLine(const std::string& line);
  // The lines the window shows, oldest first.
  QStringList Lines() const;

protected:
  void showEvent(QShowEvent* event) override;
  bool event(QEvent* event) override;

private:
  void bCloseClick();
  void ScrollToEnd();
  void SetOnTop(bool onTop);

  int index_;
  TCaptionBar* caption_;
  QPlainTextEdit* mLog_;
};
