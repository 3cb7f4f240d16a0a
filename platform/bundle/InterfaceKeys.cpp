#include "platform/bundle/InterfaceKeys.h"

#include <QPushButton>
#include <QShortcut>
#include <QWidget>

namespace tvl::bundle {

namespace {

QPushButton* buttonForReturn(QWidget* window) {
  if (auto* focused = qobject_cast<QPushButton*>(window->focusWidget());
      focused && focused->isEnabled())
    return focused;
  for (QPushButton* button : window->findChildren<QPushButton*>())
    if (button->isDefault() && button->isVisible() && button->isEnabled()) return button;
  return nullptr;
}

}  // namespace

void giveDialogKeys(QWidget* window, QAbstractButton* cancel) {
  if (!window) return;
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    // Owned by the window, as Qt's shortcuts are.
    auto* shortcut = new QShortcut(QKeySequence(key), window);
    QObject::connect(shortcut, &QShortcut::activated, window, [window] {
      if (QPushButton* button = buttonForReturn(window)) button->animateClick();
    });
  }
  if (!cancel) return;
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
  QObject::connect(escape, &QShortcut::activated, cancel, [cancel] {
    if (cancel->isVisible() && cancel->isEnabled()) cancel->animateClick();
  });
}

}  // namespace tvl::bundle
