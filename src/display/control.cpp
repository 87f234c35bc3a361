#include "display/control.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ecran::display {

Control::Control(QWidget& widget, double unitsPerPixel) : widget_(widget), unitsPerPixel_(unitsPerPixel) {}

int Control::toPixels(float length) const noexcept {
    const double pixels = std::nearbyint(static_cast<double>(length) / unitsPerPixel_);
    // Qt geometry is int; keep far-off values inside its range.
    constexpr double kLimit = 1 << 24;
    return static_cast<int>(std::clamp(pixels, -kLimit, kLimit));
}

void Control::setLeft(float left) {
    left_ = left;
    apply();
}

void Control::setTop(float top) {
    top_ = top;
    apply();
}

void Control::setWidth(float width) {
    width_ = width;
    apply();
}

void Control::setHeight(float height) {
    height_ = height;
    apply();
}

void Control::place(float left, float top, float width, float height) {
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    apply();
}

void Control::takeSizeFromPixels(int width, int height) {
    width_ = static_cast<float>(width * unitsPerPixel_);
    height_ = static_cast<float>(height * unitsPerPixel_);
    apply();
}

void Control::apply() {
    const QRect target(toPixels(left_), toPixels(top_), std::max(0, toPixels(width_)), std::max(0, toPixels(height_)));
    if (widget_.geometry() != target) widget_.setGeometry(target);
}

}  // namespace ecran::display
