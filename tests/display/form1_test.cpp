// The window in its design state, the message interpreter, layout upkeep and
// the ticker, on the offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPalette>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <string>

#include "display/colors.h"
#include "display/form1.h"
#include "errors/error.h"

namespace {

using ecran::display::Form1;
using ecran::display::Label;

const std::string M = "\xFF";  // the command marker

QColor buttonFace(const Form1& f) { return f.palette().color(QPalette::Active, QPalette::Button); }

// Shows the window at a client size, as a window manager would size it; the
// resize handling runs as it does on screen, without waiting for real time.
void showAt(Form1& form, int width, int height) {
    form.show();
    form.resize(width, height);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    ASSERT_EQ(form.size(), QSize(width, height));
}

TEST(Form1Design, BandsColoursFontsAndButtonAreInTheirDesignState) {
    Form1 form;
    const double tpp = form.twipsPerPixel();
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(64, 64, 64));

    EXPECT_FLOAT_EQ(form.Picture1->Height(), 1575);
    EXPECT_EQ(form.Picture1->height(), qRound(1575 / tpp));
    EXPECT_EQ(form.Picture1->backColor(), QColor(Qt::black));
    EXPECT_FLOAT_EQ(form.Picture2->Top(), 1575);
    EXPECT_EQ(form.Picture2->backColor(), buttonFace(form));
    EXPECT_FLOAT_EQ(form.Picture3->Height(), 15);
    EXPECT_EQ(form.Picture3->height(), 1);
    EXPECT_EQ(form.Picture3->backColor(), QColor(Qt::black));
    EXPECT_EQ(form.Picture3->borderPixels(), 0);
    EXPECT_EQ(form.Picture1->scaleUnitsPerPixel(), 1.0);
    EXPECT_EQ(form.Picture2->scaleUnitsPerPixel(), tpp);

    EXPECT_EQ(form.Label1->caption(), "D\xE9marrage");
    EXPECT_EQ(form.Label1->lines().front(), QStringLiteral("Démarrage"));
    EXPECT_EQ(form.Label1->labelFont().family(), QStringLiteral("Trebuchet MS"));
    EXPECT_DOUBLE_EQ(form.Label1->labelFont().pointSizeF(), 99.75);
    EXPECT_EQ(form.Label1->labelFont().weight(), QFont::Bold);
    EXPECT_EQ(form.Label1->foreColor(), QColor(Qt::black));
    EXPECT_EQ(form.Label1->backColor(), buttonFace(form));
    EXPECT_EQ(form.Label1->alignment(), Label::Alignment::Centre);

    EXPECT_EQ(form.Label2->caption(), "Initialisation de l Ecran en cours");
    EXPECT_DOUBLE_EQ(form.Label2->labelFont().pointSizeF(), 50.25);
    EXPECT_EQ(form.Label2->labelFont().weight(), QFont::Normal);
    EXPECT_EQ(form.Label2->foreColor(), QColor(224, 224, 224));
    EXPECT_EQ(form.Label2->backColor(), QColor(Qt::black));
    EXPECT_FLOAT_EQ(form.Label2->Left(), static_cast<float>(720 / tpp));
    EXPECT_FLOAT_EQ(form.Label2->Top(), static_cast<float>(120 / tpp));
    EXPECT_EQ(form.Label2->parentWidget(), form.Picture1->client());

    EXPECT_EQ(form.Command1->text(), QStringLiteral("X"));
    EXPECT_EQ(form.Command1->geometry(), QRect(0, 0, qRound(375 / tpp), qRound(375 / tpp)));
    EXPECT_FALSE(form.Command1->isDefault());
    EXPECT_FALSE(form.Command1->autoDefault());

    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 50);
}

TEST(Form1Design, LabelsSizeToTheirCaptionOneLineForEachBreak) {
    Form1 form;
    const float oneLine = form.Label2->Height();
    form.Affichage(M + "1a\r\nb\nc\rd");
    EXPECT_EQ(form.Label2->lines().size(), 4u);
    EXPECT_FLOAT_EQ(form.Label2->Height(), 4 * oneLine);
    form.Affichage(M + "1");
    EXPECT_FLOAT_EQ(form.Label2->Width(), 0);
    form.Affichage("R&D");
    EXPECT_EQ(form.Label1->lines().front(), QStringLiteral("R&D"));  // drawn literally
}

TEST(Form1Design, CloseButtonStaysAboveAndClickableWhenTheMessageCoversIt) {
    Form1 form;
    showAt(form, 600, 400);
    form.Affichage(std::string(60, 'W'));  // far wider than the window
    ASSERT_LT(form.Label1->Left(), 0);
    QWidget* top = form.Picture2->client()->childAt(3, 3);
    EXPECT_EQ(top, form.Command1);
}

// --- the message interpreter ---------------------------------------------

struct AffichageRow {
    const char* name;
    std::string message;
    std::optional<std::string> label1;     // caption expected, if changed
    std::optional<std::string> label2;     // ticker expected, if changed
    std::optional<std::int32_t> color;     // colour number expected, if changed
    std::optional<std::int32_t> errorNumber;
};

class AffichageTable : public testing::TestWithParam<AffichageRow> {};

TEST_P(AffichageTable, ChangesExactlyWhatTheMessageSays) {
    const AffichageRow& row = GetParam();
    Form1 form;
    form.Affichage("before");
    form.Affichage(M + "1ticker");
    form.Affichage(M + "2255");
    ASSERT_EQ(form.label1ForeColorNumber(), 255);

    std::optional<std::int32_t> raised;
    try {
        form.Affichage(row.message);
    } catch (const ecran::errors::Error& e) {
        raised = e.number();
    }
    EXPECT_EQ(raised, row.errorNumber);
    EXPECT_EQ(form.Label1->caption(), row.label1.value_or("before"));
    EXPECT_EQ(form.Label2->caption(), row.label2.value_or("ticker"));
    EXPECT_EQ(form.label1ForeColorNumber(), row.color.value_or(255));
    EXPECT_EQ(form.Label1->foreColor(),
              ecran::display::colorFromNumber(row.color.value_or(255), QApplication::palette()));
}

const std::string kBlankMarker = std::string(" ") + M + "1x";

INSTANTIATE_TEST_SUITE_P(
    Messages, AffichageTable,
    testing::Values(
        AffichageRow{"Empty", "", "", {}, {}, {}},
        AffichageRow{"Plain", "Salle 3", "Salle 3", {}, {}, {}},
        AffichageRow{"MarkerAlone", M, {}, {}, {}, {}},
        AffichageRow{"TickerEmpty", M + "1", {}, "", {}, {}},
        AffichageRow{"TickerText", M + "1Prochain d\xE9part", {}, "Prochain d\xE9part", {}, {}},
        AffichageRow{"ColourEmptyIsBlack", M + "2", {}, {}, 0, {}},
        AffichageRow{"ColourNoNumberIsBlack", M + "2abc", {}, {}, 0, {}},
        AffichageRow{"ColourRed", M + "2255", {}, {}, 255, {}},
        AffichageRow{"ColourHexRed", M + "2&HFF", {}, {}, 255, {}},
        AffichageRow{"ColourLettersAfter", M + "212px", {}, {}, 12, {}},
        AffichageRow{"ColourHalfUp", M + "21.5", {}, {}, 2, {}},
        AffichageRow{"ColourHalfEven", M + "22.5", {}, {}, 2, {}},
        AffichageRow{"ColourSystemButtonFace", M + "2&H8000000F", {}, {}, INT32_MIN + 15, {}},
        AffichageRow{"ColourSystemMenuBar", M + "2&H80000004", {}, {}, INT32_MIN + 4, {}},
        AffichageRow{"ColourRefusedHighByte", M + "2&H01000000", {}, {}, {}, 380},
        AffichageRow{"ColourRefusedNegative", M + "2-1", {}, {}, {}, 380},
        AffichageRow{"ColourRefusedSystem25", M + "2&H80000019", {}, {}, {}, 380},
        AffichageRow{"ColourOverflow", M + "29999999999", {}, {}, {}, 6},
        AffichageRow{"OtherCommandDigit", M + "3x", {}, {}, {}, {}},
        AffichageRow{"OtherCommandLetter", M + "ax", {}, {}, {}, {}},
        AffichageRow{"OtherCommandBlank", M + " 1x", {}, {}, {}, {}},
        AffichageRow{"FullWidthDigitIsNoCommand", M + "\xB9x", {}, {}, {}, {}},
        AffichageRow{"BlankThenMarkerIsPlain", kBlankMarker, kBlankMarker, {}, {}, {}}),
    [](const testing::TestParamInfo<AffichageRow>& row) { return std::string(row.param.name); });

// The window paints itself dark grey through its own palette; a system
// colour still names the desktop's colour, not the window's grey.
TEST(Form1Colours, SystemColoursComeFromTheDesktopSchemeNotTheWindowsGrey) {
    Form1 form;
    const QPalette desktop = QApplication::palette();
    ASSERT_NE(desktop.color(QPalette::Active, QPalette::Window), QColor(64, 64, 64));
    ASSERT_EQ(form.palette().color(QPalette::Active, QPalette::Window), QColor(64, 64, 64));
    form.Affichage(M + "2&H80000004");
    EXPECT_EQ(form.Label1->foreColor(), desktop.color(QPalette::Active, QPalette::Window));
    EXPECT_EQ(form.Label1->backColor(), desktop.color(QPalette::Active, QPalette::Button));
}

// --- layout upkeep ---------------------------------------------------------

TEST(Form1Layout, ResizeFillsDownToTheBottomLineAndRecentresVerticallyOnly) {
    Form1 form;
    showAt(form, 800, 600);
    const double tpp = form.twipsPerPixel();
    EXPECT_FLOAT_EQ(form.Picture3->Top(), static_cast<float>(600 * tpp - 15));
    EXPECT_FLOAT_EQ(form.Picture2->Top() + form.Picture2->Height(), form.Picture3->Top());
    EXPECT_EQ(form.Picture2->geometry().bottom() + 1, form.Picture3->geometry().top());
    for (auto* band : {static_cast<QWidget*>(form.Picture1), static_cast<QWidget*>(form.Picture2),
                       static_cast<QWidget*>(form.Picture3)}) {
        EXPECT_EQ(band->width(), 800);
    }

    form.Affichage("centre");
    const float left = form.Label1->Left();
    showAt(form, 1000, 700);
    EXPECT_FLOAT_EQ(form.Label1->Left(), left);  // left untouched by a resize
    EXPECT_FLOAT_EQ(form.Label1->Top(), (form.Picture2->Height() - form.Label1->Height()) / 2);
    form.Affichage("centre");
    EXPECT_FLOAT_EQ(form.Label1->Left(), (form.Picture2->Width() - form.Label1->Width()) / 2);
}

TEST(Form1Layout, AMessageLargerThanTheAreaOverhangsBothSidesEqually) {
    Form1 form;
    showAt(form, 400, 300);
    form.Affichage(std::string(40, 'M') + "\r\n" + "2\r\n3\r\n4");
    EXPECT_LT(form.Label1->Left(), 0);
    EXPECT_LT(form.Label1->Top(), 0);
    EXPECT_FLOAT_EQ(form.Label1->Left() * 2 + form.Label1->Width(), form.Picture2->Width());
    EXPECT_FLOAT_EQ(form.Label1->Top() * 2 + form.Label1->Height(), form.Picture2->Height());
}

TEST(Form1Layout, AClientAreaTooShortKeepsTheMessageAreaAtHeightZero) {
    Form1 form;
    showAt(form, 300, 50);  // shorter than the ticker band
    EXPECT_FLOAT_EQ(form.Picture2->Height(), 0);
    EXPECT_EQ(form.Picture2->height(), 0);
    EXPECT_FLOAT_EQ(form.Label1->Top(), -form.Label1->Height() / 2);
}

// --- the ticker --------------------------------------------------------------

// A form shown at a client size whose ticker text has a known width and a
// pump that does nothing, so each tick can be driven directly.
struct TickerForm : Form1 {
    explicit TickerForm(int width = 800, int height = 600) {
        Timer1->stop();
        setEventPump([] {});
        showAt(*this, width, height);
    }
    void setTicker(float left, float width) {
        // The tick reads Width as it stands, so set it directly.
        Label2->setLeft(left);
        Label2->setWidth(width);
    }
};

struct WrapRow {
    float left;
    float width;
    float expectedLeft;  // -1: the band's ScaleWidth
};

TEST(Timer1Tick, MovesTwoPixelsAndWrapsWhenTheRightEdgeReachesTheLeftEdge) {
    const float jump = -1;
    const WrapRow rows[] = {
        {-98, 100, jump},  // moves to -100: the sum is 0, so it jumps
        {-96, 100, -98},   // moves to -98: the sum is 2, so it stays
        {10, 100, 8},      //
        {2, 0, jump},      // width 0 jumps whenever its left reaches 0
        {3, 0, 1},         //
        {-500, 100, jump}, // already past the edge (a shorter new text)
    };
    for (const WrapRow& r : rows) {
        TickerForm form;
        form.setTicker(r.left, r.width);
        form.Timer1_Timer();
        const float expected = r.expectedLeft == jump ? form.Picture1->ScaleWidth() : r.expectedLeft;
        EXPECT_FLOAT_EQ(form.Label2->Left(), expected) << "left " << r.left << " width " << r.width;
        EXPECT_FALSE(form.tickBusy());
    }
    TickerForm form;
    EXPECT_FLOAT_EQ(form.Picture1->ScaleWidth(), 800 - 4);  // inside the sunken border
}

TEST(Timer1Tick, ANewTickerTextKeepsThePositionAndAShorterOneJumpsAtTheNextTick) {
    TickerForm form;
    form.Affichage(M + "1" + std::string(80, 'x'));
    form.Label2->setLeft(-form.Label2->Width() + 50);
    const float left = form.Label2->Left();
    form.Affichage(M + "1y");
    EXPECT_FLOAT_EQ(form.Label2->Left(), left);
    ASSERT_LE(form.Label2->Width() + form.Label2->Left() - 2, 0);
    form.Timer1_Timer();
    EXPECT_FLOAT_EQ(form.Label2->Left(), form.Picture1->ScaleWidth());
}

TEST(Timer1Tick, TwoHundredStepsAreExactlyFourHundredPixels) {
    TickerForm form(4000);
    form.Label2->setLeft(1000);
    const int startX = form.Label2->x();
    for (int i = 0; i < 200; ++i) form.Timer1_Timer();
    EXPECT_FLOAT_EQ(form.Label2->Left(), 600);
    EXPECT_EQ(form.Label2->x(), startX - 400);
}

TEST(Timer1Tick, ATickRaisedInsideThePumpDoesNothing) {
    TickerForm form;
    form.Label2->setLeft(300);
    int nested = 0;
    form.setEventPump([&] {
        ++nested;
        if (nested <= 2) form.Timer1_Timer();  // a tick raised while this one pumps
    });
    form.Timer1_Timer();
    EXPECT_EQ(nested, 2);  // both pumps ran, neither nested tick pumped
    EXPECT_FLOAT_EQ(form.Label2->Left(), 298);
    EXPECT_FALSE(form.tickBusy());
    form.setEventPump([] {});
    form.Timer1_Timer();
    EXPECT_FLOAT_EQ(form.Label2->Left(), 296);
}

TEST(Timer1Tick, AClickOnCloseInsideThePumpEndsTheTickWithoutRepainting) {
    TickerForm form;
    int pumps = 0;
    form.setEventPump([&] {
        ++pumps;
        form.Command1->click();
    });
    const int renders = form.Label1->renderCount();
    form.Timer1_Timer();
    EXPECT_TRUE(form.unloaded());
    EXPECT_EQ(pumps, 1);  // the second pump is skipped
    EXPECT_EQ(form.Label1->renderCount(), renders);
    EXPECT_FALSE(form.tickBusy());
}

TEST(Timer1Tick, AWindowDestroyedInsideThePumpIsNotTouchedAgain) {
    auto* form = new TickerForm;
    QPointer<Form1> watch(form);
    form->setEventPump([form] { delete form; });
    form->Timer1_Timer();  // under the address sanitizer any later touch fails
    EXPECT_TRUE(watch.isNull());
}

TEST(Timer1Tick, UnchangedTextIsNeverLaidOutAgain) {
    Form1 form;
    showAt(form, 800, 600);
    const int ticker = form.Label2->renderCount();
    const int message = form.Label1->renderCount();
    const int paints = form.Label1->paintCount();
    form.Timer1->stop();
    for (int i = 0; i < 20; ++i) form.Timer1_Timer();
    EXPECT_EQ(form.Label2->renderCount(), ticker);
    EXPECT_EQ(form.Label1->renderCount(), message);
    EXPECT_EQ(form.Label1->paintCount(), paints);
    form.setEventPump([] {});
    form.Label1->setForeColor(Qt::red);
    form.Timer1_Timer();
    EXPECT_EQ(form.Label1->paintCount(), paints + 1);
}

}  // namespace
