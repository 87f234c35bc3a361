#pragma once
// The live model of every screen of the fleet, built from what the screens
// leave retained on the broker: P/S/status ("online" or "offline", the
// latter also the broker's will for a screen that vanished), P/S/state
// (the JSON of what it shows) and P/S/snapshot (a JPEG of its window).
// Nothing here talks to the broker.

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ecran::console {

// The latest picture a screen sent of its window.
struct Snapshot {
    QByteArray jpeg;
    QByteArray etag;  // a SHA-256 of the bytes, quoted, as HTTP writes it
    std::string at;   // ISO-8601 UTC: when the screen took it, or else when it came
};

struct Screen {
    std::string name;
    std::string status = "unknown";           // online, offline, unknown
    std::optional<std::string> since;         // ISO-8601 UTC of the last status change seen
    std::vector<std::string> groups;          // from the state
    std::optional<QJsonObject> state;
    std::optional<Snapshot> snapshot;
    std::string pictureAt;  // the time of the latest picture held, kept when it is cleared
    QByteArray json;  // screenJson() written out, kept with each change
};

// {"name","status","since","groups","state","snapshot"}, the last {"at","etag"} or null
[[nodiscard]] QJsonObject screenJson(const Screen& screen);

class ScreenModel : public QObject {
    Q_OBJECT

public:
    explicit ScreenModel(std::string prefix, QObject* parent = nullptr);

    // The largest picture taken; the broker's client cuts longer payloads
    // one byte past it, for their refusal.
    static constexpr qsizetype kMaxSnapshot = 1 << 20;

    // The topics to subscribe to: P/+/status, P/+/state, P/+/snapshot (last,
    // so that the broker sends a screen's retained state before its picture).
    [[nodiscard]] std::vector<std::string> subscriptions() const;
    // Takes one message of those topics; anything else, or a payload that is
    // not a status or a state object, is ignored (false).
    bool apply(const QString& topic, const QByteArray& payload);

    [[nodiscard]] const std::map<std::string, Screen>& screens() const noexcept { return screens_; }
    [[nodiscard]] const Screen* find(const std::string& name) const;
    // {"screens":[...]} sorted by name, written once per change: a fleet's
    // pages ask for it far more often than a screen changes.
    [[nodiscard]] const QByteArray& listJson() const;
    // The screens that a target names: one screen, a group, all.
    [[nodiscard]] std::vector<std::string> namesInGroup(const std::string& group) const;

signals:
    void screenChanged(const QString& name);
    // A new picture, or none any more (screen.snapshot empty).
    void snapshotChanged(const QString& name);

private:
    void rewrite(Screen& screen);
    void changed(Screen& screen);
    bool takeSnapshot(const QString& topic, const std::string& name, const QByteArray& payload);

    std::string prefix_;
    std::map<std::string, Screen> screens_;
    mutable QByteArray list_;
    mutable bool listFresh_ = false;
};

}  // namespace ecran::console
