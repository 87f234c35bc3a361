// The text layer's CSS keywords, checked against Qt's own colour names: the
// window and the readers of colours agree on what "steelblue" is.

#include <gtest/gtest.h>

#include <QColor>
#include <QString>
#include <set>
#include <string>

#include "text/colour_text.h"

namespace {

// Qt 6.4 holds the SVG 1.1 keywords: all of CSS's but rebeccapurple, which came later.
TEST(CssColours, AreThe148KeywordsWithQtsValues) {
    const auto table = ecran::text::cssColours();
    ASSERT_EQ(table.size(), 148u);
    std::set<std::string> ours;
    for (const auto& entry : table) {
        ours.insert(entry.name);
        const QColor qt = QColor::fromString(QString::fromLatin1(entry.name));
        EXPECT_EQ(qt.isValid() ? qt.rgb() & 0xFFFFFFu : 0x663399u, entry.rgb) << entry.name;
    }
    for (const QString& name : QColor::colorNames()) {
        EXPECT_TRUE(name == QLatin1String("transparent") || ours.count(name.toStdString())) << name.toStdString();
    }
}

}  // namespace
