#pragma once
// The console's one door to Qt's HTTP server. Qt 6.4's module is a
// Technical Preview whose API changes in 6.5 and 6.8, so nothing else
// includes it: the rest of the console sees plain requests and responses.
//
// What Qt 6.4 gives and what is done here instead:
// - its router matches methods and paths but cannot tell a wrong method
//   (405) from an unknown route (404), and its responses cannot outlive the
//   handler: the adapter takes every request whole (handleRequest) and the
//   console routes it;
// - its responder writes a fixed header list per call; responses are
//   written here, with the same headers on every one of them;
// - it has no streamed response: an event stream keeps the request's socket
//   and writes to it, watching how much the peer has not read;
// - it reads a request body whole, with no limit of its own: a body over the
//   limit is refused (413) once read.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QUrlQuery>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QTcpSocket;

namespace ecran::console {

struct HttpRequest {
    std::string method;  // "GET", "POST"...
    std::string path;    // without the query
    QUrlQuery query;
    std::map<std::string, QByteArray> headers;  // names in lower case
    QByteArray body;
    QHostAddress peer;
    [[nodiscard]] QByteArray header(const std::string& lowerName) const {
        const auto it = headers.find(lowerName);
        return it == headers.end() ? QByteArray() : it->second;
    }
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
};

// A response that stays open (an event stream). Owned by the adapter's
// socket; says closed() once, when the peer leaves or close() is called.
class HttpStream : public QObject {
    Q_OBJECT

public:
    explicit HttpStream(QTcpSocket* socket);
    // Writes now; false (and the stream closed) when the peer would then hold
    // more than `most` bytes unread.
    bool write(const QByteArray& bytes, qint64 most);
    void close();
    [[nodiscard]] qint64 unread() const;

signals:
    void closed();

private:
    QPointer<QTcpSocket> socket_;
    bool closed_ = false;
};

// The answer to one request, given now or later (once the broker has
// acknowledged a message); a second answer, or one after the peer left, is
// dropped.
class HttpReply {
public:
    void send(const HttpResponse& response) const;
    // Starts an event stream with `status` 200 and these headers; nothing when
    // the peer left already.
    [[nodiscard]] HttpStream* stream(const std::vector<std::pair<QByteArray, QByteArray>>& headers) const;

private:
    friend class HttpAdapter;
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

class HttpAdapter : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const HttpRequest&, const HttpReply&)>;

    // `common` goes on every response; bodies over `maxBody` bytes are
    // answered 413 with `tooLarge` without reaching the handler.
    HttpAdapter(Handler handler, std::vector<std::pair<QByteArray, QByteArray>> common, qsizetype maxBody,
                QByteArray tooLarge, QObject* parent = nullptr);
    ~HttpAdapter() override;

    // HTTPS only from then on. Throws std::runtime_error naming the file
    // that cannot be used.
    void useTls(const std::string& certFile, const std::string& keyFile);
    // The port listened on (the one chosen when `port` is 0), or 0 on failure.
    [[nodiscard]] quint16 listen(const QHostAddress& address, quint16 port);

private:
    class Server;
    std::unique_ptr<Server> server_;
};

}  // namespace ecran::console
