#include "platform/ui/FormKeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QWidget>

TFormKeys::TFormKeys(QWidget& window, QPushButton* cancel) : QObject(&window), FWindow(window), FCancel(cancel) {
  window.installEventFilter(this);
}

QPushButton* TFormKeys::ReturnButton() const {
  QWidget* focus = QApplication::focusWidget();
  if (auto* button = qobject_cast<QPushButton*>(focus); button && button->window() == &FWindow)
    return button->isEnabled() ? button : nullptr;
  for (QPushButton* button : FWindow.findChildren<QPushButton*>())
    if (button->window() == &FWindow && button->isDefault() && button->isVisible())
      return button->isEnabled() ? button : nullptr;
  return nullptr;
}

bool TFormKeys::eventFilter(QObject* watched, QEvent* event) {
  if (watched != &FWindow || event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  const bool plain = key->modifiers() == Qt::NoModifier ||
                     (key->modifiers() == Qt::KeypadModifier && key->key() == Qt::Key_Enter);
  if (!plain) return false;
  if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
    if (QPushButton* button = ReturnButton()) button->click();
  } else if (key->key() == Qt::Key_Escape) {
    if (FCancel && FCancel->isEnabled() && FCancel->isVisible()) FCancel->click();
  } else {
    return false;
  }
  key->accept();
  return true;
}
