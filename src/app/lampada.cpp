#include "app/lampada.h"

#include <QPainter>

namespace vtx {

TLampada::TLampada(QWidget* pai) : QWidget(pai) {
  setFixedSize(15, 15);
}

void TLampada::setPreenchimento(const QColor& cor) {
  preenchimento_ = cor;
  repaint();
}

void TLampada::setContorno(const QColor& cor) {
  contorno_ = cor;
  repaint();
}

void TLampada::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(contorno_);
  p.setBrush(preenchimento_);
  p.drawEllipse(QRectF(0.5, 0.5, width() - 1.0, height() - 1.0));
}

}  // namespace vtx
