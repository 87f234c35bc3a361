// The fleet link against a real broker: commands of every topic family take
// the window's road, the state and status follow, and the link survives a
// broker that is missing, restarts, wants TLS or a password.

#include "fleet/fleet_link.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "mqtt_harness.h"
#include "display/form1.h"
#include "errors/report.h"
#include "profile/profile_value.h"
#include "support/picture_check.h"
#include "support/sandbox.h"
#include "text/cp1252.h"

namespace {

using namespace std::chrono_literals;
using ecran::test_support::countPixels;
using ecran::test_support::isLit;
using ecran::test_support::isRed;

using ecran::display::Form1;
using ecran::fleet::FleetConfig;
using ecran::fleet::FleetLink;
using namespace mqtt_test;

const std::vector<std::string> kWatch{"ecran/#", "homeassistant/#"};

// What a peer last heard on this topic, as JSON.
QJsonObject json(const Peer& peer, const std::string& topic = "ecran/s1/state") {
    const auto text = peer.last(topic);
    if (!text) return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(*text)).object();
}

std::string stored() { return ecran::profile::ProfileValue("historique", "infos", "", "QUOLVEtavrin.ini", 1); }

class FleetLinkTest : public testing::Test {
protected:
    void SetUp() override {
        if (mqtt_test::mosquittoProgram().empty()) GTEST_SKIP() << "mosquitto is not installed";
        home_.emplace("ecran-fleet");
        err_ = std::make_unique<StderrCapture>();
        form_ = std::make_unique<Form1>();
        form_->Form_Load();
    }

    // The link's settings for the test's broker; with a login when a user is given.
    FleetConfig config(const std::string& user = {}, const std::string& password = "pw",
                       const std::string& name = "s1") const {
        FleetConfig c;
        if (!user.empty()) c.username = user, c.password = password;
        c.host = "127.0.0.1";
        c.port = static_cast<std::uint16_t>(broker_->port());
        c.broker = broker_->url();
        c.name = name;
        c.groups = {"hall"};
        c.discovery = "homeassistant";
        c.keepalive = 5;
        return c;
    }

    // The test's broker started: a mosquitto with logins (each with this
    // password) and, unless empty, this ACL.
    void startLoginBroker(const std::vector<std::string>& users, const std::string& acl,
                          const std::string& password = "pw") {
        files_ = std::make_unique<Broker>();
        const std::string passwords = (files_->dir() / "passwords").string(), aclFile = (files_->dir() / "acl").string();
        for (const auto& u : users) {
            EXPECT_EQ(mqtt_test::shell("mosquitto_passwd -b " + std::string(u == users[0] ? "-c " : "") + passwords +
                                       " '" + u + "' '" + password + "' >/dev/null 2>&1"), 0);
        }
        std::ofstream(aclFile) << acl;
        broker_ = std::make_unique<Broker>("allow_anonymous false\npassword_file " + passwords + "\n" +
                                           (acl.empty() ? "" : "acl_file " + aclFile + "\n"));
        ASSERT_TRUE(broker_->start()) << broker_->log();
    }

    void startLink(FleetConfig c) {
        link_.reset();
        link_ = std::make_unique<FleetLink>(*form_, std::move(c), "0.2.0");
        link_->start();
    }

    // A broker of this kind, a peer watching it, and the link started (with
    // the settings `tweak` leaves) and online.
    void startOnline(BrokerKind kind = BrokerKind::Mosquitto, const std::function<void(FleetConfig&)>& tweak = {}) {
        broker_ = std::make_unique<Broker>(std::string{}, kind);
        ASSERT_TRUE(broker_->start()) << broker_->log();
        peer_ = std::make_unique<Peer>(broker_->port(), kWatch);
        ASSERT_TRUE(peer_->connected());
        FleetConfig c = config();
        if (tweak) tweak(c);
        startLink(c);
        ASSERT_TRUE(online(*peer_)) << err_->text();
    }

    // Runs the window's loop until `done`; events posted by the network
    // thread are handled as soon as they come, as in the running display.
    static bool waitFor(const std::function<bool()>& done, int ms) {
        QTimer tick;  // wakes the loop for conditions that other threads change
        tick.start(5);
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > ms) return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return true;
    }
    // Waits until `peer` has heard the screen `name` say it is online.
    bool online(const Peer& peer, int ms = 10000, const std::string& name = "s1") const {
        return waitFor([&] { return peer.last("ecran/" + name + "/status") == "online"; }, ms);
    }
    // Whether the display has said `part` on stderr; `said` waits up to `ms` for it.
    bool saidAlready(const std::string& part) const { return err_->text().find(part) != std::string::npos; }
    bool said(const std::string& part, int ms) const { return waitFor([&] { return saidAlready(part); }, ms); }

    std::optional<ecran::test_support::ConfigHome> home_;
    std::unique_ptr<Broker> files_;  // a folder for a broker's files
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Peer> peer_;
    std::unique_ptr<StderrCapture> err_;
    std::unique_ptr<Form1> form_;
    std::unique_ptr<FleetLink> link_;  // goes first, while its window lives
};

TEST_F(FleetLinkTest, CommandsOfEveryFamilyTakeTheWindowsRoadAndTheStateFollows) {
    ASSERT_NO_FATAL_FAILURE(startOnline());
    QSignalSpy applied(form_.get(), &Form1::messageApplied);

    struct Row {
        std::string topic, payload;
        bool taken;           // shown and stored; else refused and nothing changes
        std::string label1, label2;
        std::int32_t colour;
        const char* rgb;      // in the state
        std::string said;     // on stderr
    };
    const Row rows[] = {
        {"ecran/s1/text", "R\xC3\xA9union \xE4\xB8\xAD", true, "R\xE9union ?", "Initialisation de l Ecran en cours", 0,
         "#000000", "ecran/s1/text: Windows-1252 has no U+4E2D"},
        {"ecran/group/hall/ticker", "D\xC3\xA9part 17:45", true, "R\xE9union ?", "D\xE9part 17:45", 0, "#000000", ""},
        {"ecran/all/color", "steelblue", true, "R\xE9union ?", "D\xE9part 17:45", 0xB48246, "#4682B4", ""},
        {"ecran/s1/message", "\xFF" "2255", true, "R\xE9union ?", "D\xE9part 17:45", 255, "#FF0000", ""},
        {"ecran/all/message", "Caf\xE9", true, "Caf\xE9", "D\xE9part 17:45", 255, "#FF0000", ""},
        {"ecran/group/hall/text", "Quai 2", true, "Quai 2", "D\xE9part 17:45", 255, "#FF0000", ""},
        {"ecran/s1/color", "rde", false, "Quai 2", "D\xE9part 17:45", 255, "#FF0000",
         "ecran/s1/color: refused: unknown colour 'rde'"},
        {"ecran/all/text", "ab\xFF", false, "Quai 2", "D\xE9part 17:45", 255, "#FF0000",
         "ecran/all/text: refused: the text is not UTF-8"},
        // Another reason on a topic that already refused one: named too.
        {"ecran/s1/color", std::string(70, 'a'), false, "Quai 2", "D\xE9part 17:45", 255, "#FF0000",
         "ecran/s1/color: refused: 70 bytes are no colour"},
    };
    std::vector<QString> sources;
    for (const auto& r : rows) {
        // Another group's command, published first, never reaches the screen.
        ASSERT_TRUE(peer_->publish("ecran/group/cellar/text", "not for this screen"));
        const std::string before = stored();
        const auto received = link_->commandsReceived();
        ASSERT_TRUE(peer_->publish(r.topic, r.payload, 1, false));
        ASSERT_TRUE(waitFor([&] { return link_->commandsReceived() > received; }, 5000)) << r.topic;
        const QString source = QString::fromStdString("mqtt " + r.topic);
        if (r.taken) sources.push_back(source);
        EXPECT_EQ(form_->Label1->caption(), r.label1) << r.topic;
        EXPECT_EQ(form_->Label2->caption(), r.label2) << r.topic;
        EXPECT_EQ(form_->label1ForeColorNumber(), r.colour) << r.topic;
        if (!r.taken) {
            EXPECT_EQ(stored(), before) << r.topic;
            continue;
        }
        // The store holds the datagram the command stands for.
        const std::string datagram = r.topic.ends_with("/ticker")   ? "\xFF" "1" + r.label2
                                     : r.topic.ends_with("/color")  ? "\xFF" "211829830"
                                     : r.topic.ends_with("/message") ? r.payload
                                                                     : r.label1;
        EXPECT_EQ(stored(), datagram) << r.topic;
        ASSERT_TRUE(waitFor([&] { return json(*peer_).value("source").toString() == source; }, 5000)) << r.topic;
        const auto state = json(*peer_);
        EXPECT_EQ(state.value("text").toString(), QString::fromStdString(ecran::text::toUtf8(r.label1)));
        EXPECT_EQ(state.value("ticker").toString(), QString::fromStdString(ecran::text::toUtf8(r.label2)));
        EXPECT_EQ(state.value("color").toString(), QString::fromLatin1(r.rgb));
        EXPECT_EQ(state.value("version").toString(), "0.2.0");
        EXPECT_TRUE(state.value("updated").toString().endsWith('Z'));
    }
    std::vector<QString> seen;
    for (const auto& call : applied) seen.push_back(call.at(0).toString());
    EXPECT_EQ(seen, sources);
    for (const auto& r : rows) {
        if (!r.said.empty()) {
            EXPECT_TRUE(saidAlready(r.said)) << err_->text();
        }
    }
}

TEST_F(FleetLinkTest, StatusIsOnlineWithDiscoveryAndOfflineAfterACleanStop) {
    ASSERT_NO_FATAL_FAILURE(startOnline());
    // A peer that subscribes later still learns everything: it is retained.
    ASSERT_TRUE(waitFor([&] { return peer_->count("homeassistant/text/s1/ticker/config") > 0; }, 5000));
    Peer late(broker_->port(), kWatch);
    ASSERT_TRUE(waitFor([&] { return late.count("ecran/s1/state") > 0; }, 5000));
    ASSERT_TRUE(waitFor([&] { return late.count("homeassistant/text/s1/message/config") > 0; }, 5000));
    for (const auto& m : late.messages()) EXPECT_TRUE(m.retained) << m.topic;
    EXPECT_EQ(json(late, "homeassistant/text/s1/message/config").value("command_topic").toString(), "ecran/s1/text");
    EXPECT_EQ(json(late).value("source").toString(), "stored");

    link_->stop();
    ASSERT_TRUE(waitFor([&] { return peer_->last("ecran/s1/status") == "offline"; }, 2000));
    emit form_->messageApplied("udp 127.0.0.1:9");  // taken while the window closes: nothing is published
    QTest::qWait(100);
}

// The snapshot on the broker shows the main message in its colour where its
// text is and the ticker band black, and comes before the state naming it.
TEST_F(FleetLinkTest, TheSnapshotShowsTheMessageInItsColourAndTheTickerBandBlack) {
    ASSERT_NO_FATAL_FAILURE(startOnline(BrokerKind::Mosquitto, [](FleetConfig& c) { c.snapshot = 1s; }));
    for (const auto& [topic, payload] :
         {std::pair{"ecran/s1/ticker", ""}, {"ecran/s1/color", "red"}, {"ecran/s1/text", "HHHH"}}) {
        ASSERT_TRUE(peer_->publish(topic, payload));
    }
    ASSERT_TRUE(waitFor([&] {
        const auto s = json(*peer_);
        return s.value("text") == "HHHH" && s.value("snapshot").toString() >= s.value("updated").toString();
    }, 10000)) << peer_->last("ecran/s1/state").value_or("no state");
    const QImage shot =
        QImage::fromData(QByteArray::fromStdString(peer_->last("ecran/s1/snapshot").value_or("")), "JPEG");
    ASSERT_EQ(shot.size(), QSize(480, qRound(480.0 * form_->height() / form_->width())));
    const double k = 480.0 / form_->width();
    const auto scaled = [&](const QWidget* w, int inset) {
        const QRect r(w->mapTo(form_.get(), QPoint()), w->size());
        return QRect((QRectF(r).topLeft() * k).toPoint(), (QSizeF(r.size()) * k).toSize())
            .adjusted(inset, inset, -inset, -inset);
    };
    const QRect text = scaled(form_->Label1, 0) & scaled(form_->Picture2->client(), 0);
    EXPECT_GT(countPixels(shot, text, isRed), text.width() * text.height() / 10) << text.width() << "x" << text.height();
    EXPECT_EQ(countPixels(shot, scaled(form_->Picture1->client(), 2), isLit), 0);
    bool shotFirst = false;  // each state naming a snapshot follows one
    for (const auto& m : peer_->messages()) {
        shotFirst = shotFirst || m.topic == "ecran/s1/snapshot";
        if (m.topic == "ecran/s1/state" && m.payload.find("\"snapshot\"") != std::string::npos) {
            EXPECT_TRUE(shotFirst);
        }
    }
    // Without snapshots, the picture left on the broker is cleared.
    FleetConfig c = config();
    c.snapshot = 0s;
    startLink(c);
    EXPECT_TRUE(waitFor([&] { return peer_->last("ecran/s1/snapshot") == ""; }, 5000));
}

// Commands that arrive together are taken as one batch: each is shown, and
// the store holds the last one that took effect, not a refused one after it.
TEST_F(FleetLinkTest, ABatchStoresItsLastCommandThatTookEffect) {
    ASSERT_NO_FATAL_FAILURE(startOnline());
    const auto received = link_->commandsReceived();
    // The window's loop does not run while these are published: they wait together.
    ASSERT_TRUE(peer_->publish("ecran/s1/text", "un"));
    ASSERT_TRUE(peer_->publish("ecran/s1/ticker", "deux"));
    ASSERT_TRUE(peer_->publish("ecran/s1/color", "no colour"));
    ASSERT_TRUE(waitFor([&] { return link_->commandsReceived() == received + 3; }, 5000));
    EXPECT_EQ(form_->Label1->caption(), "un");
    EXPECT_EQ(form_->Label2->caption(), "deux");
    EXPECT_EQ(stored(), "\xFF" "1deux");
}

TEST_F(FleetLinkTest, StartsWithoutABrokerShowsDatagramsAndConnectsWhenItAppears) {
    broker_ = std::make_unique<Broker>();
    startLink(config());
    QUdpSocket out;
    const auto before = form_->messagesReceived();
    ASSERT_EQ(out.writeDatagram("UDP seul", 8, QHostAddress::LocalHost, form_->boundPort()), 8);
    ASSERT_TRUE(waitFor([&] { return form_->messagesReceived() > before; }, 5000));
    EXPECT_EQ(form_->Label1->caption(), "UDP seul");
    ASSERT_TRUE(said("cannot connect", 5000)) << err_->text();
    EXPECT_TRUE(saidAlready("connecting to the MQTT broker mqtt://127.0.0.1:")) << err_->text();

    ASSERT_TRUE(broker_->start()) << broker_->log();
    peer_ = std::make_unique<Peer>(broker_->port(), kWatch);
    // Back-off: 1, 2, 4 s... the broker is found at the next attempt.
    ASSERT_TRUE(online(*peer_, 12000)) << err_->text();
    // The state follows the status, with what the screen showed meanwhile.
    EXPECT_TRUE(waitFor([&] { return json(*peer_).value("text").toString() == "UDP seul"; }, 5000));
}

TEST_F(FleetLinkTest, ACommandQueuedWhileTheBrokerRestartedArrivesAfterTheReconnect) {
    ASSERT_NO_FATAL_FAILURE(startOnline());
    peer_.reset();
    ASSERT_TRUE(broker_->restart()) << broker_->log();
    ASSERT_TRUE(said("lost the MQTT broker", 5000)) << err_->text();
    // Published at once, before the screen's next attempt: the broker keeps it
    // in the screen's session.
    peer_ = std::make_unique<Peer>(broker_->port(), kWatch);
    ASSERT_TRUE(peer_->publish("ecran/s1/text", "Apr\xC3\xA8s red\xC3\xA9marrage"));
    ASSERT_TRUE(waitFor([&] { return form_->Label1->caption() == "Apr\xE8s red\xE9marrage"; }, 15000)) << err_->text();
    ASSERT_TRUE(online(*peer_, 5000));
}

TEST_F(FleetLinkTest, TlsWithTheRightCaConnectsAndAWrongCaIsReported) {
    files_ = std::make_unique<Broker>();
    const std::string tls = mqtt_test::makeCertificates(files_->dir());
    ASSERT_FALSE(tls.empty()) << "openssl could not make the certificates";
    broker_ = std::make_unique<Broker>(tls);
    ASSERT_TRUE(broker_->start()) << broker_->log();

    const auto tlsConfig = [&](const std::string& ca, const char* name) {
        FleetConfig c = config({}, "pw", name);
        c.tls = true;
        c.ca = ca;
        return c;
    };
    startLink(tlsConfig((files_->dir() / "other.crt").string(), "s1"));
    ASSERT_TRUE(said("TLS handshake failed", 8000)) << err_->text();

    const std::string ca = (files_->dir() / "ca.crt").string();
    startLink(tlsConfig(ca, "s1"));
    Peer peer(broker_->port(), kWatch, PeerOptions{{}, {}, ca});
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(online(peer)) << err_->text();
    ASSERT_TRUE(peer.publish("ecran/all/text", "chiffr\xC3\xA9"));
    ASSERT_TRUE(waitFor([&] { return form_->Label1->caption() == "chiffr\xE9"; }, 5000));

    // No ca key: the system's CAs, which trust the test's CA through SSL_CERT_FILE.
    const ecran::test_support::ScopedEnv trusted("SSL_CERT_FILE", ca.c_str());
    startLink(tlsConfig({}, "s2"));
    EXPECT_TRUE(online(peer, 10000, "s2")) << err_->text();
}

TEST_F(FleetLinkTest, PasswordsAreCheckedAndAWrongOneIsReported) {
    const std::string secret = "s3cret \xC3\xA9";
    ASSERT_NO_FATAL_FAILURE(startLoginBroker({"screen"}, {}, secret));
    startLink(config("screen", "guess"));
    ASSERT_TRUE(said("refused the connection", 8000)) << err_->text();
    EXPECT_TRUE(saidAlready("Not authorized")) << err_->text();
    startLink(config("screen", secret));
    Peer peer(broker_->port(), kWatch, PeerOptions{"screen", secret, {}});
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(online(peer)) << err_->text();
}

// A broker that takes smaller packets than a snapshot or a long state: what
// does not fit is said, naming the topic and the broker's limit.
TEST_F(FleetLinkTest, APublicationLargerThanTheBrokerTakesIsSaid) {
    broker_ = std::make_unique<Broker>("max_packet_size 3000\n");
    ASSERT_TRUE(broker_->start()) << broker_->log();
    startLink(config());
    const std::string limit = " on the MQTT broker " + broker_->url() + ": the broker takes packets of at most 3000 bytes";
    ASSERT_TRUE(said("not published to ecran/s1/snapshot" + limit, 10000)) << err_->text();
    Peer peer(broker_->port(), kWatch);
    ASSERT_TRUE(peer.publish("ecran/s1/ticker", std::string(2900, 't')));
    EXPECT_TRUE(said("not published to ecran/s1/state" + limit, 5000)) << err_->text();
    EXPECT_TRUE(saidAlready("the fleet cannot see this screen's state until it is smaller")) << err_->text();
}

// A flood of commands: at most about ten states a second, and the last one
// always carries the final message.
TEST_F(FleetLinkTest, AFloodPublishesPacedStatesEndingWithTheLastMessage) {
    ASSERT_NO_FATAL_FAILURE(startOnline());
    ASSERT_TRUE(waitFor([&] { return peer_->count("ecran/s1/state") > 0; }, 5000));
    const auto statesBefore = peer_->count("ecran/s1/state");
    QElapsedTimer clock;
    clock.start();
    const int n = 300;
    // Published from another thread while this one runs the window's loop,
    // as commands arrive on a running screen.
    std::thread publisher([&] {
        for (int i = 1; i <= n; ++i) {
            peer_->publish("ecran/s1/text", "flot " + std::to_string(i));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const std::string last = "flot " + std::to_string(n);
    const bool done = waitFor([&] { return json(*peer_).value("text").toString().toStdString() == last; }, 30000);
    publisher.join();
    ASSERT_TRUE(done);
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    (void)waitFor([] { return false; }, 300);  // no state after the final one
    const auto states = peer_->count("ecran/s1/state") - statesBefore;
    EXPECT_LE(static_cast<double>(states), seconds * 10 + 2);
    EXPECT_EQ(json(*peer_).value("text").toString().toStdString(), last);
}

// The same link against each broker: mosquitto (MQTT 5) and aedes (3.1.1,
// to which the display falls back).
class FleetOnEachBroker : public FleetLinkTest, public testing::WithParamInterface<BrokerKind> {
protected:
    void SetUp() override {
        const std::string why = mqtt_test::missing(GetParam());
        if (!why.empty()) GTEST_SKIP() << why;
        // Each row hears every line the display says, not one line a minute.
        ecran::errors::reports() = ecran::errors::ReportLimiter();
        FleetLinkTest::SetUp();
    }
    [[nodiscard]] bool v5() const { return GetParam() == BrokerKind::Mosquitto; }
    // Captions shown while `during` runs, until `last` is shown.
    std::vector<std::string> captionsUntil(const std::function<void()>& during, const std::string& last) {
        std::vector<std::string> shown;
        const auto c = QObject::connect(form_.get(), &Form1::messageApplied,
                                        [&] { shown.push_back(form_->Label1->caption()); });
        during();
        (void)waitFor([&] { return !shown.empty() && shown.back() == last; }, 10000);
        QObject::disconnect(c);
        return shown;
    }
};

// Commands are events: a retained one is ignored (said once, with the way to
// clear it), whether a subscription or, with MQTT 5, a live message brings
// it; what MQTT.js publishes at every QoS and protocol is taken; what was
// queued in the screen's session while it was away arrives in order.
TEST_P(FleetOnEachBroker, RetainedCommandsAreIgnoredAndQueuedOnesArriveInOrder) {
    broker_ = std::make_unique<Broker>(std::string{}, GetParam());
    ASSERT_TRUE(broker_->start()) << broker_->log();
    peer_ = std::make_unique<Peer>(broker_->port(), kWatch);
    ASSERT_TRUE(peer_->publish("ecran/s1/text", "OLD", 1, true, true));
    ASSERT_TRUE(peer_->publish("ecran/all/color", "red", 1, true, true));
    startLink(config());
    ASSERT_TRUE(online(*peer_)) << err_->text();
    ASSERT_TRUE(said("'ecran/all/color'", 5000)) << err_->text();
    EXPECT_NE(form_->Label1->caption(), "OLD");
    EXPECT_TRUE(saidAlready("ecran: MQTT ecran/s1/text: a retained command was ignored")) << err_->text();
    EXPECT_TRUE(saidAlready("clear it with: mosquitto_pub -r -n -t 'ecran/s1/text'")) << err_->text();
    EXPECT_EQ(err_->text().find("speaks only MQTT 3.1.1") != std::string::npos, !v5()) << err_->text();

    const std::string node = mqtt_test::nodeProgram(), script = mqtt_test::interopScript("publish.mjs");
    for (const int version : {4, 5}) {
        if (version == 5 && !v5()) continue;
        for (const int qos : {0, 1, 2}) {
            const std::string text = "MQTT.js v" + std::to_string(version) + " QoS " + std::to_string(qos);
            ASSERT_EQ(mqtt_test::shell(node + " " + script + " " + broker_->url() + " ecran/s1/text '" + text + "' " +
                                       std::to_string(qos) + " " + std::to_string(version)),
                      0);
            EXPECT_TRUE(waitFor([&] { return form_->Label1->caption() == text; }, 5000)) << text;
        }
    }
    if (v5()) {
        const auto shown = captionsUntil(
            [&] {
                ASSERT_TRUE(peer_->publish("ecran/s1/text", "live retained", 1, true, true));
                ASSERT_TRUE(peer_->publish("ecran/s1/text", "live"));
            },
            "live");
        EXPECT_EQ(shown, std::vector<std::string>{"live"});
    }

    link_.reset();
    for (const char* t : {"un", "deux", "trois"}) ASSERT_TRUE(peer_->publish("ecran/s1/text", t));
    const auto shown = captionsUntil([&] { startLink(config()); }, "trois");
    EXPECT_EQ(shown, (std::vector<std::string>{"un", "deux", "trois"})) << err_->text();
}

// With MQTT 5 the broker is told the largest packet the screen takes and
// never sends a larger one; a 3.1.1 broker sends it, and it is refused.
TEST_P(FleetOnEachBroker, APayloadLargerThanAMessageIsNotReadWhereTheBrokerCanHoldItBack) {
    ASSERT_NO_FATAL_FAILURE(startOnline(GetParam()));
    const auto received = link_->commandsReceived();
    ASSERT_TRUE(peer_->publish("ecran/s1/message", std::string(100000, 'x')));
    ASSERT_TRUE(peer_->publish("ecran/s1/message", std::string(ecran::fleet::kMaxPayload, 'y')));
    ASSERT_TRUE(waitFor([&] { return form_->Label1->caption().size() == ecran::fleet::kMaxPayload; }, 10000));
    EXPECT_EQ(link_->commandsReceived() - received, v5() ? 1u : 2u);
}

// A flood of large texts: the commands waiting are bounded by bytes, the
// oldest dropped and the total said; the last one is shown.
TEST_P(FleetOnEachBroker, AFloodOfLargeTextsIsBoundedByBytesAndEndsOnTheLast) {
    ASSERT_NO_FATAL_FAILURE(startOnline(GetParam()));
    const auto received = link_->commandsReceived();
    const int n = 300;
    // The window's loop does not run meanwhile: they all wait for it.
    for (int i = 1; i <= n; ++i) peer_->publish("ecran/s1/text", std::to_string(i) + std::string(60000, 'a'), 1);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string last = std::to_string(n) + std::string(60000, 'a');
    ASSERT_TRUE(waitFor([&] { return form_->Label1->caption() == last; }, 20000));
    EXPECT_LT(link_->commandsReceived() - received, static_cast<std::uint64_t>(n) / 2);
    EXPECT_TRUE(saidAlready(" commands in all, ")) << err_->text();
}

// Two screens with one name: the one whose session was taken says so once
// and tries again about once a minute, instead of fighting every second.
TEST_P(FleetOnEachBroker, TwoScreensWithOneNameAreToldAndBackOff) {
    ASSERT_NO_FATAL_FAILURE(startOnline(GetParam()));
    FleetLink clone(*form_, config(), "0.2.0");
    clone.start();
    ASSERT_TRUE(said("another screen uses the name s1", 25000)) << err_->text();
    EXPECT_TRUE(saidAlready("each screen needs its own [mqtt] name")) << err_->text();
    if (v5()) {
        // Over 8 s, the clone keeps its connection: no more fights.
        const auto connections = [&] {
            const std::string log = broker_->log();
            std::size_t n = 0;
            for (auto at = log.find(" as ecran-s1 "); at != std::string::npos; at = log.find(" as ecran-s1 ", at + 1)) ++n;
            return n;
        };
        const auto before = connections();
        (void)waitFor([] { return false; }, 8000);
        EXPECT_LE(connections() - before, 1u) << broker_->log();
    }
}

INSTANTIATE_TEST_SUITE_P(Brokers, FleetOnEachBroker, testing::Values(BrokerKind::Mosquitto, BrokerKind::Aedes),
                         [](const auto& row) { return std::string(mqtt_test::nameOf(row.param)); });

// A login the ACL does not match: each refused publication is said, naming
// the topic and the reason, and the state lists what was refused, unless the
// refusal is its own (MQTT 5 only says them; mosquitto 2.0 grants the
// subscriptions and holds the messages back).
TEST_F(FleetLinkTest, RefusedSubscriptionsAndPublicationsAreSaid) {
    const std::string acl = "pattern read ecran/%u/+\npattern write ecran/%u/status\npattern write ecran/%u/state\n";
    const struct {
        const char* name;  // logs in as "hall"
        std::vector<std::string> said;
        QStringList listed;  // in the state
    } rows[] = {
        {"s1",
         {"refused the publication to ecran/s1/state: Not authorized (check its ACL for the user hall); the fleet "
          "cannot see this screen's state",
          "refused the publication to ecran/s1/status: Not authorized (check its ACL for the user hall)"},
         {}},
        {"hall",
         {"refused the publication to homeassistant/text/hall/message/config: Not authorized"},
         {"homeassistant/text/hall/message/config", "homeassistant/text/hall/ticker/config",
          "homeassistant/image/hall/snapshot/config", "ecran/hall/snapshot"}},
    };
    ASSERT_NO_FATAL_FAILURE(startLoginBroker({"hall", "watcher"}, acl + "user watcher\ntopic read #\n"));
    Peer watcher(broker_->port(), kWatch, PeerOptions{"watcher", "pw", {}});
    for (const auto& r : rows) {
        err_.reset();  // before the next capture, which restores what it found
        err_ = std::make_unique<StderrCapture>();
        startLink(config("hall", "pw", r.name));
        const std::string state = std::string("ecran/") + r.name + "/state";
        for (const auto& line : r.said) EXPECT_TRUE(said(line, 10000)) << err_->text();
        if (!r.listed.isEmpty()) {
            const auto listed = [&] { return json(watcher, state).value("refused").toVariant().toStringList(); };
            EXPECT_TRUE(waitFor([&] { return listed() == r.listed; }, 5000))
                << watcher.last(state).value_or("no state");
        }
        EXPECT_EQ(watcher.count(state) > 0, !r.listed.isEmpty());
    }
}

// The ACL operators copy: a screen named "hall.1" publishes its discovery
// configs, and cannot write another screen's.
TEST_F(FleetLinkTest, TheDocumentedAclLetsADottedNamePublishItsDiscoveryAndNoOtherScreens) {
    const std::string acl = mqtt_test::documentedAcl();
    ASSERT_NE(acl.find("pattern write"), std::string::npos) << acl;
    ASSERT_NO_FATAL_FAILURE(startLoginBroker({"hall.1", "homeassistant"}, acl));
    Peer ha(broker_->port(), {"homeassistant/#", "ecran/+/state"}, PeerOptions{"homeassistant", "pw", {}});
    ASSERT_TRUE(ha.waitSubscribed());
    startLink(config("hall.1", "pw", "hall.1"));
    // The snapshot's config is the last of the three the screen publishes.
    ASSERT_TRUE(waitFor([&] { return ha.count("homeassistant/image/hall_d1/snapshot/config") > 0; }, 10000))
        << err_->text();
    EXPECT_GT(ha.count("homeassistant/text/hall_d1/message/config"), 0u);
    EXPECT_GT(ha.count("homeassistant/text/hall_d1/ticker/config"), 0u);
    EXPECT_TRUE(saidAlready("discovery on homeassistant/text/hall_d1/+/config")) << err_->text();
    Peer screen(broker_->port(), {}, PeerOptions{"hall.1", "pw", {}});
    ASSERT_TRUE(screen.publish("homeassistant/text/kitchen/message/config", "{}"));
    ASSERT_TRUE(screen.publish("homeassistant/text/hall_u1/message/config", "{}"));
    ASSERT_TRUE(screen.publish("ecran/hall.1/state", "{}"));  // after them, and let through
    ASSERT_TRUE(waitFor([&] { return ha.last("ecran/hall.1/state") == "{}"; }, 5000));
    EXPECT_EQ(ha.count("homeassistant/text/kitchen/message/config"), 0u);
    EXPECT_EQ(ha.count("homeassistant/text/hall_u1/message/config"), 0u);
    EXPECT_FALSE(saidAlready("refused")) << err_->text();
}

}  // namespace
