#include "display/colors.h"

#include <QGuiApplication>

#include <array>
#include <utility>

#include "errors/error.h"

namespace ecran::display {
namespace {

// The desktop scheme's part that stands for each Windows system colour.
constexpr std::array<std::pair<QPalette::ColorGroup, QPalette::ColorRole>, 25> kSystemColors = {{
    {QPalette::Active, QPalette::Button},           // 0 scroll bar
    {QPalette::Active, QPalette::Dark},             // 1 desktop
    {QPalette::Active, QPalette::Highlight},        // 2 active title bar
    {QPalette::Inactive, QPalette::Mid},            // 3 inactive title bar
    {QPalette::Active, QPalette::Window},           // 4 menu bar
    {QPalette::Active, QPalette::Base},             // 5 window background
    {QPalette::Active, QPalette::Shadow},           // 6 window frame
    {QPalette::Active, QPalette::WindowText},       // 7 menu text
    {QPalette::Active, QPalette::WindowText},       // 8 window text
    {QPalette::Active, QPalette::HighlightedText},  // 9 title bar text
    {QPalette::Active, QPalette::Button},           // 10 active border
    {QPalette::Inactive, QPalette::Button},         // 11 inactive border
    {QPalette::Active, QPalette::Mid},              // 12 application workspace
    {QPalette::Active, QPalette::Highlight},        // 13 highlight
    {QPalette::Active, QPalette::HighlightedText},  // 14 highlighted text
    {QPalette::Active, QPalette::Button},           // 15 button face
    {QPalette::Active, QPalette::Mid},              // 16 button shadow
    {QPalette::Disabled, QPalette::Text},           // 17 grey text
    {QPalette::Active, QPalette::ButtonText},       // 18 button text
    {QPalette::Inactive, QPalette::WindowText},     // 19 inactive title bar text
    {QPalette::Active, QPalette::Light},            // 20 button highlight
    {QPalette::Active, QPalette::Shadow},           // 21 3-D dark shadow
    {QPalette::Active, QPalette::Midlight},         // 22 3-D light
    {QPalette::Active, QPalette::ToolTipText},      // 23 tool tip text
    {QPalette::Active, QPalette::ToolTipBase},      // 24 tool tip background
}};

}  // namespace

QColor colorFromNumber(std::int32_t number, const QPalette& scheme) {
    const auto bits = static_cast<std::uint32_t>(number);
    if ((bits & 0xFF000000u) == 0) {
        return QColor(static_cast<int>(bits & 0xFF), static_cast<int>((bits >> 8) & 0xFF),
                      static_cast<int>((bits >> 16) & 0xFF));
    }
    if ((bits & 0xFF000000u) == 0x80000000u && (bits & 0x00FFFFFFu) < kSystemColors.size()) {
        const auto& [group, role] = kSystemColors[bits & 0x00FFFFFFu];
        return scheme.color(group, role);
    }
    throw errors::Error(errors::kInvalidPropertyValue, errors::kProgramSource, "Invalid property value");
}

QColor colorFromNumber(std::int32_t number) { return colorFromNumber(number, QGuiApplication::palette()); }

}  // namespace ecran::display
