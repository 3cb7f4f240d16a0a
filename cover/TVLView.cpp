#include "cover/TVLView.h"

#include <QPainter>

namespace tvl {

TVLView::TVLView(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted each time: no background to clear first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TVLView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kLightGrayColor);
}

}  // namespace tvl
