#include "display/label.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <utility>

#include "text/cp1252.h"

namespace ecran::display {
namespace {

// A caption is drawn once into a pixmap and then only copied, so the ticker's
// steps and the main message's repaints never lay text out again. Captions
// larger than this (a datagram can carry 65,507 characters) are drawn
// straight from their laid-out lines instead, clipped to what is exposed.
constexpr qint64 kMaxCachedPixels = 8192LL * 2048LL;

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

void Label::autoSize() {
    const QFontMetrics metrics(font_);
    staticLines_.clear();
    lineWidths_.clear();
    int width = 0;
    for (const QString& line : lines_) {
        const int w = metrics.horizontalAdvance(line);
        lineWidths_.push_back(w);
        width = std::max(width, w);
        QStaticText st(line);
        st.setTextFormat(Qt::PlainText);
        st.prepare(QTransform(), font_);
        staticLines_.push_back(std::move(st));
    }
    const int height = metrics.height() * static_cast<int>(lines_.size());
    takeSizeFromPixels(width, height);
    invalidate();
}

void Label::invalidate() {
    cacheValid_ = false;
    cache_ = QPixmap();
    update();
}

void Label::drawCaption(QPainter& painter) const {
    const QFontMetrics metrics(font_);
    painter.setFont(font_);
    painter.setPen(fore_);
    for (size_t i = 0; i < staticLines_.size(); ++i) {
        const int x = alignment_ == Alignment::Centre ? (width() - lineWidths_[i]) / 2 : 0;
        const int y = metrics.height() * static_cast<int>(i);
        if (y > painter.clipBoundingRect().bottom() + metrics.height() && painter.hasClipping()) break;
        painter.drawStaticText(x, y, staticLines_[i]);
    }
}

void Label::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const qint64 area = static_cast<qint64>(width()) * height();
    if (area <= 0) return;
    if (area > kMaxCachedPixels) {
        painter.fillRect(event->rect(), back_);
        painter.setClipRect(event->rect());
        drawCaption(painter);
        return;
    }
    if (!cacheValid_) {
        const qreal ratio = devicePixelRatioF();
        cache_ = QPixmap(size() * ratio);
        cache_.setDevicePixelRatio(ratio);
        cache_.fill(back_);
        QPainter cachePainter(&cache_);
        drawCaption(cachePainter);
        cacheValid_ = true;
        ++renderCount_;
    }
    painter.drawPixmap(event->rect(), cache_, QRectF(event->rect().topLeft() * devicePixelRatioF(),
                                                    event->rect().size() * devicePixelRatioF()));
}

}  // namespace ecran::display
