#include "console_harness.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QImage>
#include <QNetworkReply>
#include <QProcessEnvironment>
#include <QTimer>

#include <cstdlib>
#include <fstream>

namespace console_test {
namespace {

// One application for every test: the network classes need its loop.
class Environment : public testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "console_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};
const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new Environment);

}  // namespace

QJsonObject Reply::json() const { return QJsonDocument::fromJson(body).object(); }

bool waitUntil(const std::function<bool()>& done, int waitMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > waitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

Reply request(const QByteArray& method, const QString& url, const QByteArray& body, const Headers& headers, int waitMs) {
    static QNetworkAccessManager* manager = new QNetworkAccessManager;
    QNetworkRequest r{QUrl(url)};
    r.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!body.isEmpty()) r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    // Cookies go only where a test puts them.
    r.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    r.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    for (const auto& [k, v] : headers) r.setRawHeader(k, v);
    QNetworkReply* reply = manager->sendCustomRequest(r, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
    loop.exec();
    Reply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll();
    for (const auto& [k, v] : reply->rawHeaderPairs()) out.headers[k.toLower()] = v;
    reply->abort();
    reply->deleteLater();
    return out;
}

void writeFile(const std::filesystem::path& file, const std::string& text) { std::ofstream(file) << text; }

QByteArray jpeg(Qt::GlobalColor colour) {
    QImage image(480, 270, QImage::Format_RGB32);
    image.fill(colour);
    QBuffer out;
    image.save(&out, "JPEG");
    return out.data();
}

Console::Console(const std::string& ini) : ini_(dir_.path() / "console.ini") {
    writeFile(ini_, ini + "\n[console]\ndata=" + (dir_.path() / "data").string() + "\n");
}

int Console::run(const QStringList& args, QByteArray* out, QByteArray* err) const {
    QProcess p;
    p.start(QStringLiteral(ECRAN_CONSOLE_PROGRAM), QStringList{"--config", QString::fromStdString(ini_.string())} + args);
    p.waitForFinished(15000);
    if (out) *out = p.readAllStandardOutput();
    if (err) *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

std::string Console::addToken(const std::string& name) const {
    QByteArray out;
    (void)run({"token", "add", QString::fromStdString(name)}, &out);
    return out.trimmed().toStdString();
}

bool Console::start(bool healthy) {
    QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { err_ += process_.readAllStandardError(); });
    process_.start(QStringLiteral(ECRAN_CONSOLE_PROGRAM), {"--config", QString::fromStdString(ini_.string()), "serve"});
    const bool said = waitUntil([this] { return err_.contains("listening on "); }, 10000);
    if (!said) return false;
    const auto from = err_.indexOf("listening on ") + 13;
    url_ = QString::fromUtf8(err_.mid(from, err_.indexOf('/', err_.indexOf("//", from) + 2) - from));
    return !healthy || waitUntil([this] { return call("GET", "/api/v1/health").status == 200; }, 10000);
}

void Program::stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(2000);
}

Display::Display(int brokerPort, const std::string& name, const std::string& groups, const std::string& mqtt) {
    std::filesystem::create_directories(dir_.path() / "ecran");
    writeFile(dir_.path() / "ecran" / "QUOLVEtavrin.ini",
              "[ecran]\nport=0\nlisten=127.0.0.1\n[mqtt]\nbroker=mqtt://127.0.0.1:" + std::to_string(brokerPort) +
                  "\nname=" + name + "\ngroups=" + groups + "\nkeepalive=5\n" + mqtt);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir_.path().string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

bool Display::start() {
    process_.start(QStringLiteral(ECRAN_DISPLAY_PROGRAM), {});
    return process_.waitForStarted(5000);
}

}  // namespace console_test
