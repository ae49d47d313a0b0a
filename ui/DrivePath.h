#pragma once
// Text and path conversions at the edge of the desktop front. Definitions hold UTF-8
// bytes and paths in drive form (C:\home\ann); Qt widgets and pickers want QString
// and native paths. The whole Linux tree is the one pseudo-drive C:.

#include <string>

#include <QString>

inline QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string ToStd(const QString& text) { return text.toUtf8().toStdString(); }

// "/home/ann/Music" -> "C:\home\ann\Music". Anything not absolute is left as typed.
QString NativeToDrivePath(const QString& path);
// "C:\home\ann" or "c:/home/ann" -> "/home/ann"; empty for any other drive letter,
// and the text unchanged when it has no drive at all.
QString DriveToNativePath(const QString& path);
