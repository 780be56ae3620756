// A 15 x 15 circular connection lamp with a fill and an outline colour.
#pragma once

#include <QColor>
#include <QWidget>

namespace vtx {

class TLampada : public QWidget {
 public:
  explicit TLampada(QWidget* pai);
  QColor Preenchimento() const { return preenchimento_; }
  void setPreenchimento(const QColor& cor);
  QColor Contorno() const { return contorno_; }
  void setContorno(const QColor& cor);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor preenchimento_{192, 192, 192};
  QColor contorno_{0, 0, 0};
};

}  // namespace vtx
