#pragma once
// A label: a caption drawn in one font and colour on an opaque background,
// sized to its caption (one line for each line break, no wrapping), each line
// left-aligned or centred. It raises Change whenever its caption is set.

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QStaticText>
#include <QWidget>

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

    // How often the caption has been laid out and drawn into the cache
    // (measured by the benchmarks and checked by tests: unchanged text is
    // never laid out again).
    [[nodiscard]] int renderCount() const noexcept { return renderCount_; }

signals:
    void Change();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void autoSize();
    void invalidate();
    void drawCaption(QPainter& painter) const;

    std::string caption_;
    std::vector<QString> lines_;
    std::vector<QStaticText> staticLines_;
    std::vector<int> lineWidths_;
    QFont font_;
    QColor fore_ = Qt::black;
    QColor back_ = Qt::white;
    Alignment alignment_ = Alignment::Left;
    QPixmap cache_;
    bool cacheValid_ = false;
    int renderCount_ = 0;
};

// Windows-1252 text as a QString, with Windows' own mapping of 0x80-0x9F.
[[nodiscard]] QString fromCp1252(const std::string& text);

}  // namespace ecran::display
