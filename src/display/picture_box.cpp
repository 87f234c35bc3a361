#include "display/picture_box.h"

#include <QPainter>
#include <QPalette>

namespace ecran::display {

PictureBox::PictureBox(QWidget* container, double containerUnitsPerPixel, double scaleUnitsPerPixel, Border border,
                       const QColor& background)
    : QWidget(container),
      Control(*this, containerUnitsPerPixel),
      client_(new QWidget(this)),
      scaleUnitsPerPixel_(scaleUnitsPerPixel),
      border_(border) {
    // The inside is filled by Qt with the background colour, only where it is
    // exposed, so a moving label costs a repaint of the strip it leaves.
    QPalette p = client_->palette();
    p.setColor(QPalette::Window, background);
    client_->setPalette(p);
    client_->setAutoFillBackground(true);
    setAttribute(Qt::WA_OpaquePaintEvent, border_ == Border::Sunken3D);
}

float PictureBox::ScaleWidth() const noexcept {
    return static_cast<float>(client_->width() * scaleUnitsPerPixel_);
}

QColor PictureBox::backColor() const { return client_->palette().color(QPalette::Window); }

void PictureBox::resizeEvent(QResizeEvent*) {
    const int b = borderPixels();
    client_->setGeometry(b, b, qMax(0, width() - 2 * b), qMax(0, height() - 2 * b));
}

void PictureBox::paintEvent(QPaintEvent*) {
    if (border_ != Border::Sunken3D) return;
    // The sunken edge: shadow and dark shadow on the top and left sides,
    // highlight and light on the bottom and right sides.
    QPainter painter(this);
    const QPalette& pal = palette();
    const QRect r = rect();
    painter.setPen(pal.color(QPalette::Mid));
    painter.drawLine(r.left(), r.top(), r.right() - 1, r.top());
    painter.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
    painter.setPen(pal.color(QPalette::Shadow));
    painter.drawLine(r.left() + 1, r.top() + 1, r.right() - 2, r.top() + 1);
    painter.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 2);
    painter.setPen(pal.color(QPalette::Light));
    painter.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    painter.drawLine(r.right(), r.top(), r.right(), r.bottom());
    painter.setPen(pal.color(QPalette::Midlight));
    painter.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    painter.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
}

}  // namespace ecran::display
