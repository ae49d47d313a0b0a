#include "ui/DrivePath.h"

#include "platform/HostFs.h"

QString NativeToDrivePath(const QString& path) {
  if (!path.startsWith(QLatin1Char('/'))) return path;
  return ToQt(HostFs::FromNative(ToStd(path)));
}

QString DriveToNativePath(const QString& path) {
  const bool hasDrive = path.size() >= 2 && path[1] == QLatin1Char(':') && path[0].isLetter();
  if (!hasDrive) return path;
  std::string native;
  if (!HostFs::ToNative(ToStd(path), native)) return QString();
  return ToQt(native);
}
