#include "console/console_api.h"

#include <mosquitto.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include "fleet/fleet_config.h"
#include "fleet/fleet_payload.h"
#include "fleet/mqtt_client.h"
#include "text/colour_text.h"

namespace ecran::console {
namespace {

constexpr const char* kCookie = "ecran_session";
// Open sessions, and addresses whose failed sign-ins are remembered.
constexpr std::size_t kMaxSessions = 10000;

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

HttpResponse json(int status, const QJsonObject& o) { return {status, "application/json", compact(o), {}}; }
HttpResponse error(int status, const QString& text) { return json(status, {{"error", text}}); }

QJsonObject entryJson(const HistoryEntry& e) {
    return {{"id", static_cast<qint64>(e.id)},
            {"at", QString::fromStdString(e.at)},
            {"by", QString::fromStdString(e.by)},
            {"to", QJsonDocument::fromJson(QByteArray::fromStdString(e.to)).object()},
            {"kind", QString::fromStdString(e.kind)},
            {"value", QString::fromStdString(e.value)},
            {"result", QString::fromStdString(e.result)},
            {"warnings", QJsonDocument::fromJson(QByteArray::fromStdString(e.warnings)).array()}};
}

// A history entry as the answer; one that was not sent says why in
// "error", as every error answer does.
HttpResponse entryReply(int status, const HistoryEntry& e, const QString& why) {
    QJsonObject o = entryJson(e);
    if (!why.isEmpty()) o["error"] = why;
    return json(status, o);
}

std::string cookieValue(const QByteArray& header) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith(QByteArray(kCookie) + "=")) return p.mid(static_cast<qsizetype>(std::strlen(kCookie)) + 1).toStdString();
    }
    return {};
}

// The colour names a colour message takes, with their colours: the page
// offers them and previews them, and never holds a list of its own.
const QByteArray& coloursJson() {
    static const QByteArray bytes = [] {
        QJsonArray list;
        for (const auto& c : text::cssColours()) {
            list.append(QJsonObject{{"name", c.name}, {"rgb", QString::asprintf("#%06X", c.rgb)}});
        }
        return compact({{"colors", list}});
    }();
    return bytes;
}

// The static files of the page, compiled in under :/console/: path, resource, type.
const std::map<std::string, std::pair<const char*, QByteArray>>& assets() {
    static const std::map<std::string, std::pair<const char*, QByteArray>> files{
        {"/", {":/console/index.html", "text/html; charset=utf-8"}},
        {"/app.js", {":/console/app.js", "text/javascript; charset=utf-8"}},
        {"/texts.js", {":/console/texts.js", "text/javascript; charset=utf-8"}},
        {"/style.css", {":/console/style.css", "text/css; charset=utf-8"}},
        {"/api/v1/openapi.json", {":/console/openapi.json", "application/json"}},
    };
    return files;
}

HttpResponse asset(const std::string& path) {
    const auto& [resource, type] = assets().at(path);
    QFile f(QString::fromLatin1(resource));
    if (!f.open(QIODevice::ReadOnly)) return error(500, "the page's file " + QString::fromStdString(path) + " is missing from the program");
    return HttpResponse{200, type, f.readAll(), {{"Cache-Control", "no-cache"}}};
}

// NAME of /api/v1/screens/NAME/snapshot, or nothing for another path.
std::optional<std::string> snapshotOf(const std::string& path) {
    static const std::string head = "/api/v1/screens/", tail = "/snapshot";
    if (path.size() <= head.size() + tail.size() || path.rfind(head, 0) != 0 ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0) {
        return std::nullopt;
    }
    std::string name = path.substr(head.size(), path.size() - head.size() - tail.size());
    if (name.find('/') != std::string::npos) return std::nullopt;
    return name;
}

// Whether an If-None-Match header names this entity tag (or is "*"); a
// weak tag matches too, as the header's comparison is the weak one.
bool namesTag(const QByteArray& header, const QByteArray& etag) {
    for (QByteArray tag : header.split(',')) {
        tag = tag.trimmed();
        if (tag.startsWith("W/")) tag = tag.mid(2);
        if (tag == "*" || tag == etag) return true;
    }
    return false;
}

// The methods each route takes: another method is 405, another path 404.
QByteArray allowedMethods(const std::string& path) {
    if (snapshotOf(path)) return "GET";
    if (path == "/api/v1/session") return "POST, DELETE";
    if (path == "/api/v1/messages") return "GET, POST";
    if (path == "/api/v1/health" || path == "/api/v1/screens" || path == "/api/v1/events" || path == "/api/v1/colors" ||
        assets().count(path)) {
        return "GET";
    }
    if (path.rfind("/api/v1/screens/", 0) == 0 && path.size() > 16 && path.find('/', 16) == std::string::npos) return "GET";
    // Schedules
    if (path == "/api/v1/schedules") return "GET, POST";
    if (path.rfind("/api/v1/schedules/", 0) == 0 && path.size() > 18 && path.find('/', 18) == std::string::npos) {
        return "DELETE";
    }
    return {};
}

}  // namespace

std::vector<std::pair<QByteArray, QByteArray>> securityHeaders() {
    return {{"Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
             "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"}};
}

ConsoleApi::ConsoleApi(ScreenModel& model, ConsoleStore& store, fleet::MqttClient& client, std::string prefix,
                       bool https, ApiLimits limits, QObject* parent)
    : QObject(parent), model_(model), store_(store), client_(client), prefix_(std::move(prefix)), https_(https),
      limits_(limits) {
    connect(&model_, &ScreenModel::screenChanged, this, [this](const QString& name) {
        if (const Screen* s = model_.find(name.toStdString())) broadcast("screen", s->json);
    });
    connect(&model_, &ScreenModel::snapshotChanged, this, [this](const QString& name) {
        const Screen* s = model_.find(name.toStdString());
        if (!s) return;
        const auto& p = s->snapshot;
        broadcast("snapshot", compact({{"name", name},
                                       {"at", p ? QJsonValue(QString::fromStdString(p->at)) : QJsonValue()},
                                       {"etag", p ? QJsonValue(QString::fromLatin1(p->etag)) : QJsonValue()}}));
    });
    connect(&client_, &fleet::MqttClient::acknowledged, this, [this](int mid, const QString& refusal) {
        if (refusal.isEmpty()) return finish(mid, "sent", 201);
        finish(mid, "refused", 502, "the broker refused the message: " + refusal);
    });
    keepAlive_.setInterval(static_cast<int>(limits_.keepAlive.count()));
    connect(&keepAlive_, &QTimer::timeout, this, [this] {
        for (auto& s : streams_) {
            if (s.stream) (void)s.stream->write(": keep-alive\n\n", limits_.streamUnread);
        }
    });
    keepAlive_.start();
    // Tokens are revoked by another process: open streams are checked each second.
    revoked_.setInterval(1000);
    connect(&revoked_, &QTimer::timeout, this, &ConsoleApi::dropRevoked);
    revoked_.start();
}

ConsoleApi::~ConsoleApi() {
    for (auto& s : streams_) {
        if (s.stream) s.stream->close();
    }
}

std::size_t ConsoleApi::streamCount() const {
    std::size_t n = 0;
    for (const auto& s : streams_) n += s.stream ? 1 : 0;
    return n;
}

std::optional<ConsoleApi::Caller> ConsoleApi::caller(const HttpRequest& request) {
    const QByteArray auth = request.header("authorization");
    if (auth.startsWith("Bearer ")) {
        const auto token = store_.useToken(auth.mid(7).trimmed().toStdString());
        if (!token) return std::nullopt;
        return Caller{token->id, token->name, false};
    }
    const std::string session = cookieValue(request.header("cookie"));
    if (session.empty()) return std::nullopt;
    const auto it = sessions_.find(session);
    if (it == sessions_.end()) return std::nullopt;
    const auto name = store_.tokenName(it->second);
    if (!name) {
        sessions_.erase(it);  // the token was revoked: its sessions end
        return std::nullopt;
    }
    return Caller{it->second, *name, true};
}

bool ConsoleApi::sameOrigin(const HttpRequest& request) const {
    const QByteArray host = request.header("host");
    return !host.isEmpty() && request.header("origin") == (https_ ? "https://" : "http://") + host;
}

void ConsoleApi::handle(const HttpRequest& request, const HttpReply& reply) {
    const std::string& path = request.path;
    const QByteArray allowed = allowedMethods(path);
    if (allowed.isEmpty()) return reply.send(error(404, "no such route: " + QString::fromStdString(path)));
    if (!allowed.split(',').contains(" " + QByteArray::fromStdString(request.method)) &&
        !allowed.startsWith(QByteArray::fromStdString(request.method))) {
        HttpResponse r = error(405, QString::fromStdString(request.method) + " is not taken here: " + allowed);
        r.headers.emplace_back("Allow", allowed);
        return reply.send(r);
    }
    if (path.rfind("/api/v1/", 0) != 0) return reply.send(asset(path));
    if (path == "/api/v1/health") {
        const bool up = client_.connected();
        return reply.send(json(up ? 200 : 503, {{"broker", up ? "connected" : "connecting"},
                                                {"screens", static_cast<int>(model_.screens().size())},
                                                {"version", QString::fromLatin1(ECRAN_VERSION)}}));
    }
    if (path == "/api/v1/session") {
        return request.method == "POST" ? signIn(request, reply) : signOut(request, reply);
    }
    const auto who = caller(request);
    if (!who) return reply.send(error(401, "sign in first: Authorization: Bearer TOKEN, or the session cookie"));
    if (who->cookie && request.method != "GET" && !sameOrigin(request)) {
        return reply.send(error(403, "a change made with the session cookie must come from the console's own page"));
    }
    if (path == "/api/v1/screens") return reply.send({200, "application/json", model_.listJson(), {}});
    if (path == "/api/v1/colors") return reply.send({200, "application/json", coloursJson(), {}});
    if (const auto name = snapshotOf(path)) return sendSnapshot(request, reply, *name);
    if (path.rfind("/api/v1/screens/", 0) == 0) {
        const Screen* s = model_.find(path.substr(16));
        if (!s) return reply.send(error(404, "no screen named " + QString::fromStdString(path.substr(16))));
        return reply.send({200, "application/json", s->json, {}});
    }
    if (path == "/api/v1/messages") {
        return request.method == "POST" ? postMessage(request, reply, *who) : listMessages(request, reply);
    }
    if (path == "/api/v1/events") return openStream(reply, *who);
    if (path.rfind("/api/v1/schedules", 0) == 0) return schedules(request, reply, *who);
    reply.send(asset(path));
}

void ConsoleApi::signIn(const HttpRequest& request, const HttpReply& reply) {
    const QByteArray origin = request.header("origin");
    if (!origin.isEmpty() && !sameOrigin(request)) return reply.send(error(403, "sign in from the console's own page"));
    const auto now = std::chrono::steady_clock::now();
    if (failures_.size() >= kMaxSessions) {
        std::erase_if(failures_, [&](const auto& f) { return f.second.empty() || now - f.second.back() > std::chrono::minutes(1); });
    }
    auto& failed = failures_[request.peer.toString()];
    while (!failed.empty() && now - failed.front() > std::chrono::minutes(1)) failed.pop_front();
    if (failed.size() >= static_cast<std::size_t>(limits_.signInFailures)) {
        return reply.send(error(429, "too many failed sign-ins from this address: wait a minute"));
    }
    const QJsonDocument doc = QJsonDocument::fromJson(request.body);
    const QJsonValue token = doc.object().value("token");
    if (!doc.isObject() || !token.isString()) return reply.send(error(400, "the body is not {\"token\": \"...\"}"));
    const auto found = store_.useToken(token.toString().toStdString());
    if (!found) {
        failed.push_back(now);
        return reply.send(error(401, "no such token"));
    }
    const std::string id = QByteArray::number(QRandomGenerator::system()->generate64(), 16).toStdString() +
                           QByteArray::number(QRandomGenerator::system()->generate64(), 16).toStdString();
    // Sessions live in memory until signed out or revoked; a token that signs
    // in without end cannot grow them without bound.
    if (sessions_.size() >= kMaxSessions) sessions_.erase(sessions_.begin());
    sessions_[id] = found->id;
    QByteArray cookie = QByteArray(kCookie) + "=" + QByteArray::fromStdString(id) + "; Path=/; HttpOnly; SameSite=Strict";
    if (https_) cookie += "; Secure";
    reply.send({204, {}, {}, {{"Set-Cookie", cookie}}});
}

void ConsoleApi::signOut(const HttpRequest& request, const HttpReply& reply) {
    const std::string session = cookieValue(request.header("cookie"));
    if (!session.empty() && sessions_.count(session)) {
        if (!sameOrigin(request)) return reply.send(error(403, "sign out from the console's own page"));
        sessions_.erase(session);
    }
    reply.send({204, {}, {}, {{"Set-Cookie", QByteArray(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"}}});
}

void ConsoleApi::postMessage(const HttpRequest& request, const HttpReply& reply, const Caller& who) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        return reply.send(error(400, "the body is not a JSON object"));
    }
    const QJsonObject o = doc.object();
    QString kind;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key() == "to") continue;
        if (it.key() != "text" && it.key() != "ticker" && it.key() != "color") {
            return reply.send(error(400, "unknown field \"" + it.key() + "\": to, and one of text, ticker, color"));
        }
        if (!kind.isEmpty()) return reply.send(error(400, "one message is one of text, ticker or color, not several"));
        if (!it.value().isString()) return reply.send(error(400, "\"" + it.key() + "\" is not a string"));
        kind = it.key();
    }
    if (kind.isEmpty()) return reply.send(error(400, "the message has none of text, ticker, color"));
    std::string target;
    if (const QString why = readTarget(o.value("to"), target); !why.isEmpty()) return reply.send(error(400, why));
    (void)deliver({target, o.value("to").toObject(), kind.toStdString(), o.value(kind).toString().toStdString(), who.name},
                  [reply](int status, const HistoryEntry* entry, const QString& why) {
                      reply.send(entry ? entryReply(status, *entry, why) : error(status, why));
                  });
}

int ConsoleApi::deliver(const Scheduler::Outgoing& m, Answer answer) {
    const fleet::Command command = m.kind == "text"     ? fleet::Command::Text
                                   : m.kind == "ticker" ? fleet::Command::Ticker
                                                        : fleet::Command::Colour;
    const auto datagram = fleet::datagramFor(command, m.value);
    if (!datagram.datagram) {
        answer(422, nullptr, QString::fromStdString(datagram.note));
        return 422;
    }

    HistoryEntry entry;
    entry.by = m.by;
    entry.to = compact(m.to).toStdString();
    entry.kind = m.kind;
    entry.value = m.value;
    if (!datagram.note.empty()) {
        entry.warnings = QJsonDocument(QJsonArray{QString::fromStdString(datagram.note)}).toJson(QJsonDocument::Compact).toStdString();
    }
    const int mid = client_.publishTracked(fleet::commandTopic(prefix_, m.target, command), m.value, false);
    if (mid < 0) {
        const bool noBroker = mid == -MOSQ_ERR_NO_CONN;
        entry.result = noBroker ? "no broker" : "refused";
        record(entry);
        const int status = noBroker ? 503 : 502;
        answer(status, &entry,
               noBroker ? QStringLiteral("no connection to the broker")
                        : "the message could not be published: " + QString::fromUtf8(mosquitto_strerror(-mid)));
        return status;
    }
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, mid] {
        finish(mid, "timeout", 504,
               "the broker did not acknowledge the message within " +
                   QString::number(static_cast<double>(limits_.acknowledgement.count()) / 1000) + " s");
    });
    timer->start(static_cast<int>(limits_.acknowledgement.count()));
    pending_[mid] = {std::move(answer), std::move(entry), timer};
    return 0;
}

void ConsoleApi::finish(int mid, const std::string& result, int status, const QString& why) {
    const auto it = pending_.find(mid);
    if (it == pending_.end()) return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    p.timer->deleteLater();
    p.entry.result = result;
    record(p.entry);
    p.answer(status, &p.entry, why);
}

void ConsoleApi::record(HistoryEntry& entry) {
    store_.addHistory(entry);
    broadcast("message", compact(entryJson(entry)));
}

void ConsoleApi::listMessages(const HttpRequest& request, const HttpReply& reply) {
    int limit = 50;
    std::optional<std::int64_t> before;
    if (request.query.hasQueryItem("limit")) {
        bool ok = false;
        limit = request.query.queryItemValue("limit").toInt(&ok);
        if (!ok || limit < 1) return reply.send(error(400, "limit is not a number from 1 to 500"));
        limit = std::min(limit, 500);
    }
    if (request.query.hasQueryItem("before")) {
        bool ok = false;
        before = request.query.queryItemValue("before").toLongLong(&ok);
        if (!ok) return reply.send(error(400, "before is not a message id"));
    }
    QJsonArray list;
    for (const auto& e : store_.history(limit, before)) list.append(entryJson(e));
    reply.send(json(200, {{"messages", list}}));
}

// Schedules: POST and GET /api/v1/schedules, DELETE /api/v1/schedules/ID.
void ConsoleApi::schedules(const HttpRequest& request, const HttpReply& reply, const Caller& who) {
    if (!scheduler_) return reply.send(error(503, "the schedules are not running"));
    if (request.method == "GET") return reply.send(json(200, {{"schedules", scheduler_->list()}}));
    if (request.method == "DELETE") {
        bool ok = false;
        const QString id = QString::fromStdString(request.path.substr(18));
        const qint64 n = id.toLongLong(&ok);
        if (!ok || !scheduler_->remove(n)) return reply.send(error(404, "no schedule " + id));
        return reply.send({204, {}, {}, {}});
    }
    if (scheduler_->size() >= Scheduler::kMost) {
        return reply.send(error(409, "there are " + QString::number(Scheduler::kMost) + " schedules already: delete some first"));
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        return reply.send(error(400, "the body is not a JSON object"));
    }
    std::string target;
    if (const QString why = readTarget(doc.object().value("to"), target); !why.isEmpty()) {
        return reply.send(error(400, why));
    }
    auto reading = readSchedule(doc.object(), doc.object().value("to").toObject(), target, scheduler_->zone());
    if (!reading.schedule) return reply.send(error(reading.status, reading.error));
    reading.schedule->by = who.name;
    reply.send(json(201, scheduler_->add(std::move(*reading.schedule))));
}

void ConsoleApi::openStream(const HttpReply& reply, const Caller& who) {
    if (streamCount() >= limits_.streams) {
        return reply.send(error(503, "too many open event streams: " + QString::number(limits_.streams)));
    }
    HttpStream* stream = reply.stream({{"Content-Type", "text/event-stream"}, {"X-Accel-Buffering", "no"}});
    if (!stream) return;
    std::erase_if(streams_, [](const Stream& s) { return !s.stream; });
    streams_.push_back({stream, who.tokenId});
    const QByteArray first =
        "id: " + QByteArray::number(++eventId_) + "\nevent: screens\ndata: " + model_.listJson() + "\n\n";
    (void)stream->write(first, limits_.streamUnread);
}

void ConsoleApi::sendSnapshot(const HttpRequest& request, const HttpReply& reply, const std::string& name) {
    const Screen* s = model_.find(name);
    if (!s) return reply.send(error(404, "no screen named " + QString::fromStdString(name)));
    if (!s->snapshot) return reply.send(error(404, QString::fromStdString(name) + " has sent no picture yet"));
    // The page asks again at each change; the same picture costs a 304.
    std::vector<std::pair<QByteArray, QByteArray>> headers{{"ETag", s->snapshot->etag}, {"Cache-Control", "no-cache"}};
    if (namesTag(request.header("if-none-match"), s->snapshot->etag)) return reply.send({304, {}, {}, headers});
    reply.send({200, "image/jpeg", s->snapshot->jpeg, headers});
}

void ConsoleApi::setScheduler(Scheduler* scheduler) {
    scheduler_ = scheduler;
    connect(scheduler_, &Scheduler::changed, this,
            [this](std::int64_t id) { broadcast("schedule", compact({{"id", static_cast<qint64>(id)}})); });
}

void ConsoleApi::broadcast(const QByteArray& event, const QByteArray& data) {
    const QByteArray bytes = "id: " + QByteArray::number(++eventId_) + "\nevent: " + event + "\ndata: " + data + "\n\n";
    for (auto& s : streams_) {
        if (s.stream) (void)s.stream->write(bytes, limits_.streamUnread);
    }
}

void ConsoleApi::dropRevoked() {
    std::map<std::int64_t, bool> alive;
    for (auto& s : streams_) {
        if (!s.stream) continue;
        auto [it, fresh] = alive.try_emplace(s.tokenId, true);
        if (fresh) it->second = store_.tokenName(s.tokenId).has_value();
        if (!it->second) s.stream->close();
    }
    std::erase_if(streams_, [](const Stream& s) { return !s.stream; });
}

}  // namespace ecran::console
