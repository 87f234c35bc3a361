#include "display/window_snapshot.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QBuffer>
#include <QDateTime>
#include <QImageWriter>
#include <QPainter>
#include <QWidget>

#include <algorithm>

namespace ecran::display {

QImage drawWindow(QWidget& window, int width) {
    const QSize size = window.size();
    if (size.isEmpty() || width <= 0) return {};
    const int height = std::max(1, qRound(static_cast<double>(width) * size.height() / size.width()));
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.scale(static_cast<double>(width) / size.width(), static_cast<double>(height) / size.height());
    window.render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return image;
}

QByteArray encodeSnapshot(const QImage& image, int width, int quality) {
    if (image.isNull()) return {};
    const QImage scaled =
        image.width() == width ? image : image.scaledToWidth(width, Qt::SmoothTransformation);
    QByteArray jpeg;
    QBuffer out(&jpeg);
    out.open(QIODevice::WriteOnly);
    QImageWriter writer(&out, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(scaled)) return {};
    return jpeg;
}

WindowSnapshot::WindowSnapshot(QWidget& window, QObject* parent) : QObject(parent), window_(window) {
    worker_.setMaxThreadCount(1);
    worker_.setExpiryTimeout(-1);  // one thread, kept: its priority is set once
}

WindowSnapshot::~WindowSnapshot() { worker_.waitForDone(); }

void WindowSnapshot::take() {
    if (busy_) {
        again_ = true;
        return;
    }
    busy_ = true;
    again_ = false;
    const qint64 at = QDateTime::currentMSecsSinceEpoch();
    QImage drawn = drawWindow(window_, kSnapshotDrawnWidth);
    worker_.start([this, drawn = std::move(drawn), at] {
        // Below the GUI thread's priority: on a busy machine the ticker
        // moves first and the picture waits.
        static thread_local const bool niced = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10) == 0;
        (void)niced;
        const QByteArray jpeg = encodeSnapshot(drawn, kSnapshotWidth);
        // The object outlives this task (its destructor waits for it); a
        // result still queued when it goes is dropped with it.
        QMetaObject::invokeMethod(this, [this, jpeg, at] { encoded(jpeg, at); }, Qt::QueuedConnection);
    });
}

void WindowSnapshot::encoded(const QByteArray& jpeg, qint64 drawnAt) {
    busy_ = false;
    emit taken(jpeg, drawnAt);
    if (again_) take();
}

}  // namespace ecran::display
