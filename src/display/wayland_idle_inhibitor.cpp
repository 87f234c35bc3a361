#include "display/wayland_idle_inhibitor.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QWindow>
// Qt 6.4 hands out its wl_display and a window's wl_surface only through the
// platform native interface (QNativeInterface::QWaylandApplication came in 6.5).
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

#include "idle-inhibit-unstable-v1-client-protocol.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>

namespace ecran::display {
namespace {

// A compositor that does not answer within this time is taken as offering
// nothing, so a wedged one cannot hold the window back for long.
constexpr std::chrono::milliseconds kAnswerTimeout{2000};

}  // namespace

// Everything lives on an event queue of its own, so that Qt's dispatching
// of its own queue never runs these listeners, and this code never runs Qt's.
struct WaylandIdleInhibitor::Wayland {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;
    wl_display* wrapper = nullptr;  // the display, with its new objects on `queue`
    wl_registry* registry = nullptr;
    zwp_idle_inhibit_manager_v1* manager = nullptr;
    zwp_idle_inhibitor_v1* inhibitor = nullptr;
    wl_surface* surface = nullptr;  // the surface `inhibitor` is on

    ~Wayland() {
        if (inhibitor) zwp_idle_inhibitor_v1_destroy(inhibitor);
        if (manager) zwp_idle_inhibit_manager_v1_destroy(manager);
        if (registry) wl_registry_destroy(registry);
        if (wrapper) wl_proxy_wrapper_destroy(wrapper);
        if (queue) wl_event_queue_destroy(queue);
        if (display) wl_display_flush(display);
    }

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        auto* self = static_cast<Wayland*>(data);
        if (self->manager == nullptr && std::strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0) {
            self->manager = static_cast<zwp_idle_inhibit_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, 1));
        }
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}

    // Waits for the compositor to have handled every request sent so far,
    // dispatching this queue's events meanwhile; false on a timeout or a
    // broken connection. Reads cooperate with Qt's own reading thread
    // through prepare/read, as libwayland requires of several readers.
    bool roundtrip() {
        bool done = false;
        static const wl_callback_listener listener = {
            [](void* flag, wl_callback*, uint32_t) { *static_cast<bool*>(flag) = true; }};
        wl_callback* callback = wl_display_sync(wrapper);
        wl_callback_add_listener(callback, &listener, &done);
        const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
        bool broken = false;
        while (!done && !broken) {
            if (wl_display_prepare_read_queue(display, queue) != 0) {
                broken = wl_display_dispatch_queue_pending(display, queue) < 0;
                continue;
            }
            wl_display_flush(display);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{wl_display_get_fd(display), POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&fd, 1, static_cast<int>(left.count())) : 0;
            if (ready <= 0) {
                wl_display_cancel_read(display);
                if (ready < 0 && errno == EINTR) continue;
                break;
            }
            broken = wl_display_read_events(display) < 0 || wl_display_dispatch_queue_pending(display, queue) < 0;
        }
        wl_callback_destroy(callback);
        return done;
    }
};

WaylandIdleInhibitor::WaylandIdleInhibitor(QWindow* window) : window_(window) {
    if (window_ == nullptr) {
        why_ = QStringLiteral("no window");
        return;
    }
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    auto* display = native ? static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display")) : nullptr;
    if (display == nullptr) {
        why_ = QStringLiteral("platform %1 gives no Wayland connection").arg(QGuiApplication::platformName());
        return;
    }
    wl_ = std::make_unique<Wayland>();
    wl_->display = display;
    wl_->queue = wl_display_create_queue(display);
    wl_->wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wl_->wrapper), wl_->queue);
    wl_->registry = wl_display_get_registry(wl_->wrapper);
    static const wl_registry_listener listener = {&Wayland::global, &Wayland::globalRemove};
    wl_registry_add_listener(wl_->registry, &listener, wl_.get());
    if (!wl_->roundtrip()) {
        why_ = QStringLiteral("the compositor did not list its globals within %1 ms").arg(kAnswerTimeout.count());
    } else if (wl_->manager == nullptr) {
        why_ = QStringLiteral("the compositor offers no %1").arg(QLatin1String(zwp_idle_inhibit_manager_v1_interface.name));
    } else if (inhibit()) {
        window_->installEventFilter(this);
        return;
    }
    wl_.reset();
}

WaylandIdleInhibitor::~WaylandIdleInhibitor() {
    if (window_ && wl_) window_->removeEventFilter(this);
}

bool WaylandIdleInhibitor::active() const { return wl_ && wl_->inhibitor; }

bool WaylandIdleInhibitor::inhibit() {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    auto* surface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window_));
    if (surface == nullptr) {
        why_ = QStringLiteral("the window has no Wayland surface (not shown yet?)");
        return false;
    }
    release();
    wl_->inhibitor = zwp_idle_inhibit_manager_v1_create_inhibitor(wl_->manager, surface);
    wl_->surface = surface;
    // The round trip proves the compositor took the request without a
    // protocol error, which would end the connection.
    if (!wl_->roundtrip()) {
        const int error = wl_display_get_error(wl_->display);
        why_ = error ? QStringLiteral("the compositor refused the inhibitor: %1").arg(QString::fromLocal8Bit(std::strerror(error)))
                     : QStringLiteral("the compositor did not answer within %1 ms").arg(kAnswerTimeout.count());
        release();
        return false;
    }
    why_.clear();
    return true;
}

void WaylandIdleInhibitor::release() {
    if (!wl_ || wl_->inhibitor == nullptr) return;
    zwp_idle_inhibitor_v1_destroy(wl_->inhibitor);
    wl_->inhibitor = nullptr;
    wl_->surface = nullptr;
    wl_display_flush(wl_->display);
}

bool WaylandIdleInhibitor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && wl_) {
        if (event->type() == QEvent::PlatformSurface &&
            static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed) {
            release();
        } else if (event->type() == QEvent::Expose && window_->isExposed()) {
            QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
            if (native->nativeResourceForWindow("surface", window_) != wl_->surface) (void)inhibit();
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace ecran::display
