// Helpers for tests that run Qt's event loop.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

#include "support/Polling.h"

namespace testsupport {

// What a modal alert showed, filled in when it is closed by closeNextAlert.
struct SeenAlert {
  bool shown = false;
  QString text, informativeText;
  QStringList buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Clicks button number `click` (0-based, in the order added) of the next modal message box
// as soon as it is open, recording what it showed.
inline void closeNextAlert(SeenAlert* seen, int click = 0) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [seen, click, timer] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    timer->stop();
    timer->deleteLater();
    seen->shown = true;
    seen->text = box->text();
    seen->informativeText = box->informativeText();
    seen->icon = box->icon();
    // The box lays buttons out by role; the roles follow the order they were added in.
    QList<QAbstractButton*> all = box->buttons();
    std::stable_sort(all.begin(), all.end(), [box](QAbstractButton* a, QAbstractButton* b) {
      return box->buttonRole(a) < box->buttonRole(b);
    });
    seen->buttons.clear();
    for (QAbstractButton* b : all) seen->buttons << b->text();
    if (click < all.size()) all[click]->click();
  });
  timer->start(5);
}

}  // namespace testsupport
