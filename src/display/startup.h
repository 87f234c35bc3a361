#pragma once
// What the display settles before its window exists: its command line, where
// its settings live, and how the process runs for months among other
// programs.

#include <optional>

namespace ecran::display {

// Answers --help and --version, refuses any other argument, and stops when
// there is nowhere to keep the settings: the status to exit with (the answer
// or the reason said), or nothing when the display is to run.
[[nodiscard]] std::optional<int> answerBeforeStart(int argc, char** argv);

// Process settings for an unattended display: a reader of stderr that goes
// away costs a line, not the display; freed pixmaps go back to the system;
// without a display server, Qt's offscreen platform. Call before the
// application object exists.
void prepareProcess();

// Installs the labels' face or its stand-in, saying so when neither is
// there. Call once the application object exists.
void installLabelFace();

}  // namespace ecran::display
