#include "options.h"

#include "mqtt_publisher.h"
#include "option_table.h"
#include "pg_store.h"

#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

#include <unistd.h>

namespace tavrod {

namespace {

using tavro::tools::OptionRow;
using tavro::tools::OptionTable;

QString str(const char *text)
{
    return QString::fromUtf8(text);
}

// One row per option: the parser, --help, the man-page check and the INI
// keys all read this table.
OptionTable makeTable()
{
    const Options defaults;
    return OptionTable(
        str("The caller-ID service: keeps the terminal's ports open, stores every event and serves them over HTTP "
          "and WebSocket."),
        {
            {str("map"), str("COMn=PATH"), {}, str("Device for a port name (repeatable), e.g. COM1=/dev/ttyUSB0."), str("map")},
            {str("open"), str("COMn"), {}, str("Port to keep open (repeatable; default: every mapped port)."), str("open")},
            {str("listen"), str("ADDR:PORT"), str("127.0.0.1:8080"), str("HTTP address."), str("listen")},
            {str("allowed-host"), str("NAME"), {},
             str("Host name the HTTP server answers to besides loopback and this machine's names and addresses "
               "(repeatable)."),
             str("allowed-host")},
            {str("db"), str("PATH|URI"), {},
             str("SQLite file of the event store, or a PostgreSQL database shared by many sites: "
               "postgresql://USER@HOST/DB (libpq URI)."),
             str("db")},
            {str("spool"), str("PATH"), {},
             str("With a PostgreSQL --db: SQLite file where events wait while the database is unreachable "
               "(default: spool.db in the data folder)."),
             str("spool")},
            {str("token-file"), str("PATH"), {},
             str("File whose first line is the API token; created with a random token when missing."), str("token-file")},
            {str("site"), str("NAME"), {}, str("Name of this site (default: host name)."), str("site")},
            {str("on-call"), str("CMD"), {},
             str("Command run for every stored call with its JSON on standard input, without a shell (repeatable); "
               "split at blanks, double quotes group words."),
             str("on-call")},
            {str("on-call-arg"), str("ARG"), {},
             str("One more argument word, taken as it is, for the --on-call before it (repeatable): --on-call sh "
               "--on-call-arg -c --on-call-arg 'SCRIPT'."),
             {}},
            {str("hook-timeout"), str("SECONDS"), QString::number(defaults.hookTimeoutMs / 1000),
             str("Seconds a hook may run."), str("hook-timeout")},
            {str("ring-window"), str("SECONDS"), QString::number(defaults.ringWindowMs / 1000),
             str("Seconds a call may ring before it counts as missed."), str("ring-window")},
            {str("max-connections"), str("N"), QString::number(defaults.maxConnections), str("HTTP connections at once."),
             str("max-connections")},
            {str("max-connections-per-peer"), str("N"), {},
             str("HTTP connections at once from one address, all of 127.0.0.0/8 counting as one (default: half of "
               "--max-connections)."),
             str("max-connections-per-peer")},
            {str("max-stream-clients"), str("N"), QString::number(defaults.maxStreamClients),
             str("WebSocket clients at once."), str("max-stream-clients")},
            {str("config"), str("FILE"), {}, str("INI file with the same keys; the command line wins."), {}},
            {str("mqtt"), str("URL"), {},
             str("Publish the events to an MQTT broker, with Home Assistant discovery: "
               "mqtt://[USER[:PASS]@]HOST[:PORT][/PREFIX] (mqtts:// for TLS; default prefix tavro)."),
             str("mqtt")},
            {str("mqtt-password-file"), str("PATH"), {}, str("File whose first line is the broker's password."),
             str("mqtt-password-file")},
            {str("mqtt-ca"), str("PATH"), {}, str("CA certificate (PEM) of an mqtts:// broker (default: the system's)."),
             str("mqtt-ca")},
        });
}

bool isPortName(const QString &name)
{
    return name == u"COM1" || name == u"COM2" || name == u"COM3" || name == u"COM4";
}

// The command line wins over the file; a list on the command line replaces
// the file's list rather than adding to it.
class Layered
{
public:
    Layered(const OptionTable &table, const QSettings *file) : m_table(table), m_file(file) {}
    bool isSet(const QString &name) const { return m_table.isSet(name); }
    bool has(const QString &name) const { return m_table.isSet(name) || inFile(name); }
    QString value(const QString &name, const QString &fallback = QString()) const
    {
        if (m_table.isSet(name))
            return m_table.value(name);
        if (inFile(name))
            return m_file->value(m_table.configKey(name)).toStringList().join(u',');
        return fallback;
    }
    QStringList values(const QString &name) const
    {
        if (m_table.isSet(name))
            return m_table.values(name);
        if (inFile(name))
            return m_file->value(m_table.configKey(name)).toStringList();
        return {};
    }

private:
    bool inFile(const QString &name) const
    {
        const QString key = m_table.configKey(name);
        return m_file && !key.isEmpty() && m_file->contains(key);
    }

    const OptionTable &m_table;
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

namespace {

// --help, --version and stray words; Run when the options are to be read.
ParseResult readCommandLine(OptionTable &table, const QStringList &arguments, QString *message)
{
    if (!table.parse(arguments)) {
        *message = table.errorText();
        return ParseResult::Error;
    }
    if (table.isSet(str("help")) || table.isSet(str("help-all"))) {
        *message = table.helpText();
        return ParseResult::ExitOk;
    }
    if (table.isSet(str("version"))) {
        *message = QStringLiteral("tavrod " TAVROD_VERSION "\n");
        return ParseResult::ExitOk;
    }
    if (!table.positionalArguments().isEmpty()) {
        *message = QStringLiteral("unexpected argument \"%1\"").arg(table.positionalArguments().first());
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

bool openConfig(const OptionTable &table, std::unique_ptr<QSettings> *file, QString *message)
{
    if (!table.isSet(str("config")))
        return true;
    const QString path = table.value(str("config"));
    if (!QFileInfo(path).isReadable()) {
        *message = QStringLiteral("cannot read the configuration file %1").arg(path);
        return false;
    }
    *file = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if ((*file)->status() != QSettings::NoError) {
        *message = QStringLiteral("the configuration file %1 is not valid INI").arg(path);
        return false;
    }
    return true;
}

bool readPorts(const Layered &in, Options *out, QString *message)
{
    for (const QString &entry : in.values(str("map"))) {
        if (!tavro::parsePortMapEntry(entry.trimmed(), out->portMap, message)) {
            *message = QStringLiteral("--map: ") + *message;
            return false;
        }
    }
    out->openPorts = in.values(str("open"));
    for (QString &port : out->openPorts) {
        port = port.trimmed();
        if (!isPortName(port)) {
            *message = QStringLiteral("--open expects COM1..COM4, not \"%1\"").arg(port);
            return false;
        }
    }
    // Without --map every port keeps its default device (/dev/ttyS0..3).
    if (out->openPorts.isEmpty()) {
        out->openPorts =
            out->portMap.isEmpty() ? QStringList{"COM1", "COM2", "COM3", "COM4"} : out->portMap.keys();
    }
    out->openPorts.removeDuplicates();
    return true;
}

bool readHttp(const Layered &in, Options *out, QString *message)
{
    if (in.has(str("listen")) && !parseListen(in.value(str("listen")), &out->listenAddress, &out->listenPort)) {
        *message = QStringLiteral("--listen expects ADDR:PORT, not \"%1\"").arg(in.value(str("listen")));
        return false;
    }
    for (const QString &name : in.values(str("allowed-host")))
        out->allowedHosts << name.trimmed();
    return true;
}

bool readStore(const Layered &in, Options *out, QString *message)
{
    out->dbPath = in.value(str("db"), defaultDbPath());
    // The data folder holds the token (and the spool); with a database URI
    // it is the default one.
    const QDir dataDir = QFileInfo(isPostgresUrl(out->dbPath) ? defaultDbPath() : out->dbPath).dir();
    if (isPostgresUrl(out->dbPath)) {
        PgTarget target;
        if (!parsePostgresUrl(out->dbPath, &target, message)) {
            *message = QStringLiteral("--db: %1").arg(*message);
            return false;
        }
    }
    out->spoolPath = in.value(str("spool"), dataDir.filePath(QStringLiteral("spool.db")));
    out->tokenFileExplicit = in.has(str("token-file"));
    out->tokenFile = in.value(str("token-file"), dataDir.filePath(QStringLiteral("token")));
    out->site = in.value(str("site"), QHostInfo::localHostName());
    return true;
}

// A count option when it is given; *out keeps its default otherwise.
bool readCount(const Layered &in, const QString &name, int max, int *out, QString *message)
{
    if (in.has(name) && !parseCount(in.value(name), 1, max, out)) {
        *message = QStringLiteral("--%1 expects 1..%2").arg(name).arg(max);
        return false;
    }
    return true;
}

bool readLimits(const Layered &in, Options *out, QString *message)
{
    int seconds = out->hookTimeoutMs / 1000;
    if (in.has(str("hook-timeout")) && !parseCount(in.value(str("hook-timeout")), 1, 3600, &seconds)) {
        *message = QStringLiteral("--hook-timeout expects 1..3600 seconds");
        return false;
    }
    out->hookTimeoutMs = seconds * 1000;
    int ringSeconds = out->ringWindowMs / 1000;
    if (in.has(str("ring-window")) && !parseCount(in.value(str("ring-window")), 1, 3600, &ringSeconds)) {
        *message = QStringLiteral("--ring-window expects 1..3600 seconds");
        return false;
    }
    out->ringWindowMs = ringSeconds * 1000;
    return readCount(in, str("max-connections"), 100000, &out->maxConnections, message)
           && readCount(in, str("max-connections-per-peer"), 100000, &out->maxConnectionsPerPeer, message)
           && readCount(in, str("max-stream-clients"), 100000, &out->maxStreamClients, message);
}

bool readMqtt(const Layered &in, Options *out, QString *message)
{
    if (in.has(str("mqtt"))) {
        out->mqttUrl = in.value(str("mqtt"));
        MqttTarget target;
        if (!parseMqttUrl(out->mqttUrl, &target, message)) {
            *message = QStringLiteral("--mqtt: %1").arg(*message);
            return false;
        }
    }
    if (in.has(str("mqtt-password-file"))) {
        QFile passwordFile(in.value(str("mqtt-password-file")));
        if (!passwordFile.open(QIODevice::ReadOnly)) {
            *message = QStringLiteral("--mqtt-password-file: cannot read %1").arg(passwordFile.fileName());
            return false;
        }
        out->mqttPassword = QString::fromUtf8(passwordFile.readLine()).trimmed();
    }
    if (!out->mqttPassword.isEmpty() && !out->mqttUrl.contains(u'@')) {
        *message = QStringLiteral("--mqtt-password-file needs a user in the --mqtt URL (mqtt://USER@HOST)");
        return false;
    }
    out->mqttCaFile = in.value(str("mqtt-ca"));
    if (!out->mqttCaFile.isEmpty() && !QFileInfo(out->mqttCaFile).isReadable()) {
        *message = QStringLiteral("--mqtt-ca: cannot read %1").arg(out->mqttCaFile);
        return false;
    }
    return true;
}

} // namespace

ParseResult parseOptions(const QStringList &arguments, Options *options, QString *message)
{
    OptionTable table = makeTable();
    const ParseResult commandLine = readCommandLine(table, arguments, message);
    if (commandLine != ParseResult::Run)
        return commandLine;
    std::unique_ptr<QSettings> file;
    if (!openConfig(table, &file, message))
        return ParseResult::Error;
    const Layered in(table, file.get());

    Options out;
    if (!readPorts(in, &out, message) || !readHttp(in, &out, message) || !readStore(in, &out, message))
        return ParseResult::Error;
    const QStringList hooksFromFile = in.isSet(str("on-call")) ? QStringList() : in.values(str("on-call"));
    if (!hookCommands(arguments, hooksFromFile, &out.onCall, message) || !readLimits(in, &out, message)
        || !readMqtt(in, &out, message))
        return ParseResult::Error;

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
