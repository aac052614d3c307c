// What differs between operating systems, kept in one place.
#ifndef TAVRO_POPUP_PLATFORM_H
#define TAVRO_POPUP_PLATFORM_H

#include <QString>
#include <QStringList>

namespace popup {

// The window-system variables that are missing for the platform Qt would
// load; empty when it can start (always on Windows and macOS).
QString missingDisplay(const QStringList &arguments);

} // namespace popup

#endif
