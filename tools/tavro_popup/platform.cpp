#include "platform.h"

#include <QFileInfo>

namespace popup {

QString missingDisplay(const QStringList &arguments)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == u"-platform" || arguments.at(i) == u"--platform")
            platforms = arguments.at(i + 1);
    }
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    // A Wayland client finds the compositor's default socket without the variable.
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || (!runtimeDir.isEmpty() && QFileInfo::exists(runtimeDir + QStringLiteral("/wayland-0")));
    if (platforms.isEmpty())
        return x11 || wayland ? QString() : QStringLiteral("DISPLAY, WAYLAND_DISPLAY");
    QStringList missing;
    for (const QString &entry : platforms.split(u';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(u':', 0, 0);
        if (name == u"xcb" && !x11)
            missing << QStringLiteral("DISPLAY");
        else if (name.startsWith(u"wayland") && !wayland)
            missing << QStringLiteral("WAYLAND_DISPLAY");
        else
            return QString();
    }
    return missing.join(QStringLiteral(", "));
#else
    Q_UNUSED(arguments);
    return QString();
#endif
}

} // namespace popup
