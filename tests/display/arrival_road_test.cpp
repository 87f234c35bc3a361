// One road for every message: a datagram and a message handed to arrive()
// are shown, stored and announced alike; a refused message is stored but
// announces nothing.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "display/display_sandbox.h"
#include "display/form1.h"
#include "profile/profile_value.h"

namespace {

namespace fs = std::filesystem;
using ecran::display::Form1;

class ArrivalRoad : public ecran::test_support::DisplaySandbox {};

TEST_F(ArrivalRoad, ShowsStoresAndAnnouncesEachMessageWithItsSource) {
    Form1 form;
    form.Form_Load();
    QSignalSpy applied(&form, &Form1::messageApplied);

    struct Row {
        std::string message;
        const char* source;
        std::string label1, label2;
        std::int32_t colour;
        bool announced;
    };
    const Row rows[] = {
        {"Salle 3", "mqtt ecran/all/text", "Salle 3", "Initialisation de l Ecran en cours", 0, true},
        {"\xFF" "1D\xE9part", "mqtt ecran/s1/ticker", "Salle 3", "D\xE9part", 0, true},
        {"\xFF" "2255", "mqtt ecran/group/hall/color", "Salle 3", "D\xE9part", 255, true},
        // Refused by Affichage: nothing changes and nothing is announced, but it is
        // stored, as a refused datagram is.
        {"\xFF" "2-1", "mqtt ecran/s1/message", "Salle 3", "D\xE9part", 255, false},
    };
    for (const auto& r : rows) {
        const auto before = applied.count();
        form.arrive(r.message, QString::fromLatin1(r.source));
        EXPECT_EQ(form.Label1->caption(), r.label1) << r.source;
        EXPECT_EQ(form.Label2->caption(), r.label2) << r.source;
        EXPECT_EQ(form.label1ForeColorNumber(), r.colour) << r.source;
        EXPECT_EQ(stored(), r.message) << r.source;
        ASSERT_EQ(applied.count(), before + (r.announced ? 1 : 0)) << r.source;
        if (r.announced) {
            EXPECT_EQ(applied.last().at(0).toString(), QString::fromLatin1(r.source));
        }
    }

    // A datagram takes the same road and names its sender.
    QUdpSocket out;
    ASSERT_TRUE(out.bind(QHostAddress::LocalHost, 0));
    const auto before = applied.count();
    ASSERT_EQ(out.writeDatagram("Quai 2", 6, QHostAddress::LocalHost, form.boundPort()), 6);
    ASSERT_TRUE(QTest::qWaitFor([&] { return applied.count() > before && form.messagesReceived() == 1; }, 5000));
    EXPECT_EQ(applied.last().at(0).toString(), QStringLiteral("udp 127.0.0.1:%1").arg(out.localPort()));
    EXPECT_EQ(form.Label1->caption(), "Quai 2");
    EXPECT_EQ(stored(), "Quai 2");
}

}  // namespace
