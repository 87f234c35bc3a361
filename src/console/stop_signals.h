#pragma once
// SIGTERM (systemd's stop) and SIGINT end the event loop, read through a
// signalfd on the loop itself: nothing runs inside a signal handler.

#include <QObject>

namespace ecran::console {

// Blocks the two signals for the process and quits the application when one
// comes. False when the signalfd cannot be made (the signals then keep their
// default action).
bool quitOnStopSignals(QObject* parent);

}  // namespace ecran::console
