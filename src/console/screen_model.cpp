#include "console/screen_model.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

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
            {"state", s.state ? QJsonValue(*s.state) : QJsonValue()}};
}

ScreenModel::ScreenModel(std::string prefix, QObject* parent) : QObject(parent), prefix_(std::move(prefix)) {}

std::vector<std::string> ScreenModel::subscriptions() const { return {prefix_ + "/+/status", prefix_ + "/+/state"}; }

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
            emit screenChanged(QString::fromStdString(name));
            return true;
        }
        if (payload != "online" && payload != "offline") return false;
        Screen& s = screens_[name];
        s.name = name;
        if (s.status == payload.toStdString()) return false;
        s.status = payload.toStdString();
        s.since = nowIso();
        emit screenChanged(QString::fromStdString(name));
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
        emit screenChanged(QString::fromStdString(name));
        return true;
    }
    return false;
}

}  // namespace ecran::console
