#include "dial_api.h"

#include "access.h"
#include "api.h"
#include "phone_number.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcDial, "tavrod.dial")

namespace tavrod {

namespace {

// The console's dial command letter; its one parameter is the number.
constexpr char dialCommand[] = "C";
constexpr int maxDigits = 32;

} // namespace

bool DialApi::normaliseNumber(const QString &text, QString *digits)
{
    // The customer book's rules, so that every written form it takes dials
    // the same number ("+82 (0)2-..." is 02-..., never the 00 of abroad).
    if (!tavro::bridge::looksLikeNumber(QStringView(text).trimmed()))
        return false;
    const QString out = tavro::bridge::numberDigits(text);
    if (out.size() > maxDigits)
        return false;
    *digits = out;
    return true;
}

DialApi::DialApi(Api &api, SubmitCall submit, std::function<bool(const QString &)> portOpen, QObject *parent)
    : QObject(parent)
    , m_submit(std::move(submit))
    , m_portOpen(std::move(portOpen))
{
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(handsetWaitMs);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        if (m_dial && !m_dial->sent) {
            qCInfo(lcDial).noquote() << "dial on" << m_dial->portName << "given up: the handset stayed down";
            finish(HttpResponse::error(408, QStringLiteral("the handset on %1 was not lifted within %2 s; nothing "
                                                           "was dialled")
                                                .arg(m_dial->portName)
                                                .arg(handsetWaitMs / 1000)));
        }
    });
    api.addRoute("POST", QStringLiteral("/api/dial"), Scope::Admin,
                 [this](const HttpRequest &request, HttpResponder responder) { post(request, responder); });
}

void DialApi::observe(const QJsonObject &event)
{
    if (event.value(QStringLiteral("event")).toString() != u"HookEvent")
        return;
    const QString portName = event.value(QStringLiteral("portName")).toString();
    const bool lifted = event.value(QStringLiteral("eventType")).toBool();
    m_lifted.insert(portName, lifted);
    if (lifted && m_dial && !m_dial->sent && m_dial->portName == portName)
        sendNow();
}

void DialApi::post(const HttpRequest &request, HttpResponder responder)
{
    QJsonParseError parseError;
    const QJsonObject body = QJsonDocument::fromJson(request.body, &parseError).object();
    const QString portName = body.value(QStringLiteral("portName")).toString();
    QString number;
    if (parseError.error != QJsonParseError::NoError || portName.isEmpty())
        return responder.send(HttpResponse::error(400, QStringLiteral("expects {\"portName\",\"number\"}")));
    if (!normaliseNumber(body.value(QStringLiteral("number")).toString(), &number))
        return responder.send(HttpResponse::error(400, QStringLiteral("number must be up to %1 digits").arg(maxDigits)));
    if (m_dial)
        return responder.send(HttpResponse::error(
            409, QStringLiteral("another dial is under way on %1; try again once it is done").arg(m_dial->portName)));
    if (!m_portOpen(portName))
        return responder.send(HttpResponse::error(503, QStringLiteral("%1 is not open").arg(portName)));
    m_dial = Waiting{portName, number, std::move(responder)};
    qCInfo(lcDial).noquote() << "dial on" << portName << "waits for the handset";
    if (m_lifted.value(portName, false))
        return sendNow();
    m_timeout.start();
}

void DialApi::sendNow()
{
    m_timeout.stop();
    m_dial->sent = true;
    const QJsonObject call{{"call", "SendCmd"}, {"portName", m_dial->portName}, {"cmd", dialCommand},
                           {"para1", m_dial->number}};
    const bool queued = m_submit(call, [this](const QJsonObject &answer) {
        qCInfo(lcDial).noquote() << "dial on" << m_dial->portName << "sent:"
                                 << (answer.value(QStringLiteral("value")).toBool() ? "ok" : "failed");
        finish(HttpResponse::json(200, answer));
    });
    if (!queued)
        finish(HttpResponse::error(503, QStringLiteral("too many calls waiting; nothing was dialled")));
}

void DialApi::finish(const HttpResponse &response)
{
    HttpResponder responder = std::move(m_dial->responder);
    m_dial.reset();
    responder.send(response);
}

} // namespace tavrod
