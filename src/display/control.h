#pragma once
// Position and size of a control in its container's scale unit.
//
// Every container measures its children in its own unit: the window, the
// message area and the bottom line in twips, the ticker band in pixels. A
// control keeps its Left, Top, Width and Height as 32-bit floats in that unit,
// exactly as the handlers set them, and places its widget from them by
// rounding each value on its own. The widget's pixel geometry is therefore
// always derived, never accumulated: a label moved by 2 pixels two hundred
// times is exactly 400 pixels further.

#include <QWidget>

namespace ecran::display {

class Control {
public:
    // unitsPerPixel: 1 inside a pixel container, the twips per pixel inside
    // a twips container.
    Control(QWidget& widget, double unitsPerPixel);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    [[nodiscard]] float Left() const noexcept { return left_; }
    [[nodiscard]] float Top() const noexcept { return top_; }
    [[nodiscard]] float Width() const noexcept { return width_; }
    [[nodiscard]] float Height() const noexcept { return height_; }

    void setLeft(float left);
    void setTop(float top);
    void setWidth(float width);
    void setHeight(float height);
    void place(float left, float top, float width, float height);

    [[nodiscard]] double unitsPerPixel() const noexcept { return unitsPerPixel_; }

    // Pixels from a length in this control's container unit.
    [[nodiscard]] int toPixels(float length) const noexcept;

protected:
    // Auto size: the widget has been given a new pixel size; Width and
    // Height follow it, Left and Top stay.
    void takeSizeFromPixels(int width, int height);

private:
    void apply();

    QWidget& widget_;
    double unitsPerPixel_;
    float left_ = 0;
    float top_ = 0;
    float width_ = 0;
    float height_ = 0;
};

}  // namespace ecran::display
