// The content of a cover window: a plain light-grey surface.
#pragma once

#include <QColor>
#include <QWidget>

namespace tvl {

// The platform's light grey: two thirds of white.
inline const QColor kLightGrayColor(170, 170, 170);

class TVLView : public QWidget {
 public:
  explicit TVLView(QWidget* parent);

 protected:
  // Fills the whole view, whatever part was asked for. Paints only when the window system
  // asks: asking for another paint from here would repaint the screen without end.
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tvl
