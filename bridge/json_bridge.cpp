// Requests to calls of the control, signals of the control to event objects.
#include "json_bridge.h"

#include "tavro/tavro_m.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace tavro::bridge {

namespace {

// A request that names a method but cannot be turned into its call.
class BadRequest : public std::runtime_error
{
public:
    explicit BadRequest(const QString &text)
        : std::runtime_error(text.toStdString())
    {
    }
};

enum class Need { Required, Optional };

// A string argument; an optional one that is absent or null is empty.
QString stringArg(const QJsonObject &request, const QString &name, Need need)
{
    const QJsonValue value = request.value(name);
    if (value.isUndefined() || value.isNull()) {
        if (need == Need::Required)
            throw BadRequest(QStringLiteral("missing field \"%1\"").arg(name));
        return QString();
    }
    if (!value.isString())
        throw BadRequest(QStringLiteral("field \"%1\" must be a string").arg(name));
    return value.toString();
}

// The control takes the command as one byte, so only ASCII fits it intact.
char commandArg(const QJsonObject &request)
{
    const QString text = stringArg(request, QStringLiteral("cmd"), Need::Required);
    if (text.size() != 1 || text.at(0).unicode() == 0 || text.at(0).unicode() > 0x7f)
        throw BadRequest(QStringLiteral("field \"cmd\" must be a string of one ASCII character, not \"%1\"")
                             .arg(text));
    return static_cast<char>(text.at(0).unicode());
}

QString portArg(const QJsonObject &request)
{
    return stringArg(request, QStringLiteral("portName"), Need::Required);
}

QJsonObject openTavro(tavro_m &control, const QJsonObject &request)
{
    QString portName = portArg(request);
    QString errorStr = stringArg(request, QStringLiteral("errorStr"), Need::Optional);
    const qint16 value = control.OpenTavro(portName, errorStr);
    return {{"value", value}, {"portName", portName}, {"errorStr", errorStr}};
}

QJsonObject closeTavro(tavro_m &control, const QJsonObject &request)
{
    QString portName = portArg(request);
    QString errorStr = stringArg(request, QStringLiteral("errorStr"), Need::Optional);
    const qint16 value = control.CloseTavro(portName, errorStr);
    return {{"value", value}, {"portName", portName}, {"errorStr", errorStr}};
}

QJsonObject comPortStateGet(tavro_m &control, const QJsonObject &request)
{
    QString portName = portArg(request);
    const bool value = control.ComPortStateGet(portName);
    return {{"value", value}, {"portName", portName}};
}

QJsonObject sendCmd(tavro_m &control, const QJsonObject &request)
{
    QString portName = portArg(request);
    char cmd = commandArg(request);
    QString para1 = stringArg(request, QStringLiteral("para1"), Need::Optional);
    QString para2 = stringArg(request, QStringLiteral("para2"), Need::Optional);
    QString para3 = stringArg(request, QStringLiteral("para3"), Need::Optional);
    const bool value = control.SendCmd(portName, cmd, para1, para2, para3);
    return {{"value", value},
            {"portName", portName},
            {"cmd", QString(QLatin1Char(cmd))},
            {"para1", para1},
            {"para2", para2},
            {"para3", para3}};
}

QJsonObject txData(tavro_m &control, const QJsonObject &request)
{
    QString portName = portArg(request);
    QString data = stringArg(request, QStringLiteral("data"), Need::Required);
    const QVariant value = control.TxData(portName, data);
    return {{"value", QJsonValue::fromVariant(value)}, {"portName", portName}, {"data", data}};
}

QJsonObject getCurrentErrorMsg(tavro_m &control, const QJsonObject &)
{
    return {{"value", control.GetCurrentErrorMsg()}};
}

using Method = QJsonObject (*)(tavro_m &, const QJsonObject &);

Method methodNamed(const QString &name)
{
    static const struct {
        const char16_t *name;
        Method method;
    } methods[] = {
        {u"OpenTavro", openTavro},   {u"CloseTavro", closeTavro}, {u"ComPortStateGet", comPortStateGet},
        {u"SendCmd", sendCmd},       {u"TxData", txData},         {u"GetCurrentErrorMsg", getCurrentErrorMsg},
    };
    for (const auto &entry : methods) {
        if (name == QStringView(entry.name))
            return entry.method;
    }
    return nullptr;
}

QJsonObject callFailed(const QString &method, const QString &text)
{
    return {{"result", method}, {"error", text}};
}

} // namespace

JsonBridge::JsonBridge(tavro_m &control, Sink sink, QObject *parent)
    : QObject(parent)
    , m_control(control)
    , m_sink(std::move(sink))
{
    connectEvents();
}

void JsonBridge::handleLine(const QByteArray &line)
{
    try {
        QString error;
        if (const auto request = parseLine(line, &error))
            handleRequest(*request);
        else if (!error.isEmpty())
            reportError(error);
    } catch (...) {
        // Nothing may leave through the event loop; call() already catches
        // what the control throws, this is for allocation failures.
        reportError(QStringLiteral("internal failure while handling a line"));
    }
}

std::optional<QJsonObject> JsonBridge::parseLine(const QByteArray &line, QString *error)
{
    // Blank lines (a script's trailing newline, CR LF endings) are not calls.
    if (line.trimmed().isEmpty()) {
        error->clear();
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not valid JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return document.object();
}

QJsonObject JsonBridge::errorAnswer(const QJsonObject &request, const QString &text)
{
    const QJsonValue name = request.value(QStringLiteral("call"));
    QJsonObject answer = name.isString() ? callFailed(name.toString(), text) : QJsonObject {{"error", text}};
    const QJsonValue id = request.value(QStringLiteral("id"));
    if (!id.isUndefined())
        answer.insert(QStringLiteral("id"), id);
    return answer;
}

void JsonBridge::handleRequest(const QJsonObject &request)
{
    write(call(request));
}

void JsonBridge::reportError(const QString &text)
{
    write({{"error", text}});
}

QJsonObject JsonBridge::call(const QJsonObject &request)
{
    QJsonObject answer;
    const QJsonValue name = request.value(QStringLiteral("call"));
    if (name.isUndefined()) {
        answer = {{"error", QStringLiteral("missing field \"call\"")}};
    } else if (!name.isString()) {
        answer = {{"error", QStringLiteral("field \"call\" must be a string")}};
    } else if (name.toString() == QStringLiteral("quit")) {
        m_quit = true;
        answer = {{"result", name}};
    } else if (const Method method = methodNamed(name.toString())) {
        const QString methodName = name.toString();
        try {
            answer = method(m_control, request);
            answer.insert(QStringLiteral("result"), methodName);
        } catch (const BadRequest &e) {
            answer = callFailed(methodName, QString::fromStdString(e.what()));
        } catch (const tavro::CallError &e) {
            answer = callFailed(methodName, QString::fromUtf8(e.what()));
        } catch (const std::exception &e) {
            answer = callFailed(methodName, QString::fromUtf8(e.what()));
        } catch (...) {
            answer = callFailed(methodName, QStringLiteral("unknown failure"));
        }
    } else {
        answer = {{"error", QStringLiteral("unknown method \"%1\"").arg(name.toString())}};
    }
    const QJsonValue id = request.value(QStringLiteral("id"));
    if (!id.isUndefined())
        answer.insert(QStringLiteral("id"), id);
    return answer;
}

void JsonBridge::closeAllPorts()
{
    for (int i = 1; i <= 4; ++i) {
        QString portName = QStringLiteral("COM%1").arg(i), errorStr;
        try {
            m_control.CloseTavro(portName, errorStr);
        } catch (...) {
            // The four names are always known; nothing to report at shutdown.
        }
    }
}

QJsonObject JsonBridge::recordToJson(const CID_INFO &info)
{
    return {{"lMonth", info.lMonth}, {"lDay", info.lDay},       {"lHour", info.lHour},
            {"lMin", info.lMin},     {"lNumber", info.lNumber}, {"lName", info.lName},
            {"lGroup", info.lGroup}, {"lTelType", info.lTelType}};
}

void JsonBridge::write(const QJsonObject &object)
{
    if (m_sink)
        m_sink(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void JsonBridge::emitEvent(const QJsonObject &object)
{
    write(object);
    emit eventRaised(object);
}

void JsonBridge::connectEvents()
{
    connect(&m_control, &tavro_m::DebugMsg, this, [this](const QString &str) {
        if (m_debug)
            emitEvent({{"event", "DebugMsg"}, {"str", str}});
    });
    connect(&m_control, &tavro_m::ReceiveReal, this, [this](const QString &portName, const QString &str) {
        if (m_debug)
            emitEvent({{"event", "ReceiveReal"}, {"portName", portName}, {"str", str}});
    });
    connect(&m_control, &tavro_m::ReceiveCall, this,
            [this](const QString &portName, qint16 callState, const CID_INFO &cidInfo) {
                emitEvent({{"event", "ReceiveCall"},
                       {"portName", portName},
                       {"callState", callState},
                       {"cidInfo", recordToJson(cidInfo)}});
            });
    connect(&m_control, &tavro_m::HookEvent, this, [this](const QString &portName, bool eventType) {
        emitEvent({{"event", "HookEvent"}, {"portName", portName}, {"eventType", eventType}});
    });
    connect(&m_control, &tavro_m::ReceiveResponse, this,
            [this](const QString &portName, qint16 msgType, const QString &rst1, const QString &rst2,
                   const QString &rst3) {
                emitEvent({{"event", "ReceiveResponse"},
                       {"portName", portName},
                       {"msgType", msgType},
                       {"rst1", rst1},
                       {"rst2", rst2},
                       {"rst3", rst3}});
            });
    connect(&m_control, &tavro_m::PortStateChanged, this,
            [this](const QString &portName, bool open, const QString &reason) {
                emitEvent({{"event", "PortState"}, {"portName", portName}, {"open", open}, {"reason", reason}});
            });
    connect(&m_control, &tavro_m::ReceiveGatheredInfo, this,
            [this](const QString &portName, qint16 max, qint16 kind, const CID_INFO_ARRAY &cidInfo) {
                // max comes from the terminal's data; never read past the array.
                const int count = std::clamp<int>(max, 0, int(cidInfo.size()));
                QJsonArray records;
                for (int i = 0; i < count; ++i)
                    records.append(recordToJson(cidInfo[i]));
                emitEvent({{"event", "ReceiveGatheredInfo"},
                       {"portName", portName},
                       {"max", max},
                       {"kind", kind},
                       {"cidInfo", records}});
            });
}

} // namespace tavro::bridge
