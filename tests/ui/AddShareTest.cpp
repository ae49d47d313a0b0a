#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/DrivePath.h"
#include "ui/frmAddShare.h"

namespace {

class AddShareDialog : public testing::Test {
protected:
  void Open(bool directoryMode) {
    dialog_ = std::make_unique<TfAddShare>(directoryMode);
    dialog_->show();
  }
  template <class T = QWidget>
  T* W(const char* name) {
    return Child<T>(*dialog_, name);
  }
  bool OkEnabled() { return W<QPushButton>("bOK")->isEnabled(); }
  void Enter(const char* edit) { QTest::keyClick(W(edit), Qt::Key_Return); }
  bool Accepted() { return dialog_->isHidden() && dialog_->result() == QDialog::Accepted; }

  std::unique_ptr<TfAddShare> dialog_;
};

TEST_F(AddShareDialog, DirectoryNeedsAPathAndReadOrWrite) {
  Open(true);
  EXPECT_EQ(W<QLabel>("lPath")->text(), "Directory:");
  EXPECT_EQ(W<QLineEdit>("eDesc")->text(), "No Description");
  EXPECT_TRUE(W<QCheckBox>("cbRead")->isChecked());
  EXPECT_TRUE(W("cbRecursive")->isVisible());
  EXPECT_FALSE(OkEnabled());
  Enter("ePath");
  EXPECT_FALSE(Accepted());

  QTest::keyClicks(W("ePath"), "/home/ann/Music");
  EXPECT_TRUE(OkEnabled());
  W<QCheckBox>("cbRead")->click();
  EXPECT_FALSE(OkEnabled());
  Enter("eDesc");
  EXPECT_FALSE(Accepted());
  W<QCheckBox>("cbWrite")->click();
  W<QCheckBox>("cbRecursive")->click();
  EXPECT_TRUE(OkEnabled());

  Enter("eDesc");
  ASSERT_TRUE(Accepted());
  const TDirectory& share = dialog_->Share();
  EXPECT_EQ(share.Path, "C:\\home\\ann\\Music");
  EXPECT_EQ(share.Description, "No Description");
  EXPECT_FALSE(share.AccessR);
  EXPECT_TRUE(share.AccessW);
  EXPECT_TRUE(share.Recursive);
}

TEST_F(AddShareDialog, FileModeHidesAccessAndNeedsOnlyAPath) {
  Open(false);
  EXPECT_EQ(W<QLabel>("lPath")->text(), "File:");
  for (const char* hidden : {"lAccess", "cbRead", "cbWrite", "cbRecursive"})
    EXPECT_FALSE(W(hidden)->isVisible()) << hidden;
  W<QLineEdit>("ePath")->setText("C:\\data\\a.txt");
  W<QLineEdit>("eDesc")->setText("A file");
  Enter("ePath");
  ASSERT_TRUE(Accepted());
  EXPECT_EQ(dialog_->Share().Path, "C:\\data\\a.txt");
  EXPECT_EQ(dialog_->Share().Description, "A file");
}

TEST(DrivePathTest, NativeAndDriveFormsConvert) {
  struct Row {
    const char* native;
    const char* drive;
  };
  const Row rows[] = {{"/home/ann/Music", "C:\\home\\ann\\Music"}, {"/", "C:\\"}, {"/srv/a b/", "C:\\srv\\a b\\"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.native);
    EXPECT_EQ(NativeToDrivePath(row.native), row.drive);
    EXPECT_EQ(DriveToNativePath(row.drive), row.native);
  }
  EXPECT_EQ(NativeToDrivePath("C:\\kept"), "C:\\kept");
  EXPECT_EQ(NativeToDrivePath("relative/dir"), "relative/dir");
  EXPECT_EQ(DriveToNativePath("c:/home"), "/home");
  EXPECT_EQ(DriveToNativePath("C:"), "/");
  EXPECT_EQ(DriveToNativePath("D:\\data"), "");
}

}  // namespace
