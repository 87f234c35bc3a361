#pragma once
// Form1: the one full-screen window of the display, its controls, its event
// handlers, and Affichage, the message interpreter.
//
// Client area, top to bottom: the ticker band Picture1 (black, pixel scale)
// with the ticker text Label2 scrolling in it; the message area Picture2
// (button face, twips) with the main message Label1 centred in it and the
// close button Command1 in its top-left corner; the bottom line Picture3.

#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUdpSocket>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "display/label.h"
#include "display/picture_box.h"
#include "display/sender_filter.h"
#include "errors/error.h"
#include "profile/settings_file.h"

namespace ecran::display {

// The profile file that holds the port and the last message.
inline constexpr const char* kProfileFile = profile::kSettingsFile;

// Why start-up could not bring the display up: one line for the operator.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Form1 : public QWidget {
    Q_OBJECT

public:
    // Creates the window with every control in its design state; the ticker
    // clock runs from here. Nothing is read or bound yet: that is Form_Load.
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up: covers the screen, reads (and seeds) the port, reads who may
    // write to the screen ([ecran] listen and allow, never seeded), binds the
    // socket, replays the last message. Throws StartupError when the display
    // cannot listen or cannot read those keys; a stored message that cannot
    // be shown is reported on stderr and skipped.
    void Form_Load();

    // The message interpreter: a plain message becomes the main message; 0xFF
    // "1" replaces the ticker text; 0xFF "2" sets the main message's colour.
    // Throws errors::Error for a colour it refuses (380) or a number that
    // overflows (6); nothing has changed on screen then.
    void Affichage(const std::string& message);

    // The road of one message, whatever brought it (a datagram, a fleet
    // command): Affichage in continue-on-error mode, then the store, so that
    // a restart replays the last message whatever its road. `source` says
    // where it came from ("udp 192.0.2.7:5000", "mqtt ecran/all/text").
    // `store` false skips the store for a message that a later one of the
    // same batch replaces at once, as a batch of datagrams does.
    void arrive(const std::string& message, const QString& source, bool store = true);

    // The handlers, public so that tests can raise them as the platform does.
    // The socket has no Connect handler: a datagram socket never completes
    // an outgoing connection, and the display never asks for one.
    void Form_Resize();
    void Label1_Change();
    void Timer1_Timer();
    void Command1_Click();
    void W_DataArrival();

    // Twips per pixel of the screen the window is on (15 at 96 dpi).
    [[nodiscard]] double twipsPerPixel() const noexcept { return twipsPerPixel_; }
    // The UDP port the socket is bound to (0 before Form_Load).
    [[nodiscard]] quint16 boundPort() const noexcept;
    [[nodiscard]] std::int32_t label1ForeColorNumber() const noexcept { return label1ForeColor_; }
    [[nodiscard]] bool tickBusy() const noexcept { return TickBusy != 0; }
    [[nodiscard]] bool unloaded() const noexcept { return unloaded_; }
    // How many datagrams were shown and their store tried: a datagram's
    // message is stored just after the next tick (see storeLastMessage), and
    // counted then.
    [[nodiscard]] std::uint64_t messagesReceived() const noexcept { return messagesReceived_; }
    // How many datagrams were dropped because their sender is not allowed.
    [[nodiscard]] std::uint64_t datagramsRefused() const noexcept { return datagramsRefused_; }
    // Where the socket listens and whom it takes datagrams from, for the
    // start-up line: "all interfaces", or the listen address, then the
    // allowed senders when a list is set.
    [[nodiscard]] std::string listeningOn() const;

    // The event pump the tick runs; replaceable so a test can act inside it.
    void setEventPump(std::function<void()> pump) { pump_ = std::move(pump); }

    // The controls, by their design names.
    PictureBox* Picture1;  // ticker band
    PictureBox* Picture2;  // message area
    PictureBox* Picture3;  // bottom line
    Label* Label1;         // main message
    Label* Label2;         // ticker text
    QPushButton* Command1; // close button
    QTimer* Timer1;        // ticker clock
    QUdpSocket* W;         // message socket

signals:
    // After each message that Affichage took (a refused one changes nothing
    // and raises nothing), with the source given to arrive.
    void messageApplied(const QString& source);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Unload();
    void dockBands();
    void clientResized();
    void bindSocket(std::int32_t port, const std::string& portText);
    void storeLastMessage(const std::string& message, std::uint64_t messages = 0);
    void storeAfterTick();
    void afterTick();
    void readSenderSettings();
    [[nodiscard]] bool admit(const QHostAddress& sender);
    void storeUnstored();
    // Affichage as one step of the caller's continue-on-error operation,
    // then messageApplied when it took the message.
    void apply(errors::ContinueOnError& mode, const std::string& message, const std::function<QString()>& source);

    double twipsPerPixel_;
    std::int16_t TickBusy = 0;
    bool unloaded_ = false;
    std::int32_t label1ForeColor_ = 0;
    QSize dockedSize_;
    std::function<void()> pump_;
    QTimer* drain_;  // resumes reading a flood after the event loop's turn
    std::uint64_t messagesReceived_ = 0;
    std::optional<QHostAddress> listen_;  // none: every interface, IPv4 and IPv6
    SenderFilter allowed_;
    DropReport drops_;
    std::uint64_t datagramsRefused_ = 0;
    // The newest message not stored yet because another process held the
    // settings file's lock, and the timer that tries again.
    std::optional<std::string> unstored_;
    QTimer* storeRetry_;
    int storeRetryMs_ = 0;  // the pause before the pending retry; 0 when none is pending
    QTimer* afterTick_;  // runs what waits for the end of a tick
    // A message shown and waiting for the end of the next tick to be stored,
    // and how many datagrams it stands for (counted once the store is tried).
    bool storeAfterTick_ = false;
    std::uint64_t messagesUnstored_ = 0;
    bool readAfterTick_ = false;  // a large datagram waits for the tick that is due
    bool tickJustDone_ = false;   // and is read right after it
};

}  // namespace ecran::display
