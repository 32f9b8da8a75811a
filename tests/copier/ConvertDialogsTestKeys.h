// Keyboard and picture helpers for the tests of the name conversion dialogs: keys reach a widget as
// the window system would hand them over, and a dialog's picture is saved under the temporary folder.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QWidget>
#include <filesystem>
#include <string>

#include "platform/ui/UiText.h"

namespace convtest {

// Presses and releases one key (with the text it types, if any). As the window system does, the
// widget is first asked whether it takes the key before any shortcut; the key is delivered either
// way, since the dialogs here have no shortcuts of their own.
inline void Key(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                const QString& text = QString()) {
  QKeyEvent shortcutOverride(QEvent::ShortcutOverride, key, modifiers, text);
  QApplication::sendEvent(widget, &shortcutOverride);
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(widget, &release);
}

// Types a Windows-1251 text one character at a time.
inline void Type(QWidget* widget, const std::string& text) {
  for (char c : text) {
    const QString typed = ToQString(std::string(1, c));
    const QChar ch = typed.at(0);
    const int key = ch.isLetterOrNumber() && ch.unicode() < 0x80 ? ch.toUpper().unicode() : 0;
    Key(widget, key, Qt::NoModifier, typed);
  }
}

inline void Enter(QWidget* widget) { Key(widget, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r")); }

// Presses Alt with a letter through the window's shortcuts, as a button's accelerator is reached
// (keys go to the active window), and waits until the button it clicks has acted (a button
// clicked by its key is drawn pressed for a moment first).
inline void Accelerator(QWidget* window, Qt::Key letter) {
  window->activateWindow();
  QApplication::processEvents();
  QTest::keyClick(window, letter, Qt::AltModifier);
  QTest::qWait(300);
}

// Saves the widget's picture as <temp>/<name>.png and returns the path.
inline std::string Screenshot(QWidget& widget, const std::string& name) {
  const auto path = std::filesystem::temp_directory_path() / (name + ".png");
  widget.grab().save(QString::fromStdString(path.string()));
  return path.string();
}

}  // namespace convtest
