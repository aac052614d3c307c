// tavrod's settings: the command line, an optional INI file (--config) under
// it, and the defaults under both.
#ifndef TAVROD_OPTIONS_H
#define TAVROD_OPTIONS_H

#include "tavro/tavro_m.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

namespace tavrod {

struct Options
{
    tavro::PortMap portMap;      // only the --map entries; the rest keeps the library default
    QStringList openPorts;       // the ports kept open; default: every mapped port (all four without --map)
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 listenPort = 8080;
    QStringList allowedHosts;    // Host names answered besides loopback and the machine's own
    QString dbPath;              // a SQLite file, or a postgresql:// URI shared by many sites
    QString spoolPath;           // with a shared database: where events wait while it is unreachable
    QString tokenFile;
    bool tokenFileExplicit = false;
    QString site;
    QList<QStringList> onCall;   // each hook's program and arguments (--on-call split, plus its --on-call-arg words)
    int hookTimeoutMs = 10000;
    int hookParallel = 4;
    int maxConnections = 256;
    int maxConnectionsPerPeer = 0; // 0: half of maxConnections
    int maxStreamClients = 1000;
    int maxQueuedCalls = 64;     // POST /api/call waiting for their turn
    QString mqttUrl;             // mqtt[s]://[USER[:PASS]@]HOST[:PORT][/PREFIX]; empty: no broker
    QString mqttPassword;        // from --mqtt-password-file, over the URL's
    QString mqttCaFile;          // --mqtt-ca, for mqtts://
    int ringWindowMs = 45000;    // a call not picked up within it is missed
};

enum class ParseResult { Run, ExitOk, Error };

// Fills options from the arguments (argv[0] first). For ExitOk, *message is
// the help or version text for stdout; for Error, the reason for stderr.
ParseResult parseOptions(const QStringList &arguments, Options *options, QString *message);

// "127.0.0.1:8080", "[::1]:8080", "localhost:80", ":8080" (loopback).
bool parseListen(const QString &text, QHostAddress *address, quint16 *port);

// The default store: $STATE_DIRECTORY (systemd), /var/lib/tavro for root,
// otherwise the user's data folder.
QString defaultDbPath();

} // namespace tavrod

#endif
