#include "display/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QNetworkDatagram>
#include <QScreen>

#include <algorithm>
#include <iostream>
#include <utility>

#include "display/colors.h"
#include "display/fonts.h"
#include "errors/error.h"
#include "errors/report.h"
#include "profile/profile_value.h"
#include "text/cp1252.h"
#include "text/leading_number.h"
#include "win32/config_dir.h"
#include "win32/cursor_api.h"
#include "win32/error_api.h"
#include "win32/ini_file.h"

namespace ecran::display {
namespace {

// Design sizes, in twips.
constexpr float kDesignClientWidth = 12645;
constexpr float kDesignClientHeight = 8040;
constexpr float kTickerBandHeight = 1575;
constexpr float kMessageAreaDesignHeight = 5160;
constexpr float kBottomLineHeight = 15;
constexpr float kLabel1DesignLeft = 1200, kLabel1DesignTop = 840;
constexpr float kLabel2DesignLeft = 720, kLabel2DesignTop = 120;
constexpr float kCloseButtonSize = 375;

// The ticker's step per tick, in pixels, and the clock's interval.
constexpr float kTickerStep = 2;
constexpr int kTickIntervalMs = 50;

// A flood of datagrams is drained in batches, and the event loop (paints,
// ticks, clicks) runs between two batches.
constexpr int kBatchDatagrams = 512;
constexpr qint64 kBatchMillis = 20;

// A datagram this large costs up to 25 ms to read, shape and first paint (a
// line of 65,507 wide glyphs): one that would still be at work when the
// tick is due is read right after the tick instead, when the clock leaves
// the most room. A smaller one is read at once.
constexpr qint64 kLargeDatagram = 4096;
constexpr int kRoomForALargeDatagramMs = 30;

// A message whose store found the settings file locked by another process
// is stored again after this pause, doubled at each new refusal up to the
// last figure: each try may hold the GUI thread for the bounded lock wait.
constexpr int kStoreRetryFirstMs = 100;
constexpr int kStoreRetryMaxMs = 1600;

const QColor kDarkGrey(64, 64, 64);
const QColor kTickerGrey(224, 224, 224);

double screenTwipsPerPixel(const QWidget& w) {
    const QScreen* s = w.screen();
    const double dpi = s ? s->logicalDotsPerInch() : 96.0;
    return dpi > 0 ? 1440.0 / dpi : 15.0;
}

QFont trebuchet(qreal points, QFont::Weight weight) {
    QFont f(kLabelFace);
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    f.setWeight(weight);
    f.setItalic(false);
    f.setUnderline(false);
    f.setStrikeOut(false);
    return f;
}

// A setting, for messages: "FILE ([ecran] port)".
std::string where(const char* section, const char* key) {
    return profile::settingsFilePath() + " ([" + section + "] " + key + ")";
}

// " set in FILE ([ecran] port)", after what was set there.
std::string setIn(const char* key) { return " set in " + where("ecran", key); }

// "udp 192.0.2.7:5000", "udp [2001:db8::1]:5000": who sent a datagram. An
// IPv4 sender reaching the dual-stack socket is named in its IPv4 form.
QString datagramSource(const QNetworkDatagram& datagram) {
    QHostAddress address = datagram.senderAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) address = QHostAddress(v4);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return QStringLiteral("udp %1:%2").arg(host).arg(datagram.senderPort());
}

}  // namespace

Form1::Form1(QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint),
      twipsPerPixel_(screenTwipsPerPixel(*this)),
      pump_([] { QCoreApplication::processEvents(QEventLoop::AllEvents); }),
      drops_(errors::reports()) {
    const double tpp = twipsPerPixel_;
    setWindowTitle(QString());
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kDarkGrey);
    setPalette(pal);
    setAutoFillBackground(true);
    resize(qRound(kDesignClientWidth / tpp), qRound(kDesignClientHeight / tpp));

    const QColor buttonFace = colorFromNumber(systemColor(kButtonFace));

    // Creation order gives the docking order: Picture3 at the bottom, then
    // Picture2 and Picture1 from the top.
    Picture3 = new PictureBox(this, tpp, tpp, PictureBox::Border::None, Qt::black);
    Picture3->place(0, kDesignClientHeight - kBottomLineHeight, kDesignClientWidth, kBottomLineHeight);

    W = new QUdpSocket(this);

    Picture2 = new PictureBox(this, tpp, tpp, PictureBox::Border::Sunken3D, buttonFace);
    Picture2->place(0, kTickerBandHeight, kDesignClientWidth, kMessageAreaDesignHeight);

    Picture1 = new PictureBox(this, tpp, 1.0, PictureBox::Border::Sunken3D, Qt::black);
    Picture1->place(0, 0, kDesignClientWidth, kTickerBandHeight);

    Timer1 = new QTimer(Picture1);
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kTickIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

    Label2 = new Label(Picture1->client(), 1.0);
    Label2->setLabelFont(trebuchet(50.25, QFont::Normal));
    Label2->setForeColor(kTickerGrey);
    Label2->setBackColor(Qt::black);
    Label2->setAlignment(Label::Alignment::Left);
    Label2->place(kLabel2DesignLeft / static_cast<float>(tpp), kLabel2DesignTop / static_cast<float>(tpp), 0, 0);
    Label2->setCaption("Initialisation de l Ecran en cours");

    Label1 = new Label(Picture2->client(), tpp);
    Label1->setLabelFont(trebuchet(99.75, QFont::Bold));
    Label1->setForeColor(Qt::black);
    Label1->setBackColor(buttonFace);
    Label1->setAlignment(Label::Alignment::Centre);
    Label1->place(kLabel1DesignLeft, kLabel1DesignTop, 0, 0);
    Label1->setCaption("D\xE9marrage");
    connect(Label1, &Label::Change, this, &Form1::Label1_Change);

    // A child window of the message area always lies above its labels.
    Command1 = new QPushButton(QStringLiteral("X"), Picture2->client());
    Command1->setAutoDefault(false);
    Command1->setDefault(false);
    Command1->setGeometry(0, 0, qRound(kCloseButtonSize / tpp), qRound(kCloseButtonSize / tpp));
    Command1->raise();
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);

    // No key may close an unattended display (a keyboard left on a kiosk, a
    // barcode scanner): the close button takes no keyboard focus, so neither
    // Space nor Tab then Space reaches it, and the ticker band, first in the
    // tab order, holds the focus and lets every key fall on the floor. A
    // click on "X" and close requests still close the window.
    Command1->setFocusPolicy(Qt::NoFocus);
    Picture1->setFocusPolicy(Qt::StrongFocus);
    Picture1->setFocus();

    connect(W, &QUdpSocket::readyRead, this, &Form1::W_DataArrival);
    drain_ = new QTimer(this);
    drain_->setSingleShot(true);
    drain_->setInterval(0);
    connect(drain_, &QTimer::timeout, this, &Form1::W_DataArrival);
    afterTick_ = new QTimer(this);
    afterTick_->setSingleShot(true);
    afterTick_->setInterval(0);
    connect(afterTick_, &QTimer::timeout, this, &Form1::afterTick);
    storeRetry_ = new QTimer(this);
    storeRetry_->setSingleShot(true);
    connect(storeRetry_, &QTimer::timeout, this, &Form1::storeUnstored);

    Timer1->start();
}

Form1::~Form1() {
    // A window destroyed without being closed still stores what it showed.
    if (storeAfterTick_) storeAfterTick();
}

quint16 Form1::boundPort() const noexcept {
    return W->state() == QAbstractSocket::BoundState ? W->localPort() : 0;
}

void Form1::Form_Load() {
    // Cover the whole screen. The window is not shown yet, so Qt would hold
    // the resize back until it is: lay the bands out now, as the move does.
    if (const QScreen* s = screen()) setGeometry(s->geometry());
    clientResized();

    // A settings file that is there but cannot be read (a folder, a FIFO, a
    // link to a device, a file too large or not this user's to read) reads
    // as empty: the display would listen on a port the system picks and
    // report itself ready. Stop instead, as for a bad port. A missing file is
    // created by the read-and-seed below.
    const std::string settings = win32::resolveProfilePath(kProfileFile).path;
    if (win32::loadProfileFile(settings).status == win32::LoadStatus::Unreadable)
        throw StartupError("the settings file cannot be read: " + win32::lastProfileFailure());

    const std::string portText = profile::ProfileValue("ecran", "port", "0", kProfileFile, profile::kReadAndSeedMode);
    std::int32_t port = 0;
    try {
        port = text::LeadingNumber(portText);
    } catch (const errors::Error&) {
        throw StartupError("the port \"" + text::toUtf8(portText) + "\"" + setIn("port") + " is too large a number");
    }
    readSenderSettings();
    bindSocket(port, portText);

    const std::string last = profile::ProfileValue("historique", "infos", "", kProfileFile, profile::kReadMode);
    try {
        Affichage(last);
    } catch (const errors::Error& e) {
        // A stored message the display refuses would otherwise stop every
        // later start: show the design state and wait for the next message.
        std::cerr << "ecran: the last message stored in " << where("historique", "infos") << " cannot be shown ("
                  << e.description() << ", error " << e.number() << "); starting without it\n";
    }
}

// Both keys are optional and read without seeding: a file without them keeps
// the display listening everywhere to everyone, and is not changed. A value
// that cannot be read stops start-up: the display never runs with a rule it
// misread.
void Form1::readSenderSettings() {
    const auto read = [](const char* key) {
        std::string value = profile::ProfileValue("ecran", key, "", kProfileFile, profile::kReadMode);
        if (!errors::lastError().isClear()) {
            throw StartupError("cannot read [ecran] " + std::string(key) + " from " + profile::settingsFilePath() +
                               ": " + errors::lastError().description);
        }
        return value;
    };
    const std::string listenText = read("listen");
    const std::string allowText = read("allow");
    try {
        SenderSettings settings = parseSenderSettings(listenText, allowText);
        listen_ = settings.listen;
        allowed_ = std::move(settings.allowed);
    } catch (const SettingError& e) {
        throw StartupError(e.subject + setIn(e.key) + " " + e.problem);
    }
}

std::string Form1::listeningOn() const {
    std::string out = listen_ ? "address " + listen_->toString().toStdString() : std::string("all interfaces");
    if (!allowed_.allowsEverySender()) out += "; allowed senders: " + allowed_.describe();
    return out;
}

bool Form1::admit(const QHostAddress& sender) {
    if (allowed_.allows(sender)) return true;
    ++datagramsRefused_;
    drops_.dropped(sender);
    return false;
}

void Form1::bindSocket(std::int32_t port, const std::string& portText) {
    if (port < 0 || port > 65535) {
        throw StartupError("the port " + std::to_string(port) + " (\"" + text::toUtf8(portText) + "\")" +
                           setIn("port") + " is outside 0-65535");
    }
    const auto udpPort = static_cast<quint16>(port);
    if (listen_) {
        // One address: 0.0.0.0 is every IPv4 interface, :: every IPv6 one.
        if (!W->bind(*listen_, udpPort)) {
            throw StartupError("cannot listen on UDP port " + std::to_string(port) + " at the address \"" +
                               listen_->toString().toStdString() + "\"" + setIn("listen") + ": " +
                               W->errorString().toStdString());
        }
    } else {
        // Any is both IPv4 and IPv6 where the system has IPv6; else IPv4 alone.
        bool bound = W->bind(QHostAddress::Any, udpPort);
        if (!bound && W->error() == QAbstractSocket::UnsupportedSocketOperationError) {
            bound = W->bind(QHostAddress::AnyIPv4, udpPort);
        }
        if (!bound) {
            throw StartupError("cannot listen on UDP port " + std::to_string(port) + setIn("port") + ": " +
                               W->errorString().toStdString());
        }
    }
    // Room for a burst of datagrams while a tick or a paint holds the loop.
    W->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);
}

void Form1::Affichage(const std::string& message) {
    const std::string first = message.substr(0, 1);
    if (first == std::string(1, text::kCommandMarker)) {
        const std::string second = message.size() >= 2 ? message.substr(1, 1) : std::string();
        const std::string argument = message.size() >= 3 ? message.substr(2) : std::string();
        if (second == "1") {
            Label2->setCaption(argument);
        } else if (second == "2") {
            const std::int32_t number = text::LeadingNumber(argument);
            const QColor color = colorFromNumber(number);
            Label1->setForeColor(color);
            label1ForeColor_ = number;
        }
        return;
    }
    Label1->setCaption(message);
}

void Form1::W_DataArrival() {
    QElapsedTimer batch;
    batch.start();
    int taken = 0;
    std::optional<std::string> last;  // each message replaces the stored one: a batch stores its last
    std::uint64_t shown = 0;
    // The read the tick itself scheduled never waits again.
    const bool mayWait = !std::exchange(tickJustDone_, false);
    while (W->hasPendingDatagrams()) {
        if (mayWait && !TickBusy && Timer1->isActive() && W->pendingDatagramSize() >= kLargeDatagram &&
            Timer1->remainingTime() < kRoomForALargeDatagramMs) {
            readAfterTick_ = true;
            break;
        }
        errors::ContinueOnError mode;
        std::string message;
        QNetworkDatagram datagram;
        bool refused = false;
        (void)mode.step([&] {
            datagram = W->receiveDatagram();
            refused = !admit(datagram.senderAddress());
            if (refused) return;
            const QByteArray bytes = datagram.data();
            message.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
        });
        if (refused) {  // not shown, not stored; it still counts towards the batch
            if (++taken >= kBatchDatagrams || batch.elapsed() >= kBatchMillis) break;
            continue;
        }
        apply(mode, message, [&] { return datagramSource(datagram); });
        last = std::move(message);
        ++shown;
        if (++taken >= kBatchDatagrams || batch.elapsed() >= kBatchMillis) break;
    }
    if (last) storeLastMessage(*last, shown);
    // More waiting: come back once the event loop has had its turn. A zero
    // timer, not a posted call, because posted calls run back to back within
    // one pass of the loop and would starve the ticker and paints.
    if (W->hasPendingDatagrams() && !readAfterTick_) drain_->start();
}

void Form1::arrive(const std::string& message, const QString& source, bool store) {
    errors::ContinueOnError mode;
    apply(mode, message, [&] { return source; });
    if (store) {
        unstored_ = message;
        if (!storeRetry_->isActive()) storeUnstored();
    }
}

void Form1::apply(errors::ContinueOnError& mode, const std::string& message,
                  const std::function<QString()>& source) {
    const bool shown = mode.step([&] { Affichage(message); });
    // The source text is made only for a listener: a flood of datagrams
    // with no fleet link pays nothing for it.
    static const QMetaMethod applied = QMetaMethod::fromSignal(&Form1::messageApplied);
    if (shown && isSignalConnected(applied)) emit messageApplied(source());
}

void Form1::storeLastMessage(const std::string& message, std::uint64_t messages) {
    // The newest message wins. While a retry is pending only the retry
    // writes, so a flood never waits for the lock once per batch.
    unstored_ = message;
    messagesUnstored_ += messages;
    if (storeRetry_->isActive()) {
        messagesReceived_ += std::exchange(messagesUnstored_, 0);
        return;
    }
    // A store waits on the disk (two fsyncs) for longer than a tick may be
    // late, and a long caption has just cost its shaping in this turn: store
    // once the next tick is done, when the clock leaves the most room. A
    // flood is then stored at most once a tick. Without a running clock
    // (closing), store now.
    if (Timer1->isActive() && !unloaded_) {
        storeAfterTick_ = true;
        return;
    }
    storeAfterTick();
}

void Form1::storeAfterTick() {
    storeAfterTick_ = false;
    if (!storeRetry_->isActive()) storeUnstored();
    messagesReceived_ += std::exchange(messagesUnstored_, 0);
}

void Form1::storeUnstored() {
    if (!unstored_) return;
    errors::ContinueOnError mode;
    (void)mode.step([&] {
        (void)profile::ProfileValue("historique", "infos", *unstored_, kProfileFile, profile::kWriteMode);
    });
    // Another process held the file's lock past the bounded wait: the message
    // is on screen already; store it shortly after, until the lock is free.
    // Any other failure (a read-only file) was said by ProfileValue, and
    // trying again would not help.
    if (!errors::lastError().isClear() && GetLastError() == ERROR_SHARING_VIOLATION) {
        errors::reports().report("ecran: store retry",
                                 "ecran: another process holds the lock of " + profile::settingsFilePath() +
                                     ": the message is shown and will be stored once the lock is free");
        storeRetryMs_ = storeRetryMs_ == 0 ? kStoreRetryFirstMs : std::min(storeRetryMs_ * 2, kStoreRetryMaxMs);
        storeRetry_->start(storeRetryMs_);
        return;
    }
    unstored_.reset();
    storeRetryMs_ = 0;
}

void Form1::resizeEvent(QResizeEvent*) { clientResized(); }

void Form1::clientResized() {
    if (size() == dockedSize_) return;
    dockedSize_ = size();
    dockBands();
    Form_Resize();
}

void Form1::dockBands() {
    const auto tpp = static_cast<float>(twipsPerPixel_);
    const float clientWidth = static_cast<float>(width()) * tpp;
    const float clientHeight = static_cast<float>(height()) * tpp;
    Picture1->place(0, 0, clientWidth, Picture1->Height());
    Picture2->place(0, Picture1->Top() + Picture1->Height(), clientWidth, Picture2->Height());
    Picture3->place(0, clientHeight - Picture3->Height(), clientWidth, Picture3->Height());
}

void Form1::Form_Resize() {
    // A client area too short for the message area leaves it at height 0
    // rather than at a negative height, which no widget can take.
    Picture2->setHeight(std::max(0.0f, Picture3->Top() - Picture2->Top()));
    Label1->setTop((Picture2->Height() - Label1->Height()) / 2);
}

void Form1::Label1_Change() {
    Label1->setTop((Picture2->Height() - Label1->Height()) / 2);
    Label1->setLeft((Picture2->Width() - Label1->Width()) / 2);
}

void Form1::Timer1_Timer() {
    if (TickBusy) return;
    TickBusy = -1;
    Label2->setLeft(Label2->Left() - kTickerStep);
    const float reach = Label2->Width() + Label2->Left();
    if (reach <= 0) Label2->setLeft(Picture1->ScaleWidth());

    // The pump may close the window or even destroy it: after each pump the
    // tick touches nothing more of a window that is gone or going.
    const QPointer<Form1> alive(this);
    pump_();
    if (!alive) return;
    if (!unloaded_) {
        // The main message as it stands now; unchanged, it is not sent again.
        Label1->repaintChanges();
        pump_();
        if (!alive) return;
    }
    TickBusy = 0;
    // In the next pass of the loop, so that the tick's own work is done.
    if (storeAfterTick_ || readAfterTick_) afterTick_->start();
}

void Form1::afterTick() {
    if (storeAfterTick_) storeAfterTick();
    if (readAfterTick_) {
        readAfterTick_ = false;
        tickJustDone_ = true;
        W_DataArrival();
    }
}

void Form1::Command1_Click() { close(); }

void Form1::closeEvent(QCloseEvent* event) {
    if (!unloaded_) Form_Unload();
    event->accept();
}

void Form1::Form_Unload() {
    unloaded_ = true;
    // A message still waiting for its tick or for the settings file's lock
    // gets a last try.
    storeUnstored();
    storeAfterTick_ = false;
    messagesReceived_ += std::exchange(messagesUnstored_, 0);
    storeRetry_->stop();
    if (unstored_) {
        std::cerr << "ecran: closing with the last message not stored: another process still holds the lock of "
                  << profile::settingsFilePath() << "\n";
    }
    (void)ShowCursor(TRUE);
    Timer1->stop();
}

}  // namespace ecran::display
