// caller_popup: opens one port and prints every incoming call.
//   caller_popup [DEVICE]     (default: the platform's device for COM1)
#include <tavro/tavro_m.h>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    tavro::PortMap map;
    if (argc > 1)
        map.insert(QStringLiteral("COM1"), QString::fromLocal8Bit(argv[1]));
    tavro_m control(map);

    QObject::connect(&control, &tavro_m::ReceiveCall,
                     [&out](const QString &port, qint16 callState, CID_INFO &call) {
                         out << port << (callState == 2 ? " call while busy: " : " call: ")
                             << call.lNumber << ' ' << call.lName << " (group " << call.lGroup
                             << ", " << call.lTelType << ")" << Qt::endl;
                     });
    QObject::connect(&control, &tavro_m::HookEvent, [&out](const QString &port, bool lifted) {
        out << port << (lifted ? " handset lifted" : " handset down") << Qt::endl;
    });

    // The link going down (adapter unplugged) is worth a line of its own.
    QObject::connect(&control, &tavro_m::PortStateChanged,
                     [](const QString &port, bool open, const QString &reason) {
                         QTextStream(stderr) << port << (open ? " open (" : " closed (") << reason << ")"
                                             << Qt::endl;
                     });

    QString port = QStringLiteral("COM1"), error;
    if (control.OpenTavro(port, error) != 0) {
        QTextStream(stderr) << "cannot open " << port << ": " << error << Qt::endl;
        return 1;
    }
    out << "waiting for calls on " << control.portMap().value(port) << Qt::endl;
    return app.exec();
}
