// The windows of interface files are plain widgets, not dialogs, and Qt gives the keys of a
// dialog (Return for the default button, Escape for Cancel) to dialogs alone: without these,
// a keyboard user could not save the preferences or end a session from the keyboard's usual
// keys.
#pragma once

class QAbstractButton;
class QWidget;

namespace tvl::bundle {

// Return and Enter in window press the push button that has the focus, else the window's
// visible, enabled default push button; Escape presses cancel when one is given. Once per
// window: a second call would make the keys ambiguous, and Qt then fires neither.
void giveDialogKeys(QWidget* window, QAbstractButton* cancel = nullptr);

}  // namespace tvl::bundle
