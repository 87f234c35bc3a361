#pragma once
// SIGTERM, SIGINT and SIGHUP close the window the same way as its close
// button, so the unload handler runs and the program ends with status 0.
// SIGHUP comes when the terminal or session that started the display goes
// away; by default it would kill the display without its unload.

#include <QObject>
#include <QSocketNotifier>

namespace ecran::display {

class CloseSignals : public QObject {
    Q_OBJECT

public:
    // Installs the handlers; `target` is closed when a signal arrives.
    explicit CloseSignals(QWidget* target);
    ~CloseSignals() override;

private:
    QWidget* target_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace ecran::display
