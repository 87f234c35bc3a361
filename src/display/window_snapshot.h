#pragma once
// A picture of the window as it is now, for those who watch the screen from
// afar. The window is drawn on the GUI thread into a small image (the
// cheapest way that gives the right picture: see drawWindow); scaling it to
// its final width and encoding it as JPEG happen on a worker thread, so the
// ticker does not feel it.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QThreadPool>

namespace ecran::display {

// The widths of a snapshot: drawn at kDrawnWidth, published at kWidth.
inline constexpr int kSnapshotWidth = 480;
inline constexpr int kSnapshotDrawnWidth = 2 * kSnapshotWidth;
inline constexpr int kSnapshotQuality = 80;

// The window as it would be painted now, `width` pixels wide and as high as
// its proportions give. Drawn by the widgets themselves under a scaled
// painter, so a caption whose paint is still pending is already in it and
// the cost follows the picture's size, not the screen's. GUI thread only.
[[nodiscard]] QImage drawWindow(QWidget& window, int width);

// `image` scaled smoothly to `width` pixels and encoded as JPEG; empty when
// it cannot be encoded (no JPEG plugin). Any thread.
[[nodiscard]] QByteArray encodeSnapshot(const QImage& image, int width, int quality = kSnapshotQuality);

class WindowSnapshot : public QObject {
    Q_OBJECT

public:
    explicit WindowSnapshot(QWidget& window, QObject* parent = nullptr);
    // Waits for the encode in flight, whose result is then dropped.
    ~WindowSnapshot() override;

    // Draws the window now and encodes it on the worker; `taken` follows.
    // One encode at a time: a request while one runs is served once it
    // ends, however many came meanwhile, with the window as it is then.
    void take();

    [[nodiscard]] bool busy() const noexcept { return busy_; }

signals:
    // On the GUI thread: the JPEG (empty when it could not be encoded) and
    // when the window was drawn, in milliseconds since the epoch.
    void taken(const QByteArray& jpeg, qint64 drawnAt);

private:
    void encoded(const QByteArray& jpeg, qint64 drawnAt);

    QWidget& window_;
    QThreadPool worker_;
    bool busy_ = false;
    bool again_ = false;
};

}  // namespace ecran::display
