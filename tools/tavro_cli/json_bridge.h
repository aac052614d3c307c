// The JSON-lines face of one tavro_m control: a request object becomes a
// call of the control and one answer object; every signal of the control
// becomes one event object. Lines leave through a sink, one JSON object
// each, UTF-8, without the line end.
#ifndef TAVRO_CLI_JSON_BRIDGE_H
#define TAVRO_CLI_JSON_BRIDGE_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>

#include <functional>

class tavro_m;
struct CID_INFO;

namespace tavro::cli {

class JsonBridge : public QObject
{
    Q_OBJECT

public:
    using Sink = std::function<void(const QByteArray &line)>;

    JsonBridge(tavro_m &control, Sink sink, QObject *parent = nullptr);

    // Without debug output the DebugMsg and ReceiveReal events are left out.
    void setDebugEnabled(bool enabled) { m_debug = enabled; }

    // One input line: parses it, runs the call and writes its answer (or an
    // error line). Never throws; may run nested while a SendCmd waits.
    void handleLine(const QByteArray &line);

    // Runs one request that is already an object and writes its answer.
    void handleRequest(const QJsonObject &request);

    // Runs one request and returns its answer without writing it.
    QJsonObject call(const QJsonObject &request);

    // Writes an error line that belongs to no call.
    void reportError(const QString &text);

    // True once a "quit" call has been answered.
    bool quitRequested() const { return m_quit; }

    // Closes COM1..COM4 (what is open), as at the end of input.
    void closeAllPorts();

    // The JSON form of one caller record.
    static QJsonObject recordToJson(const CID_INFO &info);

private:
    void write(const QJsonObject &object);
    void connectEvents();

    tavro_m &m_control;
    Sink m_sink;
    bool m_debug = true;
    bool m_quit = false;
};

} // namespace tavro::cli

#endif // TAVRO_CLI_JSON_BRIDGE_H
