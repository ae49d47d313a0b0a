#pragma once
// Shared by the desktop tests: the font the windows use, bounded waits that keep Qt's
// events running; the recording front comes from the shared test support.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QFont>
#include <QWidget>

#include "catalogue/ServerUi.h"
#include "tests/support/RecordingUi.h"

// 11-pixel DejaVu Sans: a text height of 13 pixels, like the windows' own font.
QFont TestFont();

// Runs Qt's events until `done` holds or two seconds pass; returns `done()`.
bool WaitFor(const std::function<bool()>& done);

// The named child, failing the test when it is missing.
template <class T>
T* Child(const QWidget& parent, const char* name) {
  T* child = parent.findChild<T*>(QString::fromLatin1(name));
  if (!child) ADD_FAILURE() << "no child named " << name;
  return child;
}
