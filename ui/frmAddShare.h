#pragma once
// The small dialog that asks for one share: a folder with its access rights, or a
// file, each with a description. Paths come back in drive form.

#include <QDialog>

#include "catalogue/uFileFormat.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TfAddShare : public QDialog {
  Q_OBJECT

public:
  // Always opens with the same starting values; nothing of a previous share shows.
  explicit TfAddShare(bool directoryMode, QWidget* parent = nullptr);

  // Valid after the dialog ended with OK.
  const TDirectory& Share() const { return share_; }

  void UpdateOkButton();

protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildWindow();
  void bBrowseClick();
  void bOKClick();

  bool directoryMode_;
  TDirectory share_;

  QLabel* lPath_ = nullptr;
  QLineEdit* ePath_ = nullptr;
  QPushButton* bBrowse_ = nullptr;
  QLineEdit* eDesc_ = nullptr;
  QLabel* lAccess_ = nullptr;
  QCheckBox* cbRead_ = nullptr;
  QCheckBox* cbWrite_ = nullptr;
  QCheckBox* cbRecursive_ = nullptr;
  QPushButton* bOK_ = nullptr;
  QPushButton* bCancel_ = nullptr;
};

// Runs the dialog modally; true, with `share` filled, when it ended with OK. In file
// mode only Path and Description are meaningful.
bool RunShareDialog(bool directoryMode, TDirectory& share, QWidget* parent = nullptr);

// The folder picker: true and `folder` (native path) when the user confirmed one. It
// starts at `initialFolder` (native or drive form) when that names an existing folder.
bool BrowseForFolder(const QString& title, const QString& initialFolder, QString& folder,
                     QWidget* parent = nullptr);
