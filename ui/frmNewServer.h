#pragma once
// The new-server wizard: four pages (type, shares, options, HTML template) that edit
// a copy of one server definition. The caller decides where to save the result.

#include <string>

#include <QDialog>

#include "catalogue/uFileFormat.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class TMarkupGrid;

// The template a web server shows for each file when the user sets none.
inline constexpr const char* kDefaultTemplate =
    "<h><b>[FILE_DESC]</b></h><br><ul><li>File: [FILE_PATH]</li><li>Size: [FILE_SIZE]</li></ul><br>";

// The text without any CR or LF.
std::string StripLineBreaks(const std::string& text);
// The access part of a folder's share line, as markup and as plain text.
std::string ShareAccessMarkup(const TDirectory& directory);
std::string ShareAccessText(const TDirectory& directory);

class TfNewServer : public QDialog {
  Q_OBJECT

public:
  // New mode starts from an empty definition; edit mode from a copy of `server`.
  TfNewServer(const TServerFile& server, bool editMode, QWidget* parent = nullptr);

  const TServerFile& Server() const { return server_; }

  void UpdateWizardButtons();
  void UpdateSharesPage();
  void RebuildShareList();
  void RemoveShare(int row);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildWindow();
  void BuildTypePage();
  void BuildSharesPage();
  void BuildOptionsPage();
  void BuildAdvancedPage();

  void ShowPage(QWidget* page);
  void EnterPage(QWidget* page);
  void LeaveTypePage();
  void LeaveOptionsPage();
  void AddShareRow(const std::string& markup, const std::string& fallback, const std::string& hint);
  void SyncCounts();
  void ShowTemplateControls(bool shown);

  void bNextClick();
  void bBackClick();
  void bAddFileClick();
  void bAddPathClick();
  void bRemoveSelClick();
  void bDefaultsClick();
  void cbLoginClick(bool checked);
  void gSharesMouseMove(const QPoint& position);

  TServerFile server_;
  bool editMode_ = false;

  QStackedWidget* pcPages_ = nullptr;
  QWidget* tsType_ = nullptr;
  QWidget* tsShares_ = nullptr;
  QWidget* tsOptions_ = nullptr;
  QWidget* tsAdvanced_ = nullptr;
  QRadioButton* rbFTP_ = nullptr;
  QRadioButton* rbWeb_ = nullptr;
  QRadioButton* rbCustom_ = nullptr;
  TMarkupGrid* gShares_ = nullptr;
  QPushButton* bAddFile_ = nullptr;
  QPushButton* bAddPath_ = nullptr;
  QPushButton* bRemoveSel_ = nullptr;
  QPushButton* bAddFile2_ = nullptr;
  QPushButton* bAddPath2_ = nullptr;
  QLineEdit* eDescription_ = nullptr;
  QLineEdit* ePort_ = nullptr;
  QCheckBox* cbMultiple_ = nullptr;
  QCheckBox* cbTray_ = nullptr;
  QCheckBox* cbRequireTls_ = nullptr;
  QCheckBox* cbLogin_ = nullptr;
  QGroupBox* gbLogin_ = nullptr;
  QLineEdit* eUsername_ = nullptr;
  QLineEdit* ePassword_ = nullptr;
  QCheckBox* cbShow_ = nullptr;
  QPlainTextEdit* mTemplate_ = nullptr;
  QPushButton* bDefaults_ = nullptr;
  QLabel* lNote_ = nullptr;
  QPushButton* bBack_ = nullptr;
  QPushButton* bNext_ = nullptr;
  QPushButton* bCancel_ = nullptr;
};

// Runs the wizard modally. True after Finish, with `server` replaced by the result;
// false, and `server` untouched, when cancelled.
bool RunServerWizard(TServerFile& server, bool editMode, QWidget* parent = nullptr);
