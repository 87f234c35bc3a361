#pragma once
// A label: a caption drawn in one font and colour on an opaque background,
// sized to its caption (one line for each line break, no wrapping), each line
// left-aligned or centred. It raises Change whenever its caption is set.
//
// The widget is as large as its whole caption, but its container clips it
// to what the screen shows. The caption is measured once; a line's glyphs
// are shaped once (a long line as it is measured, a short one when it first
// comes into sight); and only the glyphs in sight are drawn, into a cache
// that holds the visible part and a margin for the ticker to move into.
// Glyphs too large for Qt's glyph cache are filled one at a time.

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QTextLayout>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "display/control.h"

namespace ecran::display {

class Label : public QWidget, public Control {
    Q_OBJECT

public:
    enum class Alignment { Left, Centre };

    Label(QWidget* container, double containerUnitsPerPixel);

    // The caption is Windows-1252 text; it is drawn literally ("&" included).
    void setCaption(std::string caption);
    [[nodiscard]] const std::string& caption() const noexcept { return caption_; }

    void setLabelFont(const QFont& font);
    void setForeColor(const QColor& color);
    void setBackColor(const QColor& color);
    void setAlignment(Alignment alignment);
    [[nodiscard]] const QFont& labelFont() const noexcept { return font_; }
    [[nodiscard]] QColor foreColor() const noexcept { return fore_; }
    [[nodiscard]] QColor backColor() const noexcept { return back_; }
    [[nodiscard]] Alignment alignment() const noexcept { return alignment_; }

    // The caption as it reaches the screen, one entry a line.
    [[nodiscard]] const std::vector<QString>& lines() const noexcept { return lines_; }

    // Paints now what changed since the last paint (caption, font, colours,
    // alignment), and nothing when nothing did.
    void repaintChanges();

    // How often text has been drawn into the cache (measured by the
    // benchmarks and checked by tests: unchanged text is never drawn again
    // while what is shown of it stays inside the cache).
    [[nodiscard]] int renderCount() const noexcept { return renderCount_; }
    // How often the label has been painted (from the cache or not).
    [[nodiscard]] int paintCount() const noexcept { return paintCount_; }

    // What drawing has cost so far. A caption can be far larger than the
    // screen (65,507 characters of a datagram, thousands of lines), so the
    // work of a paint must follow the part of the label that can be seen,
    // never the whole caption.
    struct PaintStats {
        int layouts = 0;          // captions (or fonts) measured and laid out
        int linesShaped = 0;      // lines whose glyphs were shaped
        QSize largestCache;       // the largest cache ever held, in pixels
        int mostLinesDrawn = 0;   // the most lines drawn into the cache at once
        int mostGlyphsDrawn = 0;  // the most glyphs drawn into the cache at once
    };
    [[nodiscard]] const PaintStats& paintStats() const noexcept { return stats_; }

signals:
    void Change();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // A line of the caption: its advance, measured when the caption is set
    // (the label's size needs it), and its glyphs, shaped once and kept for
    // every later paint.
    struct Line {
        int width = 0;
        std::unique_ptr<QTextLayout> shaped;
    };

    QTextLine shapedLine(size_t index);
    void autoSize();
    void invalidate();
    // Draws the lines and runs that can reach `area` (label pixels) into a
    // cache that holds that area and nothing more.
    void renderCache(const QRect& area);

    std::string caption_;
    std::vector<QString> lines_;
    std::vector<Line> layout_;
    int lineHeight_ = 0;
    int inkMargin_ = 0;  // how far a glyph's ink may stray outside its advance
    QFont font_;
    QColor fore_ = Qt::black;
    QColor back_ = Qt::white;
    Alignment alignment_ = Alignment::Left;
    QPixmap cache_;
    QRect cacheArea_;  // the part of the label the cache holds, in label pixels
    int renderCount_ = 0;
    int paintCount_ = 0;
    bool changed_ = false;  // changed since its last paint
    PaintStats stats_;
};

// Windows-1252 text as a QString, with Windows' own mapping of 0x80-0x9F.
[[nodiscard]] QString fromCp1252(const std::string& text);

}  // namespace ecran::display
