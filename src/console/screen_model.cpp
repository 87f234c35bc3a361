#include "console/screen_model.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <iostream>

#include "console/console_store.h"
#include "fleet/fleet_config.h"

namespace ecran::console {

QJsonObject screenJson(const Screen& s) {
    QJsonArray groups;
    for (const auto& g : s.groups) groups.append(QString::fromStdString(g));
    return {{"name", QString::fromStdString(s.name)},
            {"status", QString::fromStdString(s.status)},
            {"since", s.since ? QJsonValue(QString::fromStdString(*s.since)) : QJsonValue()},
            {"groups", groups},
            {"state", s.state ? QJsonValue(*s.state) : QJsonValue()},
            {"snapshot", s.snapshot ? QJsonValue(QJsonObject{{"at", QString::fromStdString(s.snapshot->at)},
                                                             {"etag", QString::fromLatin1(s.snapshot->etag)}})
                                    : QJsonValue()}};
}

ScreenModel::ScreenModel(std::string prefix, QObject* parent) : QObject(parent), prefix_(std::move(prefix)) {}

std::vector<std::string> ScreenModel::subscriptions() const {
    return {prefix_ + "/+/status", prefix_ + "/+/state", prefix_ + "/+/snapshot"};
}

void ScreenModel::rewrite(Screen& s) {
    s.json = QJsonDocument(screenJson(s)).toJson(QJsonDocument::Compact);
    listFresh_ = false;
}

void ScreenModel::changed(Screen& s) {
    rewrite(s);
    emit screenChanged(QString::fromStdString(s.name));
}

const QByteArray& ScreenModel::listJson() const {
    if (!listFresh_) {
        list_ = "{\"screens\":[";
        bool first = true;
        for (const auto& [name, s] : screens_) {
            if (!first) list_ += ',';
            list_ += s.json;
            first = false;
        }
        list_ += "]}";
        listFresh_ = true;
    }
    return list_;
}

const Screen* ScreenModel::find(const std::string& name) const {
    const auto it = screens_.find(name);
    return it == screens_.end() ? nullptr : &it->second;
}

std::vector<std::string> ScreenModel::namesInGroup(const std::string& group) const {
    std::vector<std::string> names;
    for (const auto& [name, s] : screens_) {
        if (std::find(s.groups.begin(), s.groups.end(), group) != s.groups.end()) names.push_back(name);
    }
    return names;
}

bool ScreenModel::apply(const QString& topic, const QByteArray& payload) {
    const QStringList levels = topic.split('/');
    if (levels.size() != 3 || levels[0].toStdString() != prefix_) return false;
    const std::string name = levels[1].toStdString();
    // "all" and "group" are the topics' own words, never a screen.
    if (!fleet::isTopicName(name) || name == "all" || name == "group") return false;
    if (levels[2] == QLatin1String("status")) {
        // An empty retained payload clears the topic: the screen was removed.
        if (payload.isEmpty()) {
            const auto it = screens_.find(name);
            if (it == screens_.end() || it->second.status == "unknown") return false;
            it->second.status = "unknown";
            it->second.since = nowIso();
            const bool hadPicture = it->second.snapshot.has_value();
            it->second.snapshot.reset();
            changed(it->second);
            if (hadPicture) emit snapshotChanged(QString::fromStdString(name));
            return true;
        }
        if (payload != "online" && payload != "offline") return false;
        Screen& s = screens_[name];
        s.name = name;
        if (s.status == payload.toStdString()) return false;
        s.status = payload.toStdString();
        s.since = nowIso();
        changed(s);
        return true;
    }
    if (levels[2] == QLatin1String("state")) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) return false;
        Screen& s = screens_[name];
        s.name = name;
        s.state = doc.object();
        s.groups.clear();
        for (const auto& g : doc.object().value("groups").toArray()) {
            if (g.isString()) s.groups.push_back(g.toString().toStdString());
        }
        changed(s);
        return true;
    }
    if (levels[2] == QLatin1String("snapshot")) return takeSnapshot(topic, name, payload);
    return false;
}

bool ScreenModel::takeSnapshot(const QString& topic, const std::string& name, const QByteArray& payload) {
    const auto it = screens_.find(name);
    // A picture alone makes no screen: one left retained by a screen that
    // was removed would bring it back.
    if (it == screens_.end()) return false;
    Screen& s = it->second;
    if (payload.isEmpty()) {
        if (!s.snapshot) return false;
        s.snapshot.reset();
    } else {
        if (payload.size() > kMaxSnapshot) {
            std::cerr << "ecran-console: the picture on " << topic.toStdString()
                      << " is larger than 1 MiB: ignored\n";
            return false;
        }
        if (!payload.startsWith("\xFF\xD8\xFF")) {
            std::cerr << "ecran-console: the picture on " << topic.toStdString()
                      << " is not a JPEG (it does not start with FF D8 FF): ignored\n";
            return false;
        }
        const QByteArray etag = '"' + QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex() + '"';
        // The same picture again (retained, at each reconnection) is no news.
        if (s.snapshot && s.snapshot->etag == etag) return false;
        // The state says when the screen took its last picture: that is this
        // one when it is later than the latest one held (the screen published
        // its state first, or both came retained); otherwise the state still
        // names one before, and the time of arrival stands in.
        std::string at = nowIso();
        const QString named = s.state ? s.state->value("snapshot").toString() : QString();
        // A time whose UTC year ISO-8601 cannot write (before 1, after 9999)
        // would leave the picture's time empty: arrival stands in for it too.
        const QDateTime taken = QDateTime::fromString(named, Qt::ISODateWithMs);
        const QString takenUtc = taken.isValid() ? taken.toUTC().toString(Qt::ISODateWithMs) : QString();
        if (!takenUtc.isEmpty() && (s.pictureAt.empty() || taken > QDateTime::fromString(QString::fromStdString(s.pictureAt),
                                                                                          Qt::ISODateWithMs))) {
            at = takenUtc.toStdString();
        }
        s.pictureAt = at;
        s.snapshot = Snapshot{payload, etag, std::move(at)};
    }
    rewrite(s);
    emit snapshotChanged(QString::fromStdString(name));
    return true;
}

}  // namespace ecran::console
