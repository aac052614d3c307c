#include "options.h"

#include "mqtt_publisher.h"
#include "pg_store.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <unistd.h>

namespace tavrod {

namespace {

bool isPortName(const QString &name)
{
    return name == u"COM1" || name == u"COM2" || name == u"COM3" || name == u"COM4";
}

// The command line wins over the file; a list on the command line replaces
// the file's list rather than adding to it.
class Layered
{
public:
    Layered(const QCommandLineParser &parser, const QSettings *file)
        : m_parser(parser), m_file(file)
    {
    }
    bool has(const QCommandLineOption &option) const
    {
        return m_parser.isSet(option) || (m_file && m_file->contains(option.names().first()));
    }
    QString value(const QCommandLineOption &option, const QString &fallback = QString()) const
    {
        if (m_parser.isSet(option))
            return m_parser.value(option);
        if (m_file && m_file->contains(option.names().first()))
            return m_file->value(option.names().first()).toStringList().join(u',');
        return fallback;
    }
    QStringList values(const QCommandLineOption &option) const
    {
        if (m_parser.isSet(option))
            return m_parser.values(option);
        if (m_file)
            return m_file->value(option.names().first()).toStringList();
        return {};
    }

private:
    const QCommandLineParser &m_parser;
    const QSettings *m_file;
};

bool parseCount(const QString &text, int min, int max, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return false;
    *out = value;
    return true;
}

// --on-call CMD is split like a command line without a shell (quotes group
// words); each --on-call-arg ARG adds one word, as it stands, to the
// --on-call before it, so `sh -c SCRIPT` needs no quoting rules of ours.
bool hookCommands(const QStringList &arguments, const QStringList &fromFile, QList<QStringList> *out,
                  QString *message)
{
    static const QString command = QStringLiteral("--on-call"), word = QStringLiteral("--on-call-arg");
    for (qsizetype i = 1; i < arguments.size() && arguments[i] != u"--"; ++i) {
        const QString &argument = arguments[i];
        const bool isCommand = argument == command || argument.startsWith(command + u'=');
        const bool isWord = argument == word || argument.startsWith(word + u'=');
        if (!isCommand && !isWord)
            continue;
        const qsizetype equals = argument.indexOf(u'=');
        const QString value = equals >= 0 ? argument.mid(equals + 1) : arguments.value(++i);
        if (isCommand) {
            out->append(QProcess::splitCommand(value));
        } else if (out->isEmpty()) {
            *message = QStringLiteral("--on-call-arg adds a word to the --on-call before it; there is none");
            return false;
        } else {
            out->last().append(value);
        }
    }
    if (out->isEmpty()) {
        for (const QString &text : fromFile)
            out->append(QProcess::splitCommand(text));
    }
    out->removeIf([](const QStringList &argv) { return argv.isEmpty(); });
    return true;
}

} // namespace

bool parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon < 0)
        return false;
    QString host = text.left(colon);
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty() || host == u"localhost") {
        *address = QHostAddress::LocalHost;
    } else if (!address->setAddress(host)) {
        return false;
    }
    *port = quint16(number);
    return true;
}

QString defaultDbPath()
{
    const QString state = qEnvironmentVariable("STATE_DIRECTORY");
    if (!state.isEmpty())
        return QDir(state.section(u':', 0, 0)).filePath(QStringLiteral("tavrod.db"));
    if (::geteuid() == 0)
        return QStringLiteral("/var/lib/tavro/tavrod.db");
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("tavro/tavrod.db"));
}

ParseResult parseOptions(const QStringList &arguments, Options *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The caller-ID service: keeps the terminal's ports open, stores every event and "
        "serves them over HTTP and WebSocket."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    const QCommandLineOption map(QStringLiteral("map"),
                                 QStringLiteral("Device for a port name (repeatable), e.g. COM1=/dev/ttyUSB0."),
                                 QStringLiteral("COMn=PATH"));
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Port to keep open (repeatable; default: every mapped port)."),
                                  QStringLiteral("COMn"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("HTTP address (default 127.0.0.1:8080)."),
                                    QStringLiteral("ADDR:PORT"));
    const QCommandLineOption allowedHost(QStringLiteral("allowed-host"),
                                         QStringLiteral("Host name the HTTP server answers to besides loopback and "
                                                        "this machine's names and addresses (repeatable)."),
                                         QStringLiteral("NAME"));
    const QCommandLineOption db(QStringLiteral("db"),
                                QStringLiteral("SQLite file of the event store, or a PostgreSQL database shared "
                                               "by many sites: postgresql://USER@HOST/DB (libpq URI)."),
                                QStringLiteral("PATH|URI"));
    const QCommandLineOption spool(QStringLiteral("spool"),
                                   QStringLiteral("With a PostgreSQL --db: SQLite file where events wait while the "
                                                  "database is unreachable (default: spool.db in the data folder)."),
                                   QStringLiteral("PATH"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"),
                                       QStringLiteral("File whose first line is the API token; "
                                                      "created with a random token when missing."),
                                       QStringLiteral("PATH"));
    const QCommandLineOption site(QStringLiteral("site"), QStringLiteral("Name of this site (default: host name)."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption onCall(QStringLiteral("on-call"),
                                    QStringLiteral("Command run for every stored call with its JSON on "
                                                   "standard input, without a shell (repeatable); split at "
                                                   "blanks, double quotes group words."),
                                    QStringLiteral("CMD"));
    const QCommandLineOption onCallArg(QStringLiteral("on-call-arg"),
                                       QStringLiteral("One more argument word, taken as it is, for the --on-call "
                                                      "before it (repeatable): --on-call sh --on-call-arg -c "
                                                      "--on-call-arg 'SCRIPT'."),
                                       QStringLiteral("ARG"));
    const QCommandLineOption hookTimeout(QStringLiteral("hook-timeout"),
                                         QStringLiteral("Seconds a hook may run (default 10)."),
                                         QStringLiteral("SECONDS"));
    const QCommandLineOption maxConnections(QStringLiteral("max-connections"),
                                            QStringLiteral("HTTP connections at once (default 256)."),
                                            QStringLiteral("N"));
    const QCommandLineOption maxPerPeer(QStringLiteral("max-connections-per-peer"),
                                        QStringLiteral("HTTP connections at once from one address, all of "
                                                       "127.0.0.0/8 counting as one (default: half of "
                                                       "--max-connections)."),
                                        QStringLiteral("N"));
    const QCommandLineOption maxStreamClients(QStringLiteral("max-stream-clients"),
                                              QStringLiteral("WebSocket clients at once (default 1000)."),
                                              QStringLiteral("N"));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("INI file with the same keys; the command line wins."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption mqtt(QStringLiteral("mqtt"),
                                  QStringLiteral("Publish the events to an MQTT broker, with Home Assistant "
                                                 "discovery: mqtt://[USER[:PASS]@]HOST[:PORT][/PREFIX] "
                                                 "(mqtts:// for TLS; default prefix tavro)."),
                                  QStringLiteral("URL"));
    const QCommandLineOption mqttPasswordFile(QStringLiteral("mqtt-password-file"),
                                              QStringLiteral("File whose first line is the broker's password."),
                                              QStringLiteral("PATH"));
    const QCommandLineOption mqttCa(QStringLiteral("mqtt-ca"),
                                    QStringLiteral("CA certificate (PEM) of an mqtts:// broker "
                                                   "(default: the system's)."),
                                    QStringLiteral("PATH"));
    parser.addOptions({help, version, map, open, listen, allowedHost, db, spool, tokenFile, site, onCall, onCallArg,
                       hookTimeout, maxConnections, maxPerPeer, maxStreamClients, config});
    parser.addOptions({mqtt, mqttPasswordFile, mqttCa});
    const QCommandLineOption ringWindow(QStringLiteral("ring-window"),
                                        QStringLiteral("Seconds a call may ring before it counts as missed "
                                                       "(default 45)."),
                                        QStringLiteral("SECONDS"));
    parser.addOption(ringWindow);

    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return ParseResult::Error;
    }
    if (parser.isSet(help)) {
        *message = parser.helpText();
        return ParseResult::ExitOk;
    }
    if (parser.isSet(version)) {
        *message = QStringLiteral("tavrod " TAVROD_VERSION "\n");
        return ParseResult::ExitOk;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return ParseResult::Error;
    }

    std::unique_ptr<QSettings> file;
    if (parser.isSet(config)) {
        const QString path = parser.value(config);
        if (!QFileInfo(path).isReadable()) {
            *message = QStringLiteral("cannot read the configuration file %1").arg(path);
            return ParseResult::Error;
        }
        file = std::make_unique<QSettings>(path, QSettings::IniFormat);
        if (file->status() != QSettings::NoError) {
            *message = QStringLiteral("the configuration file %1 is not valid INI").arg(path);
            return ParseResult::Error;
        }
    }
    const Layered in(parser, file.get());

    Options out;
    for (const QString &entry : in.values(map)) {
        if (!tavro::parsePortMapEntry(entry.trimmed(), out.portMap, message)) {
            *message = QStringLiteral("--map: ") + *message;
            return ParseResult::Error;
        }
    }
    out.openPorts = in.values(open);
    for (QString &port : out.openPorts) {
        port = port.trimmed();
        if (!isPortName(port)) {
            *message = QStringLiteral("--open expects COM1..COM4, not \"%1\"").arg(port);
            return ParseResult::Error;
        }
    }
    // Without --map every port keeps its default device (/dev/ttyS0..3).
    if (out.openPorts.isEmpty()) {
        out.openPorts = out.portMap.isEmpty() ? QStringList{"COM1", "COM2", "COM3", "COM4"} : out.portMap.keys();
    }
    out.openPorts.removeDuplicates();

    if (in.has(listen) && !parseListen(in.value(listen), &out.listenAddress, &out.listenPort)) {
        *message = QStringLiteral("--listen expects ADDR:PORT, not \"%1\"").arg(in.value(listen));
        return ParseResult::Error;
    }
    for (const QString &name : in.values(allowedHost))
        out.allowedHosts << name.trimmed();
    out.dbPath = in.value(db, defaultDbPath());
    // The data folder holds the token (and the spool); with a database URI
    // it is the default one.
    const QDir dataDir = QFileInfo(isPostgresUrl(out.dbPath) ? defaultDbPath() : out.dbPath).dir();
    if (isPostgresUrl(out.dbPath)) {
        PgTarget target;
        if (!parsePostgresUrl(out.dbPath, &target, message)) {
            *message = QStringLiteral("--db: %1").arg(*message);
            return ParseResult::Error;
        }
    }
    out.spoolPath = in.value(spool, dataDir.filePath(QStringLiteral("spool.db")));
    out.tokenFileExplicit = in.has(tokenFile);
    out.tokenFile = in.value(tokenFile, dataDir.filePath(QStringLiteral("token")));
    out.site = in.value(site, QHostInfo::localHostName());
    if (!hookCommands(arguments, parser.isSet(onCall) ? QStringList() : in.values(onCall), &out.onCall, message))
        return ParseResult::Error;

    int seconds = out.hookTimeoutMs / 1000;
    if (in.has(hookTimeout) && !parseCount(in.value(hookTimeout), 1, 3600, &seconds)) {
        *message = QStringLiteral("--hook-timeout expects 1..3600 seconds");
        return ParseResult::Error;
    }
    out.hookTimeoutMs = seconds * 1000;
    int ringSeconds = out.ringWindowMs / 1000;
    if (in.has(ringWindow) && !parseCount(in.value(ringWindow), 1, 3600, &ringSeconds)) {
        *message = QStringLiteral("--ring-window expects 1..3600 seconds");
        return ParseResult::Error;
    }
    out.ringWindowMs = ringSeconds * 1000;
    if (in.has(maxConnections) && !parseCount(in.value(maxConnections), 1, 100000, &out.maxConnections)) {
        *message = QStringLiteral("--max-connections expects 1..100000");
        return ParseResult::Error;
    }
    if (in.has(maxPerPeer) && !parseCount(in.value(maxPerPeer), 1, 100000, &out.maxConnectionsPerPeer)) {
        *message = QStringLiteral("--max-connections-per-peer expects 1..100000");
        return ParseResult::Error;
    }
    if (in.has(maxStreamClients)
        && !parseCount(in.value(maxStreamClients), 1, 100000, &out.maxStreamClients)) {
        *message = QStringLiteral("--max-stream-clients expects 1..100000");
        return ParseResult::Error;
    }

    if (in.has(mqtt)) {
        out.mqttUrl = in.value(mqtt);
        MqttTarget target;
        if (!parseMqttUrl(out.mqttUrl, &target, message)) {
            *message = QStringLiteral("--mqtt: %1").arg(*message);
            return ParseResult::Error;
        }
    }
    if (in.has(mqttPasswordFile)) {
        QFile passwordFile(in.value(mqttPasswordFile));
        if (!passwordFile.open(QIODevice::ReadOnly)) {
            *message = QStringLiteral("--mqtt-password-file: cannot read %1").arg(passwordFile.fileName());
            return ParseResult::Error;
        }
        out.mqttPassword = QString::fromUtf8(passwordFile.readLine()).trimmed();
    }
    if (!out.mqttPassword.isEmpty() && !out.mqttUrl.contains(u'@')) {
        *message = QStringLiteral("--mqtt-password-file needs a user in the --mqtt URL (mqtt://USER@HOST)");
        return ParseResult::Error;
    }
    out.mqttCaFile = in.value(mqttCa);
    if (!out.mqttCaFile.isEmpty() && !QFileInfo(out.mqttCaFile).isReadable()) {
        *message = QStringLiteral("--mqtt-ca: cannot read %1").arg(out.mqttCaFile);
        return ParseResult::Error;
    }

    // Anyone who reaches a non-loopback address could use the API; that has
    // to be a decision, so a generated token in a default place is not enough.
    if (!out.listenAddress.isLoopback() && !out.tokenFileExplicit) {
        *message = QStringLiteral("listening on %1 (not loopback) needs an explicit --token-file")
                       .arg(out.listenAddress.toString());
        return ParseResult::Error;
    }
    *options = out;
    return ParseResult::Run;
}

} // namespace tavrod
