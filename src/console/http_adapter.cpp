#include "console/http_adapter.h"

#include <QtHttpServer/QAbstractHttpServer>
#include <QtHttpServer/QHttpServerRequest>

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>

#include <algorithm>
#include <stdexcept>

namespace ecran::console {
namespace {

QByteArray reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Payload Too Large";
        case 422: return "Unprocessable Entity";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "Status";
    }
}

QByteArray methodName(QHttpServerRequest::Method m) {
    switch (m) {
        case QHttpServerRequest::Method::Get: return "GET";
        case QHttpServerRequest::Method::Put: return "PUT";
        case QHttpServerRequest::Method::Delete: return "DELETE";
        case QHttpServerRequest::Method::Post: return "POST";
        case QHttpServerRequest::Method::Head: return "HEAD";
        case QHttpServerRequest::Method::Options: return "OPTIONS";
        case QHttpServerRequest::Method::Patch: return "PATCH";
        case QHttpServerRequest::Method::Connect: return "CONNECT";
        case QHttpServerRequest::Method::Trace: return "TRACE";
        default: return "UNKNOWN";
    }
}

// The common headers, but those the response sets itself (a Cache-Control
// of its own), then the response's.
QByteArray head(int status, const std::vector<std::pair<QByteArray, QByteArray>>& common,
                const std::vector<std::pair<QByteArray, QByteArray>>& own) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    for (const auto& header : common) {
        const bool replaced = std::any_of(own.begin(), own.end(), [&](const auto& h) {
            return h.first.compare(header.first, Qt::CaseInsensitive) == 0;
        });
        if (!replaced) out += header.first + ": " + header.second + "\r\n";
    }
    for (const auto& [k, v] : own) out += k + ": " + v + "\r\n";
    return out;
}

}  // namespace

struct HttpReply::Shared {
    QPointer<QTcpSocket> socket;
    const std::vector<std::pair<QByteArray, QByteArray>>* common = nullptr;
    bool answered = false;
};

class HttpAdapter::Server : public QAbstractHttpServer {
public:
    Server(HttpAdapter::Handler handler, std::vector<std::pair<QByteArray, QByteArray>> common, qsizetype maxBody,
           QByteArray tooLarge)
        : handler_(std::move(handler)), common_(std::move(common)), maxBody_(maxBody), tooLarge_(std::move(tooLarge)) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        HttpReply reply;
        reply.shared_ = std::make_shared<HttpReply::Shared>();
        reply.shared_->socket = socket;
        reply.shared_->common = &common_;
        if (request.body().size() > maxBody_) {
            reply.send({413, "application/json", tooLarge_, {}});
            return true;
        }
        HttpRequest r;
        r.method = methodName(request.method()).toStdString();
        r.path = request.url().path().toStdString();
        r.query = request.query();
        for (const auto& [k, v] : request.headers()) r.headers[k.toLower().toStdString()] = v;
        r.body = request.body();
        r.peer = request.remoteAddress();
        handler_(r, reply);
        return true;
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

private:
    HttpAdapter::Handler handler_;
    std::vector<std::pair<QByteArray, QByteArray>> common_;
    qsizetype maxBody_;
    QByteArray tooLarge_;
};

void HttpReply::send(const HttpResponse& response) const {
    if (!shared_ || shared_->answered || !shared_->socket) return;
    shared_->answered = true;
    std::vector<std::pair<QByteArray, QByteArray>> own = response.headers;
    // 204 and 304 have no body, and a 304 says nothing of one: a cache keeps
    // the type of what it holds.
    if (!response.body.isEmpty() || (response.status != 204 && response.status != 304)) {
        if (!response.contentType.isEmpty()) own.emplace_back("Content-Type", response.contentType);
        own.emplace_back("Content-Length", QByteArray::number(response.body.size()));
    }
    // Two writes: a large body (the list of screens) is not copied once more
    // behind the head.
    shared_->socket->write(head(response.status, *shared_->common, own) + "\r\n");
    if (!response.body.isEmpty()) shared_->socket->write(response.body);
}

HttpStream* HttpReply::stream(const std::vector<std::pair<QByteArray, QByteArray>>& headers) const {
    if (!shared_ || shared_->answered || !shared_->socket) return nullptr;
    shared_->answered = true;
    shared_->socket->write(head(200, *shared_->common, headers) + "\r\n");
    return new HttpStream(shared_->socket);
}

HttpStream::HttpStream(QTcpSocket* socket) : QObject(socket), socket_(socket) {
    // A small kernel buffer keeps what a slow reader holds visible here, so
    // the limit on unread bytes bounds the whole of it.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
    connect(socket, &QTcpSocket::disconnected, this, &HttpStream::close);
}

bool HttpStream::write(const QByteArray& bytes, qint64 most) {
    if (closed_ || !socket_) return false;
    if (socket_->bytesToWrite() + bytes.size() > most) {
        close();
        return false;
    }
    socket_->write(bytes);
    return true;
}

qint64 HttpStream::unread() const { return socket_ ? socket_->bytesToWrite() : 0; }

void HttpStream::close() {
    if (closed_) return;
    closed_ = true;
    if (socket_) socket_->abort();
    emit closed();
    deleteLater();
}

HttpAdapter::HttpAdapter(Handler handler, std::vector<std::pair<QByteArray, QByteArray>> common, qsizetype maxBody,
                         QByteArray tooLarge, QObject* parent)
    : QObject(parent),
      server_(std::make_unique<Server>(std::move(handler), std::move(common), maxBody, std::move(tooLarge))) {}

HttpAdapter::~HttpAdapter() = default;

void HttpAdapter::useTls(const std::string& certFile, const std::string& keyFile) {
    QFile certIn(QString::fromStdString(certFile)), keyIn(QString::fromStdString(keyFile));
    if (!certIn.open(QIODevice::ReadOnly)) throw std::runtime_error(certFile + " cannot be read");
    if (!keyIn.open(QIODevice::ReadOnly)) throw std::runtime_error(keyFile + " cannot be read");
    const QSslCertificate cert(&certIn, QSsl::Pem);
    if (cert.isNull()) throw std::runtime_error(certFile + " holds no PEM certificate");
    QSslKey key(&keyIn, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) {
        keyIn.seek(0);
        key = QSslKey(&keyIn, QSsl::Ec, QSsl::Pem);
    }
    if (key.isNull()) throw std::runtime_error(keyFile + " holds no PEM private key (RSA or EC)");
    server_->sslSetup(cert, key);
}

quint16 HttpAdapter::listen(const QHostAddress& address, quint16 port) { return server_->listen(address, port); }

}  // namespace ecran::console
