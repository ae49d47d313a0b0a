#pragma once
// The program's image list: eleven 16x16 icons at fixed indices, shared by the server
// grid and every tray icon, painted in code so no picture files ship with the program.

#include <vector>

#include <QIcon>
#include <QImage>

// A list of equally sized pictures addressed by index.
class TImageList {
public:
  TImageList(int width, int height) : width_(width), height_(height) {}

  int Width() const { return width_; }
  int Height() const { return height_; }
  int Count() const { return static_cast<int>(images_.size()); }
  void Add(QImage image) { images_.push_back(std::move(image)); }
  // A null image when `index` is out of range.
  QImage Image(int index) const;
  QIcon Icon(int index) const;

private:
  int width_;
  int height_;
  std::vector<QImage> images_;
};

enum TServerImage {
  kImgStopped = 0,
  kImgRunning = 1,
  kImgFtpType = 2,  // the type icons are kImgFtpType + Type
  kImgWebType = 3,
  kImgVoktType = 4,
  kImgFtpTrayIdle = 5,
  kImgWebTrayIdle = 6,
  kImgFtpTrayBusy = 7,
  kImgWebTrayBusy = 8,
  kImgMainTrayIdle = 9,
  kImgMainTrayRunning = 10,
  kServerImageCount = 11,
};

// Built on first use and kept for the whole run.
const TImageList& ServerImages();
