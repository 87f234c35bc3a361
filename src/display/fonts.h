#pragma once

#include <QString>

namespace ecran::display {

// The face of both labels.
inline const QString kLabelFace = QStringLiteral("Trebuchet MS");

// The face that stands in for "Trebuchet MS" where it is not installed: a
// humanist sans like it, from Debian's fonts-open-sans.
inline const QString kStandInFace = QStringLiteral("Open Sans");

// Registers the stand-in when "Trebuchet MS" is missing; returns the face
// that will be drawn. Call once the application object exists.
QString installFontStandIn();

}  // namespace ecran::display
