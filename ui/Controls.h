#pragma once
// Making the controls of our windows: each gets the object name the tests and the
// style sheet find it by, and a fixed place where a window is laid out by pixels.

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QWidget>

template <class T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// A control with a text, owned by `parent`.
template <class T>
T* Place(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* widget = Named(new T(text, parent), name);
  widget->setGeometry(geometry);
  return widget;
}

// Enter belongs to the window's own OK rule, so no button takes it by default.
inline QPushButton* Button(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* button = Place<QPushButton>(parent, name, text, geometry);
  button->setAutoDefault(false);
  return button;
}

inline QAction* MenuItem(QMenu* menu, const char* name, const QString& text) {
  return Named(menu->addAction(text), name);
}
