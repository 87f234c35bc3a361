#pragma once
// The live model of every screen of the fleet, built from what the screens
// leave retained on the broker: P/S/status ("online" or "offline", the
// latter also the broker's will for a screen that vanished) and P/S/state
// (the JSON of what it shows). Nothing here talks to the broker.

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ecran::console {

struct Screen {
    std::string name;
    std::string status = "unknown";           // online, offline, unknown
    std::optional<std::string> since;         // ISO-8601 UTC of the last status change seen
    std::vector<std::string> groups;          // from the state
    std::optional<QJsonObject> state;
};

// {"name","status","since","groups","state"}
[[nodiscard]] QJsonObject screenJson(const Screen& screen);

class ScreenModel : public QObject {
    Q_OBJECT

public:
    explicit ScreenModel(std::string prefix, QObject* parent = nullptr);

    // The topics to subscribe to: P/+/status and P/+/state.
    [[nodiscard]] std::vector<std::string> subscriptions() const;
    // Takes one message of those topics; anything else, or a payload that is
    // not a status or a state object, is ignored (false).
    bool apply(const QString& topic, const QByteArray& payload);

    [[nodiscard]] const std::map<std::string, Screen>& screens() const noexcept { return screens_; }
    [[nodiscard]] const Screen* find(const std::string& name) const;
    // The screens that a target names: one screen, a group, all.
    [[nodiscard]] std::vector<std::string> namesInGroup(const std::string& group) const;

signals:
    void screenChanged(const QString& name);

private:
    std::string prefix_;
    std::map<std::string, Screen> screens_;
};

}  // namespace ecran::console
