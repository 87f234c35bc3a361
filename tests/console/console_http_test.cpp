// The console through HTTP with real parts: a private mosquitto, the built
// ecran-console, real displays on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <cstring>
#include <filesystem>
#include <memory>

#include "console_harness.h"
#include "mqtt_harness.h"
#include "support/picture_check.h"

namespace {

using namespace console_test;
using mqtt_test::Broker;
using mqtt_test::Peer;
using ecran::test_support::countPixels;
using ecran::test_support::isLit;
using ecran::test_support::isRed;

std::string iniFor(int brokerPort) {
    return "[mqtt]\nbroker=mqtt://127.0.0.1:" + std::to_string(brokerPort) + "\n[http]\nlisten=127.0.0.1:0\n";
}

QByteArray bearer(const std::string& token) { return "Bearer " + QByteArray::fromStdString(token); }
Headers withToken(const std::string& token) { return {{"Authorization", bearer(token)}}; }
QByteArray tokenBody(const std::string& token) { return "{\"token\":\"" + QByteArray::fromStdString(token) + "\"}"; }
// "ecran_session=..." from a sign-in's answer.
QByteArray sessionCookie(const Reply& r) {
    const auto it = r.headers.find("set-cookie");
    return it == r.headers.end() ? QByteArray() : it->second.left(it->second.indexOf(';'));
}

// An event stream read as it comes: the events by name, with their data.
class Events {
public:
    Events(const QString& url, const std::string& token) {
        QNetworkRequest r{QUrl(url + "/api/v1/events")};
        r.setRawHeader("Authorization", bearer(token));
        reply_ = manager_.get(r);
        QObject::connect(reply_, &QNetworkReply::readyRead, [this] {
            buffer_ += reply_->readAll();
            for (qsizetype end; (end = buffer_.indexOf("\n\n")) >= 0; buffer_.remove(0, end + 2)) {
                const QByteArray block = buffer_.left(end);
                const auto e = block.indexOf("event: "), d = block.indexOf("data: ");
                if (e >= 0 && d >= 0) {
                    events_.push_back({block.mid(e + 7, block.indexOf('\n', e) - e - 7),
                                       QJsonDocument::fromJson(block.mid(d + 6)).object()});
                }
            }
        });
    }
    ~Events() { reply_->abort(); }
    // An event NAME whose data `match` takes (or any, without `match`).
    bool has(const QByteArray& name, const std::function<bool(const QJsonObject&)>& match = {}) const {
        for (const auto& [n, data] : events_) {
            if (n == name && (!match || match(data))) return true;
        }
        return false;
    }
    [[nodiscard]] bool finished() const { return reply_->isFinished(); }

private:
    QNetworkAccessManager manager_;
    QNetworkReply* reply_ = nullptr;
    QByteArray buffer_;
    std::vector<std::pair<QByteArray, QJsonObject>> events_;
};

// A raw connection that asks for the event stream and never reads it; a
// read of it waits at most `waitSeconds` (0: for ever).
int silentStream(const QString& url, const std::string& token, long waitSeconds = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    const timeval wait{waitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(QUrl(url).port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    const std::string get = "GET /api/v1/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token + "\r\n\r\n";
    (void)::send(fd, get.data(), get.size(), 0);
    return fd;
}

// A private broker and the console joined to it, with the token "desk".
class ConsoleHttp : public testing::Test {
protected:
    // With `locked`, the broker lets anyone in and refuses every publication
    // under ecran/locked/ (MQTT 5 says why).
    explicit ConsoleHttp(bool locked = true)
        : broker_(locked ? "acl_file " + (writeFile(files_.path() / "acl", "topic readwrite ecran/#\ntopic deny ecran/locked/#\n"),
                                          (files_.path() / "acl").string())
                         : std::string()) {}
    void SetUp() override {
        if (mqtt_test::mosquittoProgram().empty()) GTEST_SKIP() << "mosquitto is not installed";
        ASSERT_TRUE(broker_.start()) << broker_.log();
        console_ = std::make_unique<Console>(iniFor(broker_.port()));
        token_ = console_->addToken("desk");
        ASSERT_EQ(token_.size(), 64u);
        ASSERT_TRUE(console_->start()) << console_->stderrText().toStdString();
        url_ = console_->url();
    }
    Reply call(const QByteArray& method, const QString& path, const QByteArray& body = {}, const Headers& headers = {}) {
        return console_->call(method, path, body, headers);
    }
    // The same with the token "desk".
    Reply api(const QByteArray& method, const QString& path, const QByteArray& body = {}) {
        return call(method, path, body, withToken(token_));
    }
    QByteArray signIn(const std::string& token) { return sessionCookie(call("POST", "/api/v1/session", tokenBody(token))); }

    TempDir files_;
    Broker broker_;
    std::unique_ptr<Console> console_;
    std::string token_;
    QString url_;
};

TEST_F(ConsoleHttp, AnswersEveryRouteWithItsStatusAndTheSecurityHeaders) {
    Peer peer(broker_.port(), {});
    ASSERT_TRUE(peer.publish("ecran/lobby/status", "online", 1, true) || true);
    (void)peer.publish("ecran/lobby/state", R"({"text":"Hello","ticker":"","color":"#FFFFFF","groups":["ground"],"snapshot":"2026-03-01T09:45:00.000Z"})");
    ASSERT_TRUE(waitUntil([&] { return api("GET", "/api/v1/screens/lobby").status == 200; }, 5000));
    Events events(url_, token_);
    // lobby's pictures, served (none: 404) with their time: the state's if it names a later one, else arrival.
    const QByteArray picture = jpeg(Qt::blue) + QByteArray(100000, '\0');  // larger than any command
    (void)peer.publish("ecran/hall/status", "online", 1, true, true);
    for (const QByteArray& refused : {QByteArray("GIF89a"), picture.leftJustified((1 << 20) + 1, '\0')}) (void)peer.publish("ecran/hall/snapshot", refused.toStdString());
    const std::pair<QByteArray, const char*> pictures[] = {{jpeg(Qt::red), "2026-03-01T09:45:00.000Z"}, {"", nullptr}, {picture, "now"}};
    const auto served = [&] { const Reply r = api("GET", "/api/v1/screens/lobby/snapshot"); return r.status == 404 ? "" : r.body; };
    QJsonValue at;
    for (const auto& [bytes, when] : pictures) {
        (void)peer.publish("ecran/lobby/snapshot", bytes.toStdString(), 1, true, true);
        EXPECT_TRUE(waitUntil([&, &expected = bytes] { return served() == expected; }, 5000));
        at = api("GET", "/api/v1/screens/lobby").json().value("snapshot")["at"];
        EXPECT_TRUE(!when ? at.isUndefined() : when != std::string("now") ? at == when
                    : qAbs(QDateTime::fromString(at.toString(), Qt::ISODateWithMs).secsTo(QDateTime::currentDateTimeUtc())) < 60) << when;
    }
    const QByteArray etag = api("GET", "/api/v1/screens/lobby/snapshot").headers["etag"];
    EXPECT_TRUE(waitUntil([&] { return events.has("snapshot", [&](const QJsonObject& e) {
        return e.value("name") == "lobby" && e.value("at") == at && e.value("etag").toString().toLatin1() == etag; }); }, 3000));
    const std::string revoked = console_->addToken("gone");
    ASSERT_EQ(console_->run({"token", "revoke", "gone"}), 0);
    const QByteArray cookie = signIn(token_);
    ASSERT_TRUE(cookie.startsWith("ecran_session=")) << cookie.toStdString();
    const QByteArray own = url_.toUtf8(), foreign = "http://elsewhere.example";

    // Who asks: nobody, the token, the revoked one, the cookie alone, from the page, from another origin.
    const Headers None, Token = withToken(token_), Revoked = withToken(revoked), Cookie = {{"Cookie", cookie}},
                  CookieOwn = {{"Cookie", cookie}, {"Origin", own}}, CookieForeign = {{"Cookie", cookie}, {"Origin", foreign}},
                  Held = {{"Authorization", bearer(token_)}, {"If-None-Match", "\"0\", " + etag}};
    // The largest text a screen takes is 65,507 bytes: it is sent to one
    // screen, and one byte more is refused for what it is.
    const auto toLobby = [](const QByteArray& text) { return R"({"to":{"screen":"lobby"},"text":")" + text + "\"}"; };
    const QByteArray longest = toLobby(QByteArray(65507, 'a')), tooLong = toLobby(QByteArray(65508, 'a'));
    const QByteArray text = toLobby("Salle 3");
    const auto plan = [](const QByteArray& fields) { return R"({"to":{"screen":"lobby"},"text":"a",)" + fields + "}"; };
    const auto daily = [&](const QByteArray& repeat) { return plan(R"("start":"2030-01-01T08:00","repeat":)" + repeat); };
    // Each row: what it tries, the method and path, who asks, the status, the body, what the error names.
    struct Row {
        const char* what;
        const char* route;
        const Headers& headers;
        int status;
        QByteArray body = {};
        const char* says = "";
    } rows[] = {
        {"health", "GET /api/v1/health", None, 200},
        {"sign-in", "POST /api/v1/session", None, 204, tokenBody(token_)},
        {"sign-in with a wrong token", "POST /api/v1/session", None, 401, R"({"token":"nope"})"},
        {"sign-in with a revoked token", "POST /api/v1/session", None, 401, tokenBody(revoked)},
        {"sign-in that is not JSON", "POST /api/v1/session", None, 400, "token"},
        {"screens without credentials", "GET /api/v1/screens", None, 401},
        {"screens with a revoked token", "GET /api/v1/screens", Revoked, 401},
        {"screens with a token", "GET /api/v1/screens", Token, 200},
        {"screens with the cookie", "GET /api/v1/screens", Cookie, 200},
        {"one screen", "GET /api/v1/screens/lobby", Token, 200},
        {"a screen that is not there", "GET /api/v1/screens/nobody", Token, 404},
        {"a picture", "GET /api/v1/screens/lobby/snapshot", Cookie, 200},
        {"a picture still the one held", "GET /api/v1/screens/lobby/snapshot", Held, 304},
        {"a picture without credentials", "GET /api/v1/screens/lobby/snapshot", None, 401},
        {"a screen whose pictures (no JPEG, over 1 MiB) were refused", "GET /api/v1/screens/hall/snapshot", Token, 404},
        {"the picture of no screen", "GET /api/v1/screens/nobody/snapshot", Token, 404},
        {"a text by token", "POST /api/v1/messages", Token, 201, text},
        {"a text by cookie from the page", "POST /api/v1/messages", CookieOwn, 201, text},
        {"a text by cookie from another origin", "POST /api/v1/messages", CookieForeign, 403, text},
        {"a text by cookie without origin", "POST /api/v1/messages", Cookie, 403, text},
        {"a message that is not JSON", "POST /api/v1/messages", Token, 400, "text=hello"},
        {"an unknown field", "POST /api/v1/messages", Token, 400, R"({"to":{"all":true},"text":"a","size":3})"},
        {"several kinds", "POST /api/v1/messages", Token, 400, R"({"to":{"all":true},"text":"a","ticker":"b"})"},
        {"no kind", "POST /api/v1/messages", Token, 400, R"({"to":{"all":true}})"},
        {"two targets", "POST /api/v1/messages", Token, 400, R"({"to":{"screen":"a","group":"b"},"text":"a"})"},
        {"a target that is no name", "POST /api/v1/messages", Token, 400, R"({"to":{"group":"a/b"},"text":"a"})"},
        {"a body over 65 KiB", "POST /api/v1/messages", Token, 413, QByteArray(65 * 1024 + 1, ' ')},
        {"a text the broker refuses", "POST /api/v1/messages", Token, 502, R"({"to":{"screen":"locked"},"text":"a"})"},
        {"the longest text", "POST /api/v1/messages", Token, 201, longest},
        {"a colour that is none", "POST /api/v1/messages", Token, 422, R"({"to":{"all":true},"color":"rde"})"},
        {"a text over 65,507 bytes", "POST /api/v1/messages", Token, 422, tooLong},
        {"a text that begins with the command marker", "POST /api/v1/messages", Token, 422, "{\"to\":{\"all\":true},\"text\":\"\xC3\xBF" "1\"}"},
        {"history", "GET /api/v1/messages?limit=2", Token, 200},
        {"history with a wrong limit", "GET /api/v1/messages?limit=0", Token, 400},
        {"the OpenAPI document", "GET /api/v1/openapi.json", Token, 200},
        {"the page", "GET /", None, 200},
        {"an unknown route", "GET /api/v1/nothing", Token, 404},
        {"a wrong method", "DELETE /api/v1/screens", Token, 405},
        {"sign-out from another origin", "DELETE /api/v1/session", CookieForeign, 403},
        {"a schedule", "POST /api/v1/schedules", Token, 201, plan(R"("start":"2030-01-01T08:00")")},
        {"a schedule by cookie from another origin", "POST /api/v1/schedules", CookieForeign, 403, plan(R"("start":"2030-01-01T08:00")")},
        {"the schedules without credentials", "GET /api/v1/schedules", None, 401},
        {"the schedules", "GET /api/v1/schedules", Token, 200},
        {"a schedule that is not an object", "POST /api/v1/schedules", Token, 400, "[1]"},
        {"a schedule to no target", "POST /api/v1/schedules", Token, 400, R"({"to":{"wall":1},"text":"a","start":"2030-01-01T08:00"})", "\"to\""},
        {"a schedule of a colour that is none", "POST /api/v1/schedules", Token, 422, R"({"to":{"all":true},"color":"rde","start":"2030-01-01T08:00"})", "\"color\""},
        {"a start that is no date", "POST /api/v1/schedules", Token, 422, plan(R"("start":"tomorrow")"), "\"start\""},
        {"a start on no day", "POST /api/v1/schedules", Token, 422, plan(R"("start":"2030-02-30T08:00")"), "\"start\""},
        {"no start", "POST /api/v1/schedules", Token, 422, plan(R"("end":"2030-02-01T08:00")"), "\"start\""},
        {"an end before the start", "POST /api/v1/schedules", Token, 422, plan(R"("start":"2030-01-01T08:00","end":"2030-01-01T07:00:00+01:00")"), "\"end\""},
        {"a start past year 9999 in the console's zone", "POST /api/v1/schedules", Token, 422, plan(R"("start":"9999-12-31T23:30:00-12:00")"), "\"start\""},
        {"an end past year 9999 in the console's zone", "POST /api/v1/schedules", Token, 422, plan(R"("start":"2030-01-01T08:00","end":"9999-12-31T23:30:00-12:00")"), "\"end\""},
        {"an end at the start", "POST /api/v1/schedules", Token, 422, plan(R"("start":"2030-01-01T08:00:00Z","end":"2030-01-01T08:00:00Z")"), "\"end\""},
        {"an unknown day", "POST /api/v1/schedules", Token, 422, daily(R"({"days":["mon","lun"],"from":"08:00","until":"09:00"})"), "\"repeat.days\""},
        {"no day", "POST /api/v1/schedules", Token, 422, daily(R"({"days":[],"from":"08:00","until":"09:00"})"), "\"repeat.days\""},
        {"a from that is no time", "POST /api/v1/schedules", Token, 422, daily(R"({"days":["mon"],"from":"8h","until":"09:00"})"), "\"repeat.from\""},
        {"an until past midnight", "POST /api/v1/schedules", Token, 422, daily(R"({"days":["mon"],"from":"08:00","until":"24:00"})"), "\"repeat.until\""},
        {"a repeat without until", "POST /api/v1/schedules", Token, 422, daily(R"({"days":["mon"],"from":"08:00"})"), "\"repeat.until\""},
        {"from and until the same", "POST /api/v1/schedules", Token, 422, daily(R"({"days":["mon"],"from":"08:00","until":"08:00"})"), "\"repeat.until\""},
        {"a repeat that is no object", "POST /api/v1/schedules", Token, 422, daily(R"("daily")"), "\"repeat\""},
        {"a schedule that is not there", "DELETE /api/v1/schedules/99", Token, 404},
        {"a schedule id that is no number", "DELETE /api/v1/schedules/one", Token, 404},
        {"a schedule removed", "DELETE /api/v1/schedules/1", Token, 204},
        {"a schedule removed twice", "DELETE /api/v1/schedules/1", Token, 404},
    };
    for (const auto& row : rows) {
        const QByteArray route(row.route);
        Reply r = call(route.left(route.indexOf(' ')), route.mid(route.indexOf(' ') + 1), row.body, row.headers);
        EXPECT_EQ(r.status, row.status) << row.what << ": " << r.body.left(200).toStdString();
        EXPECT_TRUE(r.headers["content-security-policy"].contains("frame-ancestors 'none'")) << row.what;
        EXPECT_EQ(r.headers["x-content-type-options"], "nosniff") << row.what;
        EXPECT_EQ(r.headers["referrer-policy"], "no-referrer") << row.what;
        if (row.status >= 400) {
            const QJsonValue why = r.json().value("error");
            EXPECT_TRUE(why.isString() && why.toString().contains(QString::fromUtf8(row.says))) << row.what << ": " << r.body.toStdString();
        }
        EXPECT_TRUE(!route.contains("/snapshot") || row.status >= 400 ||  // with its tag; a cache must ask again
                    (r.headers["etag"] == etag && r.headers["cache-control"] == "no-cache" && r.body == (row.status == 200 ? picture : "") &&
                     r.headers["content-type"] == (row.status == 200 ? "image/jpeg" : ""))) << row.what;
    }
    // What was sent or refused by the broker, newest first, by the token's
    // name; what the console refused itself is not there.
    const QJsonArray history = api("GET", "/api/v1/messages").json().value("messages").toArray();
    ASSERT_EQ(history.size(), 4);
    EXPECT_EQ(history[1].toObject().value("result").toString(), "refused");
    EXPECT_EQ(history[0].toObject().value("by").toString(), "desk");
    EXPECT_EQ(history[0].toObject().value("result").toString(), "sent");
    EXPECT_EQ(history[0].toObject().value("to").toObject().value("screen").toString(), "lobby");
    const QString before = QString::number(history[0].toObject().value("id").toInt());
    const auto older = api("GET", "/api/v1/messages?before=" + before).json().value("messages").toArray();
    EXPECT_EQ(older.size(), 3);
    QByteArray tokens;
    EXPECT_EQ(console_->run({"token", "list"}, &tokens), 0);
    EXPECT_TRUE(tokens.startsWith("desk\t20") && !tokens.contains("never")) << "no time of use: " << tokens.toStdString();
    (void)peer.publish("ecran/lobby/status", "", 1, true, true);  // removed, it loses its picture
    EXPECT_TRUE(waitUntil([&] { return served().isEmpty(); }, 5000));
    // Signed out, the cookie opens nothing.
    EXPECT_EQ(call("DELETE", "/api/v1/session", {}, {{"Cookie", cookie}, {"Origin", own}}).status, 204);
    EXPECT_EQ(call("GET", "/api/v1/screens", {}, {{"Cookie", cookie}}).status, 401);
}

TEST_F(ConsoleHttp, WithACertificateServesOnlyHttpsAndMarksTheCookieSecure) {
    TempDir files;
    ASSERT_FALSE(mqtt_test::makeCertificates(files.path()).empty()) << "openssl failed";
    const std::string d = files.path().string();
    Console https(iniFor(broker_.port()) + "cert=" + d + "/server.crt\nkey=" + d + "/server.key\n");
    const std::string token = https.addToken("desk");
    // The client trusts the test's authority, as a browser told of it would.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QString::fromStdString(d + "/ca.crt"));
    QSslConfiguration::setDefaultConfiguration(tls);
    ASSERT_TRUE(https.start()) << https.stderrText().toStdString();
    ASSERT_TRUE(https.url().startsWith("https://127.0.0.1:")) << https.url().toStdString();
    Reply in = https.call("POST", "/api/v1/session", tokenBody(token));
    EXPECT_EQ(in.status, 204);
    EXPECT_TRUE(in.headers["set-cookie"].contains("; Secure")) << in.headers["set-cookie"].toStdString();
    // The page's own origin is the https one.
    EXPECT_EQ(https.call("POST", "/api/v1/messages", R"({"to":{"all":true},"ticker":"x"})",
                         {{"Cookie", sessionCookie(in)}, {"Origin", https.url().toUtf8()}}).status, 201);
    QString plain = https.url();
    EXPECT_EQ(request("GET", plain.replace("https://", "http://") + "/api/v1/health", {}, {}, 5000).status, 0);
}

TEST_F(ConsoleHttp, RefusesSignInsAfterTenFailuresInAMinute) {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(call("POST", "/api/v1/session", R"({"token":"guess"})").status, 401);
    EXPECT_EQ(call("POST", "/api/v1/session", R"({"token":"guess"})").status, 429);
    EXPECT_EQ(call("POST", "/api/v1/session", tokenBody(token_)).status, 429);
    // A token in the header still works: the limit is on guessing through sign-in.
    EXPECT_EQ(api("GET", "/api/v1/screens").status, 200);
}

TEST_F(ConsoleHttp, ARevokedTokenEndsItsSessionsAndStreamsAtOnce) {
    const std::string token = console_->addToken("temp");
    const QByteArray cookie = signIn(token);
    Events events(url_, token);
    ASSERT_TRUE(waitUntil([&] { return events.has("screens"); }, 3000));
    ASSERT_EQ(call("GET", "/api/v1/screens", {}, {{"Cookie", cookie}}).status, 200);
    ASSERT_EQ(console_->run({"token", "revoke", "temp"}), 0);
    EXPECT_EQ(call("GET", "/api/v1/screens", {}, {{"Cookie", cookie}}).status, 401);
    EXPECT_EQ(call("GET", "/api/v1/screens", {}, withToken(token)).status, 401);
    EXPECT_TRUE(waitUntil([&] { return events.finished(); }, 3000)) << "the stream stays open";
}

TEST_F(ConsoleHttp, ClosesAStreamThatDoesNotReadAndCapsTheStreams) {
    std::vector<int> open;
    for (int i = 0; i < 100; ++i) open.push_back(silentStream(url_, token_));
    // The 101st is refused once the console has taken the hundred.
    const auto statusLine = [&] {
        const int fd = silentStream(url_, token_, 2);
        char line[13] = {};
        (void)::recv(fd, line, 12, MSG_WAITALL);
        ::close(fd);
        return std::string(line);
    };
    EXPECT_TRUE(waitUntil([&] { return statusLine() == "HTTP/1.1 503"; }, 10000));
    for (int fd : open) ::close(fd);
    const int silent = silentStream(url_, token_, 5);
    ASSERT_GE(silent, 0);
    // States of 60 KB each: the stream's unread bytes pass 1 MiB quickly.
    Peer peer(broker_.port(), {});
    const std::string big(60000, 'x');
    for (int i = 0; i < 60; ++i) {
        (void)peer.publish("ecran/big" + std::to_string(i) + "/state", "{\"text\":\"" + big + "\"}", 1, true);
    }
    ASSERT_TRUE(waitUntil([&] { return call("GET", "/api/v1/health").json().value("screens").toInt() == 60; }, 10000));
    // The console closed it: reading now ends (after what the kernels held).
    std::size_t got = 0;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::recv(silent, buffer, sizeof buffer, 0)) > 0) got += static_cast<std::size_t>(n);
    EXPECT_TRUE(n == 0 || errno == ECONNRESET) << "still open after " << got << " bytes, " << std::strerror(errno);
    EXPECT_LT(got, 60u * 60000u);
    ::close(silent);

    EXPECT_EQ(call("GET", "/api/v1/health").status, 200);
}

TEST_F(ConsoleHttp, WithoutItsBrokerSaysConnectingAndRecordsWhatCouldNotBeSent) {
    broker_.stop();
    ASSERT_TRUE(waitUntil([&] { return call("GET", "/api/v1/health").status == 503; }, 15000));
    EXPECT_EQ(call("GET", "/api/v1/health").json().value("broker").toString(), "connecting");
    const Reply r = api("POST", "/api/v1/messages", R"({"to":{"all":true},"ticker":"x"})");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.json().value("result").toString(), "no broker");
    ASSERT_TRUE(broker_.start());
    EXPECT_TRUE(waitUntil([&] { return call("GET", "/api/v1/health").status == 200; }, 15000));
}

TEST(ConsoleBroker, AMessageTheBrokerNeverAcknowledgesIsATimeout) {
    // A broker that lets the console in and then never acknowledges a message.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        peers.emplace_back(silent.nextPendingConnection());
        QTcpSocket* s = peers.back().get();
        QObject::connect(s, &QTcpSocket::readyRead, [s] {
            const QByteArray in = s->readAll();
            // CONNECT: an MQTT 5 CONNACK (accepted, no properties).
            if (!in.isEmpty() && (static_cast<unsigned char>(in[0]) >> 4) == 1) s->write(QByteArray("\x20\x03\x00\x00\x00", 5));
        });
    });
    Console console(iniFor(silent.serverPort()));
    const std::string token = console.addToken("desk");
    ASSERT_TRUE(console.start());
    QElapsedTimer t;
    t.start();
    const Reply r = console.call("POST", "/api/v1/messages", R"({"to":{"all":true},"text":"x"})", withToken(token), 20000);
    EXPECT_EQ(r.status, 504);
    EXPECT_EQ(r.json().value("result").toString(), "timeout");
    EXPECT_GE(t.elapsed(), 9500);
}

// Two real screens in one group (their pictures from the tests), and the console watching them.
class ConsoleDisplays : public ConsoleHttp {
protected:
    ConsoleDisplays() : ConsoleHttp(false) {}
    void SetUp() override {
        ConsoleHttp::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        lobby_ = std::make_unique<Display>(broker_.port(), "lobby", "ground", "snapshot=0\n");
        hall_ = std::make_unique<Display>(broker_.port(), "hall", "ground, hall", "snapshot=0\n");
        ASSERT_TRUE(lobby_->start());
        ASSERT_TRUE(hall_->start());
        // Both online, and with their states, which come after the status and carry the groups.
        ASSERT_TRUE(waitUntil([&] {
            const auto list = screens();
            const auto ready = [&](qsizetype k) {
                const auto s = list[k].toObject();
                return s.value("status") == "online" && !s.value("groups").toArray().isEmpty();
            };
            return list.size() == 2 && ready(0) && ready(1);
        }, 15000)) << QJsonDocument(screens()).toJson().toStdString() << console_->stderrText().toStdString();
    }
    QJsonArray screens() { return api("GET", "/api/v1/screens").json().value("screens").toArray(); }

    std::unique_ptr<Display> lobby_, hall_;
};

TEST_F(ConsoleDisplays, AGroupMessageReachesBothScreensAndAStoppedScreenGoesOffline) {
    EXPECT_EQ(screens()[0].toObject().value("name").toString(), "hall");  // sorted by name
    EXPECT_EQ(screens()[0].toObject().value("groups").toArray(), (QJsonArray{"ground", "hall"}));
    Events events(url_, token_);
    ASSERT_TRUE(waitUntil([&] { return events.has("screens"); }, 3000));
    const auto shows = [&](const char* name, const QString& text) {
        return [=, &events] {
            return events.has("screen", [&](const QJsonObject& s) {
                return s.value("name") == name && s.value("state").toObject().value("text") == text;
            });
        };
    };
    QElapsedTimer t;
    t.start();
    const Reply sent = api("POST", "/api/v1/messages", R"({"to":{"group":"ground"},"text":"Réunion salle 3"})");
    ASSERT_EQ(sent.status, 201) << sent.body.toStdString();
    EXPECT_TRUE(waitUntil(shows("lobby", "Réunion salle 3"), 1000));
    EXPECT_TRUE(waitUntil(shows("hall", "Réunion salle 3"), 1000 - static_cast<int>(t.elapsed())));
    EXPECT_TRUE(events.has("message", [](const QJsonObject& e) { return e.value("result") == "sent"; }));

    hall_->stop();
    const auto offline = [](const QJsonObject& s) { return s.value("name") == "hall" && s.value("status") == "offline"; };
    EXPECT_TRUE(waitUntil([&] { return events.has("screen", offline); }, 5000));
}

TEST_F(ConsoleDisplays, AScheduleShowsItsTickerAndPutsBackWhereNoNewerMessageCame) {
    const auto ticker = [&](const char* name) {
        return api("GET", QString("/api/v1/screens/") + name).json().value("state").toObject().value("ticker").toString();
    };
    ASSERT_TRUE(waitUntil([&] { return !ticker("lobby").isEmpty() && !ticker("hall").isEmpty(); }, 5000));
    const QString before = ticker("lobby");
    Events events(url_, token_);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray body = R"({"to":{"group":"ground"},"ticker":"Pause café","start":")" +
                            now.toString(Qt::ISODateWithMs).toUtf8() + R"(","end":")" +
                            now.addSecs(4).toString(Qt::ISODateWithMs).toUtf8() + "\"}";
    const Reply made = api("POST", "/api/v1/schedules", body);
    ASSERT_EQ(made.status, 201) << made.body.toStdString();
    EXPECT_EQ(made.json().value("by").toString(), "desk");
    EXPECT_TRUE(made.json().value("next").toObject().value("end").isString()) << made.body.toStdString();
    EXPECT_TRUE(waitUntil([&] { return ticker("lobby") == "Pause café" && ticker("hall") == "Pause café"; }, 3000));
    ASSERT_EQ(api("POST", "/api/v1/messages", R"({"to":{"screen":"hall"},"ticker":"Plus récent"})").status, 201);
    EXPECT_TRUE(waitUntil([&] { return ticker("lobby") == before; }, 6000)) << ticker("lobby").toStdString();
    EXPECT_EQ(ticker("hall"), "Plus récent");
    const QJsonArray history = api("GET", "/api/v1/messages").json().value("messages").toArray();
    ASSERT_EQ(history.size(), 3);
    EXPECT_EQ(history[0].toObject().value("by").toString(), "schedule 1 (desk), put back");
    EXPECT_EQ(history[0].toObject().value("to").toObject().value("screen").toString(), "lobby");
    EXPECT_EQ(history[2].toObject().value("by").toString(), "schedule 1 (desk)");
    EXPECT_TRUE(api("GET", "/api/v1/schedules").json().value("schedules").toArray()[0].toObject().value("next").isNull());
    EXPECT_TRUE(events.has("schedule", [](const QJsonObject& e) { return e.value("id") == 1; }));
}

// A real screen's own picture, through the console's route: its message in
// its colour across the middle, and the ticker band black.
TEST_F(ConsoleDisplays, AScreensPictureShowsItsMessageInItsColourAndTheTickerBandBlack) {
    Display stage(broker_.port(), "stage", "stage", "snapshot=1\n");
    ASSERT_TRUE(stage.start());
    ASSERT_TRUE(waitUntil([&] { return screens().size() == 3; }, 15000));
    for (const char* what : {R"("ticker":"")", R"("color":"red")", R"("text":"HHHHHHHH")"}) {
        const Reply r = api("POST", "/api/v1/messages", QByteArray(R"({"to":{"screen":"stage"},)") + what + "}");
        ASSERT_EQ(r.status, 201) << r.body.toStdString();
    }
    QImage shot;
    ASSERT_TRUE(waitUntil([&] {
        // Drawn after the last change: the screen publishes a picture before
        // the state that names it, so the console holds that picture.
        const QJsonObject s = api("GET", "/api/v1/screens/stage").json().value("state").toObject();
        if (s.value("text") != "HHHHHHHH" || s.value("snapshot").toString() < s.value("updated").toString()) return false;
        shot = QImage::fromData(api("GET", "/api/v1/screens/stage/snapshot").body, "JPEG");
        return !shot.isNull();
    }, 10000)) << console_->stderrText().toStdString();
    // The window fills Qt's offscreen screen, 800x800 at 96 dpi; the ticker
    // band is its top 105 pixels, the message centred in the rest.
    ASSERT_EQ(shot.size(), QSize(480, 480));
    const int band = 105 * 480 / 800;
    const QRect middle(0, (band + shot.height()) / 2 - 3, shot.width(), 6);
    EXPECT_GT(countPixels(shot, middle, isRed), middle.width() * middle.height() / 10);
    EXPECT_EQ(countPixels(shot, QRect(2, 2, shot.width() - 4, band - 4), isLit), 0);
}

TEST_F(ConsoleDisplays, ThePageWorksInChromium) {
    const QString web = QStringLiteral(ECRAN_WEB_TESTS);
    if (!std::filesystem::exists(ECRAN_WEB_TESTS "/node_modules/playwright-core") ||
        !std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "chromium or the page's test packages are missing (npm ci --prefix " << ECRAN_WEB_TESTS << ")";
    }
    Peer peer(broker_.port(), {});  // lobby has a picture, hall none; lobby's next once the page waits for it
    (void)peer.publish("ecran/lobby/snapshot", jpeg(Qt::red).toStdString(), 1, true, true);
    QProcess node;
    node.setProcessChannelMode(QProcess::MergedChannels);
    node.start("node", {web + "/page.mjs", url_, QString::fromStdString(token_), QString::number(hall_->pid()),
                        QStringLiteral(ECRAN_TEST_OUTPUT "/console-page-360.png")});
    QByteArray said;
    while (!said.contains("waiting for a new picture") && node.waitForReadyRead(60000)) said += node.readAll();
    (void)peer.publish("ecran/lobby/snapshot", jpeg(Qt::blue).toStdString(), 1, true, true);
    (void)node.waitForFinished(90000);  // false when it ended already
    EXPECT_TRUE(node.state() == QProcess::NotRunning && node.exitCode() == 0) << (said + node.readAll()).toStdString();
}

TEST(ConsoleCommand, StopsOnAnUnusableSettingNamingTheKeyAndTheFile) {
    const struct {
        const char* ini;
        const char* says;
    } rows[] = {
        {"[http]\nlisten=127.0.0.1:0\n", "[mqtt] broker is missing in "},
        {"[mqtt]\nbroker=http://x\n", "[mqtt] broker \"http://x\" in "},
        {"[mqtt]\nbroker=mqtt://x\nprefix=a/b\n", "[mqtt] prefix \"a/b\" in "},
        {"[mqtt]\nbroker=mqtt://x\nca=/nonexistent.pem\n", "[mqtt] ca \"/nonexistent.pem\" in "},
        {"[mqtt]\nbroker=mqtt://x\n[http]\nlisten=localhost:80\n", "[http] listen \"localhost:80\" in "},
        {"[mqtt]\nbroker=mqtt://x\n[http]\nlisten=127.0.0.1:70000\n", "[http] listen \"127.0.0.1:70000\" in "},
        {"[mqtt]\nbroker=mqtt://x\n[http]\nlisten=0.0.0.0:8470\n", "[http] listen \"0.0.0.0:8470\" in "},
        {"[mqtt]\nbroker=mqtt://x\n[http]\ninsecure=maybe\n", "[http] insecure \"maybe\" in "},
        {"[mqtt]\nbroker=mqtt://x\n[http]\ncert=/nonexistent.pem\n", "[http] cert is set in "},
        {"[mqtt]\nbroker=mqtt://x\n[http]\ncert=/nonexistent.pem\nkey=/nonexistent.key\n", "[http] cert \"/nonexistent.pem\" in "},
    };
    for (const auto& row : rows) {
        Console console(row.ini);
        QByteArray err;
        EXPECT_EQ(console.run({"serve"}, nullptr, &err), 1) << row.ini;
        EXPECT_TRUE(err.contains(row.says) && err.contains("console.ini") && err.count('\n') == 1) << err.toStdString();
    }
    // A plain address that is not loopback is allowed when the operator says so.
    Console open("[mqtt]\nbroker=mqtt://127.0.0.1:1\n[http]\nlisten=0.0.0.0:0\ninsecure=yes\n");
    EXPECT_TRUE(open.start(false));
}

TEST(ConsoleCommand, ManagesTokensWithExitStatusesLikeTheOtherTools) {
    Console console("[mqtt]\nbroker=mqtt://127.0.0.1:1\n");
    QByteArray out, err;
    EXPECT_EQ(console.run({"token", "add", "desk"}, &out), 0);
    EXPECT_EQ(out.trimmed().size(), 64);
    EXPECT_EQ(out.count('\n'), 1);
    EXPECT_EQ(console.run({"token", "add", "desk"}, nullptr, &err), 1);
    EXPECT_TRUE(err.contains("exists already"));
    EXPECT_EQ(console.run({"token", "list"}, &out), 0);
    EXPECT_TRUE(out.startsWith("desk\t20")) << out.toStdString();
    EXPECT_TRUE(out.contains("\tnever\n"));
    EXPECT_EQ(console.run({"token", "revoke", "nobody"}), 1);
    EXPECT_EQ(console.run({"token", "add", "a b"}), 2);
    EXPECT_EQ(console.run({"token"}), 2);
    EXPECT_EQ(console.run({"--bogus", "serve"}), 2);
    EXPECT_EQ(console.run({"--help"}, &out), 0);
    EXPECT_TRUE(out.startsWith("usage: ecran-console"));
}

}  // namespace
