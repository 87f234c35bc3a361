#include "display/fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QStringList>

namespace ecran::display {

QString installFontStandIn() {
    if (QFontDatabase::families().contains(kLabelFace)) return kLabelFace;
    QFont::insertSubstitution(kLabelFace, kStandInFace);
    return QFontDatabase::families().contains(kStandInFace) ? kStandInFace : QString();
}

}  // namespace ecran::display
