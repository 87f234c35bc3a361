#pragma once
// The real parts the console's tests drive: the built ecran-console and
// ecran programs, each with private settings in a temporary folder, and a
// plain HTTP client.

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace console_test {

using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

struct Reply {
    int status = 0;
    QByteArray body;
    std::map<QByteArray, QByteArray> headers;  // names in lower case
    [[nodiscard]] QJsonObject json() const;
};

// One request through QNetworkAccessManager; waits at most `waitMs`.
Reply request(const QByteArray& method, const QString& url, const QByteArray& body = {}, const Headers& headers = {},
              int waitMs = 15000);

// Runs the event loop until `done` or `waitMs`; the last answer of `done`.
bool waitUntil(const std::function<bool()>& done, int waitMs);

using ecran::test_support::TempDir;

void writeFile(const std::filesystem::path& file, const std::string& text);

// A JPEG of one colour, 480 by 270 pixels, as a screen's picture.
QByteArray jpeg(Qt::GlobalColor colour);

// A built program with private files in a temporary folder, stopped when it goes.
class Program {
public:
    ~Program() { stop(); }
    void stop();

protected:
    TempDir dir_;
    QProcess process_;
};

// ecran-console with a console.ini of its own in a private folder.
class Console : public Program {
public:
    // `ini` is the whole settings file but [console] data, added here.
    explicit Console(const std::string& ini);
    ~Console() { stop(); }  // before err_ goes: stopping may still read stderr
    // Runs `ecran-console --config INI ARGS...`; its exit status, stdout and stderr.
    int run(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr) const;
    [[nodiscard]] std::string addToken(const std::string& name) const;
    // Starts serving; false when it did not say where it listens or, when
    // `healthy`, its health did not answer 200 within 10 s.
    [[nodiscard]] bool start(bool healthy = true);
    // One request to PATH on it.
    Reply call(const QByteArray& method, const QString& path, const QByteArray& body = {}, const Headers& headers = {},
               int waitMs = 15000) const {
        return request(method, url_ + path, body, headers, waitMs);
    }
    [[nodiscard]] const QString& url() const { return url_; }
    [[nodiscard]] QByteArray stderrText() const { return err_; }

private:
    std::filesystem::path ini_;
    QByteArray err_;
    QString url_;
};

// ecran on Qt's offscreen platform, joined to the broker as NAME in GROUPS, `mqtt` added to its [mqtt].
class Display : public Program {
public:
    Display(int brokerPort, const std::string& name, const std::string& groups, const std::string& mqtt = {});
    [[nodiscard]] bool start();
    [[nodiscard]] qint64 pid() const { return process_.processId(); }
};

}  // namespace console_test
