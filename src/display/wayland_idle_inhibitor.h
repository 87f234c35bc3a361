#pragma once
// Keeps a Wayland compositor from going idle (blanking, locking, powering
// the output down) while one window is shown: an inhibitor of the
// idle-inhibit protocol (zwp_idle_inhibit_manager_v1) on that window's
// surface, held until this object goes. cage, sway, weston and the wlroots
// desktops offer the protocol; the compositor drops the inhibitor by itself
// when the program's connection ends, so a crash leaves nothing behind.

#include <QObject>
#include <QString>

#include <memory>

class QWindow;

namespace ecran::display {

class WaylandIdleInhibitor : public QObject {
public:
    // Asks for the inhibitor on `window`'s surface, which must be shown on
    // Qt's Wayland platform. active() says whether it holds; why() says
    // otherwise.
    explicit WaylandIdleInhibitor(QWindow* window);
    ~WaylandIdleInhibitor() override;
    WaylandIdleInhibitor(const WaylandIdleInhibitor&) = delete;
    WaylandIdleInhibitor& operator=(const WaylandIdleInhibitor&) = delete;

    [[nodiscard]] bool active() const;
    [[nodiscard]] const QString& why() const { return why_; }

protected:
    // Qt destroys and remakes the surface with the platform window: the
    // inhibitor goes with the old surface and is asked again on the new one.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool inhibit();
    void release();

    struct Wayland;
    QWindow* window_;
    std::unique_ptr<Wayland> wl_;
    QString why_;
};

}  // namespace ecran::display
