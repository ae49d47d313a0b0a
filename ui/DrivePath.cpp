#include "ui/DrivePath.h"

QString NativeToDrivePath(const QString& path) {
  if (!path.startsWith(QLatin1Char('/'))) return path;
  QString drive = QStringLiteral("C:") + path;
  drive.replace(QLatin1Char('/'), QLatin1Char('\\'));
  return drive;
}

QString DriveToNativePath(const QString& path) {
  const bool hasDrive = path.size() >= 2 && path[1] == QLatin1Char(':') && path[0].isLetter();
  if (!hasDrive) return path;
  if (path[0].toUpper() != QLatin1Char('C')) return QString();
  QString native = path.mid(2);
  native.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (!native.startsWith(QLatin1Char('/'))) native.prepend(QLatin1Char('/'));
  return native;
}
