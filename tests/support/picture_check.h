#pragma once
// What a screen's picture shows, counted in pixels: a JPEG blurs edges and
// moves colours a little, so a test asks for enough of a colour in an area,
// never for exact bytes.

#include <QColor>
#include <QImage>
#include <QRect>

#include <algorithm>

namespace ecran::test_support {

// The pixels of `picture` inside `area` for which `is(colour)` holds.
template <class Is>
int countPixels(const QImage& picture, const QRect& area, Is is) {
    int n = 0;
    const QRect r = area & picture.rect();
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) n += is(picture.pixelColor(x, y)) ? 1 : 0;
    }
    return n;
}

inline bool isRed(const QColor& p) { return p.red() > 160 && p.green() < 90 && p.blue() < 90; }
inline bool isLit(const QColor& p) { return std::max({p.red(), p.green(), p.blue()}) > 40; }

}  // namespace ecran::test_support
