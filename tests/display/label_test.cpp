// The labels draw what the screen can show of a caption, not the caption: a
// caption far wider or taller than the screen is laid out once, cached only
// around its visible part, and its lines and glyphs out of sight are never
// drawn. What is drawn is the same as before, pixel for pixel.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QStaticText>

#include <string>
#include <vector>

#include "display/form1.h"
#include "display/label.h"

namespace {

using ecran::display::Form1;
using ecran::display::Label;

const std::string kMarker = "\xFF";  // the command marker

// Kerning pairs, a tab, a soft hyphen, an undefined byte, trailing blanks:
// what a line's advance could count differently when taken from its shaping.
std::string mixedLine(int repeats) {
    std::string text;
    for (int i = 0; i < repeats; ++i) text += "AV To Ta\t\xAD\x81 \x80\x89 ";
    return text + "  ";
}

std::string manyLines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i ? "\r\n" : "") + std::string("ligne ") + std::to_string(i);
    return text;
}

struct CaptionRow {
    const char* name;
    std::string message;
    bool ticker;    // the message sets Label2, else Label1
    int glyphLimit; // a screenful of its glyphs, and then some
};

class VisibleDrawing : public testing::TestWithParam<CaptionRow> {};

TEST_P(VisibleDrawing, CachesDrawsAndLaysOutOnlyWhatTheScreenShows) {
    const CaptionRow& row = GetParam();
    Form1 form;
    form.Timer1->stop();
    form.show();
    form.resize(1920, 1080);
    QCoreApplication::processEvents();
    Label* label = row.ticker ? form.Label2 : form.Label1;
    const QWidget* band = label->parentWidget();
    const int layoutsBefore = label->paintStats().layouts;
    const int shapedBefore = label->paintStats().linesShaped;

    form.Affichage(row.message);
    for (int i = 0; i < 20; ++i) {  // a second of ticks: the ticker moves, both labels repaint
        form.Timer1_Timer();
        label->repaint();
    }
    const Label::PaintStats& stats = label->paintStats();

    // The label still takes the size of its whole caption.
    const QFontMetrics metrics(label->labelFont());
    int width = 0;
    for (const QString& line : label->lines()) width = std::max(width, metrics.horizontalAdvance(line));
    EXPECT_EQ(label->size(), QSize(width, metrics.height() * static_cast<int>(label->lines().size())));
    ASSERT_TRUE(label->visibleRegion().boundingRect().width() > 0);

    EXPECT_EQ(stats.layouts - layoutsBefore, 1);
    EXPECT_GT(label->renderCount(), 0);
    EXPECT_LE(stats.largestCache.width(), 2 * band->width());
    EXPECT_LE(stats.largestCache.height(), band->height());
    const int linesInSight = band->height() / metrics.height() + 3;
    EXPECT_LE(stats.mostLinesDrawn, linesInSight);
    EXPECT_LE(stats.linesShaped - shapedBefore, linesInSight);
    EXPECT_LE(stats.mostGlyphsDrawn, row.glyphLimit);
}

INSTANTIATE_TEST_SUITE_P(
    LongCaptions, VisibleDrawing,
    testing::Values(CaptionRow{"MainOf589W", std::string(589, 'W'), false, 150},
                    CaptionRow{"MainOf500PerMille", std::string(500, '\x89'), false, 150},
                    CaptionRow{"MainOf2100Lines", manyLines(2100), false, 150},
                    CaptionRow{"MainOf65507W", std::string(65507, 'W'), false, 150},
                    CaptionRow{"MainOfMixedLongLine", mixedLine(40), false, 150},
                    CaptionRow{"TickerOf2900W", kMarker + "1" + std::string(2900, 'W'), true, 300}),
    [](const testing::TestParamInfo<CaptionRow>& row) { return std::string(row.param.name); });

// The caption drawn the straightforward way: each whole line at once, at its
// place in the label, on the label's background.
QImage drawnWhole(const Label& label) {
    QImage image(label.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(label.backColor());
    QPainter painter(&image);
    painter.setFont(label.labelFont());
    painter.setPen(label.foreColor());
    const QFontMetrics metrics(label.labelFont());
    int y = 0;
    for (const QString& line : label.lines()) {
        QStaticText text(line);
        text.setTextFormat(Qt::PlainText);
        const int x = label.alignment() == Label::Alignment::Centre ? (label.width() - metrics.horizontalAdvance(line)) / 2 : 0;
        painter.drawStaticText(x, y, text);
        y += metrics.height();
    }
    return image;
}

struct PixelRow {
    const char* name;
    std::string caption;
    qreal points;
    QFont::Weight weight;
    Label::Alignment alignment;
};

class SamePixels : public testing::TestWithParam<PixelRow> {};

TEST_P(SamePixels, AsTheWholeCaptionDrawnAtOnce) {
    const PixelRow& row = GetParam();
    QWidget screen;
    screen.resize(7000, 1200);
    auto* label = new Label(&screen, 1.0);
    QFont font(QStringLiteral("Trebuchet MS"));
    font.setPointSizeF(row.points);
    font.setWeight(row.weight);
    label->setLabelFont(font);
    label->setForeColor(QColor(224, 224, 224));
    label->setBackColor(Qt::black);
    label->setAlignment(row.alignment);
    label->place(10, 5, 0, 0);
    label->setCaption(row.caption);
    screen.show();
    QCoreApplication::processEvents();
    ASSERT_LE(label->width(), screen.width());

    const QImage shown = label->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage expected = drawnWhole(*label);
    ASSERT_EQ(shown.size(), expected.size());
    QImage blank(expected.size(), expected.format());
    blank.fill(label->backColor());
    ASSERT_NE(expected, blank) << "no glyph drawn at all: nothing to compare";
    int differing = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x) differing += shown.pixel(x, y) != expected.pixel(x, y);
    EXPECT_EQ(differing, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Captions, SamePixels,
    testing::Values(PixelRow{"TickerLine", "Prochain d\xE9part 17:45 \x80 \x89 \x93quai\x94 ", 50.25, QFont::Normal,
                             Label::Alignment::Left},
                    PixelRow{"LongTickerLine", std::string(60, 'W') + " fin", 50.25, QFont::Normal,
                             Label::Alignment::Left},
                    PixelRow{"CentredLines", "D\xE9marrage\r\nSalle 3\nR\xE9union \xE0 14 h\rfin", 99.75, QFont::Bold,
                             Label::Alignment::Centre},
                    PixelRow{"SmallLongLine", std::string(400, 'i') + "W", 12, QFont::Normal, Label::Alignment::Centre},
                    PixelRow{"SmallMixedLine", "AV To Ta \x93q\x94 " + std::string(300, 'W') + " fi \x80", 12,
                             QFont::Bold, Label::Alignment::Left}),
    [](const testing::TestParamInfo<PixelRow>& row) { return std::string(row.param.name); });

}  // namespace
