#pragma once
// A picture box: a child window that contains other controls, clips them to
// its inside, measures them in its own scale unit, and may draw the sunken
// three-dimensional border of two pixels.

#include <QColor>
#include <QWidget>

#include "display/control.h"

namespace ecran::display {

class PictureBox : public QWidget, public Control {
    Q_OBJECT

public:
    enum class Border { None, Sunken3D };

    // containerUnitsPerPixel: the unit of the container it sits in;
    // scaleUnitsPerPixel: its own unit, in which its children are measured.
    PictureBox(QWidget* container, double containerUnitsPerPixel, double scaleUnitsPerPixel, Border border,
               const QColor& background);

    // The inside, where children live; positions are relative to it.
    [[nodiscard]] QWidget* client() const noexcept { return client_; }

    // Inner width in its own scale unit.
    [[nodiscard]] float ScaleWidth() const noexcept;
    [[nodiscard]] double scaleUnitsPerPixel() const noexcept { return scaleUnitsPerPixel_; }

    [[nodiscard]] QColor backColor() const;
    [[nodiscard]] int borderPixels() const noexcept { return border_ == Border::Sunken3D ? 2 : 0; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* client_;
    double scaleUnitsPerPixel_;
    Border border_;
};

}  // namespace ecran::display
