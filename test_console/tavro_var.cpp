#include "tavro_var.h"

#include <cmath>

std::array<QString, 5> gPortNames;
std::array<QString, 7> gMelodyTitles;
qint16 gHookState = 0;

QString gInputNumber;
QString gInputDate;
QString gInputTime;
QString gMelodyGroup;
QString gMelodyNo;

QString melodyTitleOf(double melodyNo)
{
    if (!std::isfinite(melodyNo))
        return QString();
    // nearbyint follows the default rounding mode: halves go to the even number.
    const double slot = std::nearbyint(melodyNo - 1);
    if (slot < 0 || slot >= double(gMelodyTitles.size()))
        return QString();
    return gMelodyTitles[std::size_t(slot)];
}
