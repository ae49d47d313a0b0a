#include "ui/Controls.h"
#include "ui/frmAddShare.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/CaptionBar.h"
#include "ui/DrivePath.h"
#include "ui/Style.h"

namespace {

constexpr int kWidth = 503;
constexpr int kHeight = 125;

}  // namespace

TfAddShare::TfAddShare(bool directoryMode, QWidget* parent)
    : QDialog(parent), directoryMode_(directoryMode) {
  BuildWindow();
}

void TfAddShare::BuildWindow() {
  setObjectName(QStringLiteral("fAddShare"));
  setWindowTitle(QStringLiteral("Add New..."));
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setFixedSize(kWidth, kHeight);
  setFont(WindowFont());

  auto* mover = new TWindowMover(*this);
  auto* caption = new TCaptionBar(QStringLiteral("Add New..."), false, *this);
  caption->setGeometry(0, 0, kWidth, 21);
  mover->Watch(*caption);

  lPath_ = Place<QLabel>(this, "lPath", QStringLiteral("Path:"), QRect(10, 32, 80, 18));
  ePath_ = new QLineEdit(this);
  ePath_->setObjectName(QStringLiteral("ePath"));
  ePath_->setGeometry(92, 30, 318, 20);
  bBrowse_ = Button(this, "bBrowse", QStringLiteral("Browse..."), QRect(416, 28, 77, 23));
  Place<QLabel>(this, "lDesc", QStringLiteral("Description:"), QRect(10, 58, 80, 18));
  eDesc_ = new QLineEdit(QStringLiteral("No Description"), this);
  eDesc_->setObjectName(QStringLiteral("eDesc"));
  eDesc_->setGeometry(92, 56, 318, 20);
  lAccess_ = Place<QLabel>(this, "lAccess", QStringLiteral("Access:"), QRect(10, 94, 80, 18));
  cbRead_ = Place<QCheckBox>(this, "cbRead", QStringLiteral("Read"), QRect(92, 94, 60, 18));
  cbWrite_ = Place<QCheckBox>(this, "cbWrite", QStringLiteral("Write"), QRect(156, 94, 64, 18));
  cbRecursive_ = Place<QCheckBox>(this, "cbRecursive", QStringLiteral("Recursive"), QRect(224, 94, 90, 18));
  cbRead_->setChecked(true);
  bCancel_ = Button(this, "bCancel", QStringLiteral("Cancel"), QRect(335, 92, 75, 23));
  bOK_ = Button(this, "bOK", QStringLiteral("OK"), QRect(418, 92, 75, 23));

  ePath_->installEventFilter(this);
  eDesc_->installEventFilter(this);
  connect(ePath_, &QLineEdit::textChanged, this, &TfAddShare::UpdateOkButton);
  for (QCheckBox* box : {cbRead_, cbWrite_, cbRecursive_})
    connect(box, &QCheckBox::clicked, this, &TfAddShare::UpdateOkButton);
  connect(bBrowse_, &QPushButton::clicked, this, &TfAddShare::bBrowseClick);
  connect(bOK_, &QPushButton::clicked, this, &TfAddShare::bOKClick);
  connect(bCancel_, &QPushButton::clicked, this, &QDialog::reject);

  lPath_->setText(directoryMode_ ? QStringLiteral("Directory:") : QStringLiteral("File:"));
  for (QWidget* access : {static_cast<QWidget*>(lAccess_), static_cast<QWidget*>(cbRead_),
                          static_cast<QWidget*>(cbWrite_), static_cast<QWidget*>(cbRecursive_)})
    access->setVisible(directoryMode_);
  UpdateOkButton();
  ApplyBrushedSteel(*this);
  CentreOnScreen(*this);
}

void TfAddShare::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  UpdateOkButton();
}

void TfAddShare::UpdateOkButton() {
  bOK_->setEnabled(!ePath_->text().isEmpty() && (cbRead_->isChecked() || cbWrite_->isChecked()));
}

bool TfAddShare::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == ePath_ || watched == eDesc_) && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      bOKClick();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfAddShare::bBrowseClick() {
  if (directoryMode_) {
    QString folder;
    if (BrowseForFolder(QStringLiteral("Select Folder..."), ePath_->text(), folder, this))
      ePath_->setText(NativeToDrivePath(folder));
  } else {
    // "*.*" would hide every file without a dot on Linux.
    const QString file = QFileDialog::getOpenFileName(this, QString(), DriveToNativePath(ePath_->text()),
                                                      QStringLiteral("All Files (*)"));
    if (!file.isEmpty()) ePath_->setText(NativeToDrivePath(QDir::toNativeSeparators(file)));
  }
  UpdateOkButton();
}

void TfAddShare::bOKClick() {
  if (!bOK_->isEnabled()) return;
  share_.Path = ToStd(NativeToDrivePath(ePath_->text()));
  share_.Description = ToStd(eDesc_->text());
  share_.AccessR = cbRead_->isChecked();
  share_.AccessW = cbWrite_->isChecked();
  share_.Recursive = cbRecursive_->isChecked();
  accept();
}

bool RunShareDialog(bool directoryMode, TDirectory& share, QWidget* parent) {
  TfAddShare dialog(directoryMode, parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  share = dialog.Share();
  return true;
}

bool BrowseForFolder(const QString& title, const QString& initialFolder, QString& folder, QWidget* parent) {
  const QString native = DriveToNativePath(initialFolder);
  const QString start = !native.isEmpty() && QFileInfo(native).isDir() ? native : QString();
  const QString chosen = QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return false;
  folder = QDir::toNativeSeparators(chosen);
  return true;
}
