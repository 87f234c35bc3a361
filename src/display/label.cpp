#include "display/label.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPaintEvent>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>
#include <utility>

#include "text/cp1252.h"

namespace ecran::display {
namespace {

// The cache holds the visible part of the label and this much more to its
// right, where the ticker's text comes into sight as it moves left: moving
// 2 pixels a tick, it draws text anew only every 256 ticks and otherwise
// only copies. Nothing ever comes into sight from the left.
constexpr int kCacheMargin = 512;

// A line this long is shaped as it is measured, and its advance taken from
// that shaping: shaping it again to draw it would hold the event loop as
// long again (tens of milliseconds for a datagram's 65,507 characters). A
// shorter line is measured by the font's metrics and shaped only when it
// comes into sight, so that the thousands of short lines a caption can hold
// are never all shaped.
constexpr qsizetype kShapedWhenMeasured = 256;

// Qt keeps a glyph up to this size (in device pixels) as an image and
// copies it; a larger one it fills from its outline at every paint, and a
// run of such glyphs as one outline, which costs far more than its glyphs
// filled one by one (about 0.7 ms against 0.05 ms a glyph at 67 px, and
// more the longer the run).
constexpr qreal kLargestCachedGlyph = 64;

// Draws a run as it stands, or a glyph at a time when its glyphs are filled
// from their outlines. Each glyph keeps its place; only a pixel the ink of
// two neighbours shares (the touching corners of a bold "WW") blends the
// two coverages one after the other instead of taking their union's, as
// the copied images of smaller glyphs always have.
int drawRun(QPainter& painter, const QPointF& origin, const QGlyphRun& run, qreal ratio) {
    const QList<quint32> glyphs = run.glyphIndexes();
    if (run.rawFont().pixelSize() * ratio <= kLargestCachedGlyph) {
        painter.drawGlyphRun(origin, run);
        return static_cast<int>(glyphs.size());
    }
    const QList<QPointF> positions = run.positions();
    QGlyphRun glyph = run;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        glyph.setRawData(&glyphs[i], &positions[i], 1);
        painter.drawGlyphRun(origin, glyph);
    }
    return static_cast<int>(glyphs.size());
}

// Splits a caption at its line breaks: CR LF, a lone LF or a lone CR.
std::vector<QString> splitLines(const QString& caption) {
    std::vector<QString> lines;
    QString current;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        const QChar c = caption[i];
        if (c == u'\r' || c == u'\n') {
            lines.push_back(current);
            current.clear();
            if (c == u'\r' && i + 1 < caption.size() && caption[i + 1] == u'\n') ++i;
        } else {
            current += c;
        }
    }
    lines.push_back(current);
    return lines;
}

}  // namespace

QString fromCp1252(const std::string& text) {
    QString out;
    out.reserve(static_cast<qsizetype>(text.size()));
    for (char c : text) out += QChar(static_cast<char16_t>(text::toUnicode(static_cast<unsigned char>(c))));
    return out;
}

Label::Label(QWidget* container, double containerUnitsPerPixel)
    : QWidget(container), Control(*this, containerUnitsPerPixel) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    lines_.push_back(QString());
}

void Label::setCaption(std::string caption) {
    caption_ = std::move(caption);
    lines_ = splitLines(fromCp1252(caption_));
    autoSize();
    emit Change();
}

void Label::setLabelFont(const QFont& font) {
    font_ = font;
    autoSize();
}

void Label::setForeColor(const QColor& color) {
    if (color == fore_) return;
    fore_ = color;
    invalidate();
}

void Label::setBackColor(const QColor& color) {
    if (color == back_) return;
    back_ = color;
    invalidate();
}

void Label::setAlignment(Alignment alignment) {
    if (alignment == alignment_) return;
    alignment_ = alignment;
    invalidate();
}

QTextLine Label::shapedLine(size_t index) {
    Line& line = layout_[index];
    if (!line.shaped) {
        // Laid out as a line of static text is: one line, its top-left corner
        // at the origin, so every glyph keeps the position (kerning included)
        // it has in the whole line. Without NoWrap a line wider than the
        // layout's largest width (about 8.4 million pixels: 65,507 "W" in
        // the main message's font) would be broken there.
        line.shaped = std::make_unique<QTextLayout>(lines_[index], font_);
        QTextOption option;
        option.setWrapMode(QTextOption::NoWrap);
        line.shaped->setTextOption(option);
        line.shaped->setCacheEnabled(true);  // keep the glyphs for later paints
        line.shaped->beginLayout();
        QTextLine textLine = line.shaped->createLine();
        if (textLine.isValid()) textLine.setPosition(QPointF(0, 0));
        line.shaped->endLayout();
        ++stats_.linesShaped;
    }
    return line.shaped->lineAt(0);
}

void Label::autoSize() {
    ++stats_.layouts;
    const QFontMetrics metrics(font_);
    lineHeight_ = metrics.height();
    // A glyph's ink may reach past its advance: the widest glyph of the
    // font bounds how far.
    inkMargin_ = metrics.maxWidth();
    layout_.clear();
    layout_.resize(lines_.size());
    int width = 0;
    for (size_t i = 0; i < lines_.size(); ++i) {
        // Both give the same figure: the sum of the glyphs' advances.
        layout_[i].width = lines_[i].size() >= kShapedWhenMeasured ? qRound(shapedLine(i).horizontalAdvance())
                                                                   : metrics.horizontalAdvance(lines_[i]);
        width = std::max(width, layout_[i].width);
    }
    takeSizeFromPixels(width, lineHeight_ * static_cast<int>(lines_.size()));
    invalidate();
}

void Label::invalidate() {
    cache_ = QPixmap();
    cacheArea_ = QRect();
    changed_ = true;
    update();
}

void Label::repaintChanges() {
    if (changed_) repaint();
}

void Label::renderCache(const QRect& area) {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(area.size()) * ratio).toSize();
    if (cache_.size() != pixels) {
        cache_ = QPixmap(pixels);
        cache_.setDevicePixelRatio(ratio);
    }
    cache_.fill(back_);
    cacheArea_ = area;
    stats_.largestCache = stats_.largestCache.expandedTo(pixels);

    QPainter painter(&cache_);
    painter.translate(-area.topLeft());
    painter.setPen(fore_);
    // A line's ink may reach a little above or below its own height.
    const int reach = lineHeight_ / 4;
    const int count = static_cast<int>(layout_.size());
    const int first = std::max(0, (area.top() - reach) / std::max(1, lineHeight_));
    const int last = std::min(count - 1, (area.bottom() + reach) / std::max(1, lineHeight_));
    int linesDrawn = 0;
    int glyphsDrawn = 0;
    for (int i = first; i <= last; ++i) {
        const auto index = static_cast<size_t>(i);
        const int x = alignment_ == Alignment::Centre ? (width() - layout_[index].width) / 2 : 0;
        const int y = lineHeight_ * i;
        if (lines_[index].isEmpty() || y + lineHeight_ + reach <= area.top() || y - reach > area.bottom()) continue;
        // The characters whose glyphs can reach the area, one more each side.
        const QTextLine textLine = shapedLine(index);
        const int from = std::max(0, textLine.xToCursor(area.left() - x - inkMargin_) - 1);
        const int to = std::min(static_cast<int>(lines_[index].size()),
                                textLine.xToCursor(area.right() + 1 - x + inkMargin_) + 1);
        if (from >= to) continue;
        for (const QGlyphRun& run : textLine.glyphRuns(from, to - from))
            glyphsDrawn += drawRun(painter, QPointF(x, y), run, ratio);
        ++linesDrawn;
    }
    stats_.mostLinesDrawn = std::max(stats_.mostLinesDrawn, linesDrawn);
    stats_.mostGlyphsDrawn = std::max(stats_.mostGlyphsDrawn, glyphsDrawn);
    ++renderCount_;
}

void Label::paintEvent(QPaintEvent* event) {
    ++paintCount_;
    changed_ = false;
    if (width() <= 0 || height() <= 0) return;
    // Only what the containers let through can reach the screen. A label
    // drawn off screen (grabbed while hidden) has no visible region: it draws
    // what it is asked for.
    const QRegion visible = visibleRegion();
    QRegion exposed = event->region();
    if (!visible.isEmpty()) exposed &= visible;
    const QRect wanted = exposed.boundingRect() & rect();
    if (wanted.isEmpty()) return;
    if (cache_.isNull() || !cacheArea_.contains(wanted)) {
        const QRect seen = visible.isEmpty() ? wanted : visible.boundingRect() | wanted;
        renderCache(seen.adjusted(0, 0, kCacheMargin, 0) & rect());
    }
    QPainter painter(this);
    const qreal ratio = devicePixelRatioF();
    painter.drawPixmap(wanted, cache_,
                       QRectF(QPointF(wanted.topLeft() - cacheArea_.topLeft()) * ratio, QSizeF(wanted.size()) * ratio));
}

}  // namespace ecran::display
