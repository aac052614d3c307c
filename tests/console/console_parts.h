// Reaches the console's widgets the way the operator knows them: by name.
#ifndef TAVRO_TESTS_CONSOLE_PARTS_H
#define TAVRO_TESTS_CONSOLE_PARTS_H

#include "frmDebug.h"

#include <QApplication>
#include <QLabel>
#include <QObject>

template <typename T>
T *part(const QObject &owner, const char *name)
{
    return owner.findChild<T *>(QLatin1String(name));
}

// Member `index` of a dialog's label array Label1.
inline QLabel *label1(const QObject &dialog, std::size_t index)
{
    for (QLabel *label : dialog.findChildren<QLabel *>(QStringLiteral("Label1"))) {
        if (label->property("index").toUInt() == index)
            return label;
    }
    return nullptr;
}

// The debug window: a top-level window of its own, or null.
inline frmDebug *debugWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *debug = qobject_cast<frmDebug *>(w))
            return debug;
    }
    return nullptr;
}

#endif // TAVRO_TESTS_CONSOLE_PARTS_H
