// The JSON-lines face of one tavro_m control: a request object becomes a
// call of the control and one answer object; every signal of the control
// becomes one event object. Lines leave through a sink, one JSON object
// each, UTF-8, without the line end; every event object is also raised as
// the eventRaised signal, so a host may leave the sink empty and take the objects.
#ifndef TAVRO_CLI_JSON_BRIDGE_H
#define TAVRO_CLI_JSON_BRIDGE_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>

#include <functional>
#include <optional>

class tavro_m;
struct CID_INFO;

namespace tavro::bridge {

class JsonBridge : public QObject
{
    Q_OBJECT

public:
    using Sink = std::function<void(const QByteArray &line)>;

    // A null sink writes nothing; events still come as eventRaised.
    JsonBridge(tavro_m &control, Sink sink, QObject *parent = nullptr);

    // Without debug output the DebugMsg and ReceiveReal events are left out.
    void setDebugEnabled(bool enabled) { m_debug = enabled; }

    // One input line: parses it, runs the call and writes its answer (or an
    // error line). Never throws.
    void handleLine(const QByteArray &line);

    // Parses one line into a request object; on failure returns nothing and
    // puts the error text into *error. Blank lines count as failures with an
    // empty text.
    static std::optional<QJsonObject> parseLine(const QByteArray &line, QString *error);

    // Runs one request that is already an object and writes its answer.
    void handleRequest(const QJsonObject &request);

    // Runs one request and returns its answer without writing it.
    QJsonObject call(const QJsonObject &request);

    // The answer for a request that fails without running, e.g. because
    // it was refused or abandoned: {"result":<method>,"error":text} when
    // the request names a method, {"error":text} otherwise; its "id" echoed.
    static QJsonObject errorAnswer(const QJsonObject &request, const QString &text);

    // Writes an error line that belongs to no call.
    void reportError(const QString &text);

    // True once a "quit" call has been answered.
    bool quitRequested() const { return m_quit; }

    // Closes COM1..COM4 (what is open), as at the end of input.
    void closeAllPorts();

    // The JSON form of one caller record.
    static QJsonObject recordToJson(const CID_INFO &info);

Q_SIGNALS:
    // Every event object, as it is written to the sink (so DebugMsg and
    // ReceiveReal only while debug output is enabled).
    void eventRaised(const QJsonObject &object);

private:
    void write(const QJsonObject &object);
    void emitEvent(const QJsonObject &object);
    void connectEvents();

    tavro_m &m_control;
    Sink m_sink;
    bool m_debug = true;
    bool m_quit = false;
};

} // namespace tavro::bridge

#endif // TAVRO_CLI_JSON_BRIDGE_H
