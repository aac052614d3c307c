#include "export_api.h"

#include "access.h"
#include "api.h"
#include "event_store.h"
#include "http_server.h"
#include "phone_number.h"

#include <QDateTime>
#include <QJsonArray>
#include <QLoggingCategory>

#include <memory>

Q_LOGGING_CATEGORY(lcExport, "tavrod.export")

namespace tavrod {

namespace {

QString stateText(int callState)
{
    switch (callState) {
    case 1:
        return QStringLiteral("일반");
    case 2:
        return QStringLiteral("통화중 수신");
    default:
        return QString::number(callState);
    }
}

QString outcomeText(const QJsonValue &outcome)
{
    const QString text = outcome.toString();
    if (text == u"answered")
        return QStringLiteral("응답");
    if (text == u"missed")
        return QStringLiteral("부재중");
    if (text == u"pending")
        return QStringLiteral("대기");
    return QString();
}

} // namespace

ExportApi::ExportApi(Api &api, EventStore &store)
    : m_store(store)
{
    api.addRoute("GET", QStringLiteral("/api/calls/export"), Scope::View,
                 [this](const HttpRequest &request, HttpResponder responder) {
                     auto query = std::make_shared<CallQuery>();
                     QString error;
                     if (!callQueryFromRequest(request, query.get(), &error))
                         return responder.send(HttpResponse::error(400, error));
                     query->limit = pageRows;
                     HttpResponse response;
                     response.contentType = "text/csv; charset=utf-8";
                     response.headers.append({QByteArray("Content-Disposition"),
                                              QByteArray("attachment; filename=\"calls.csv\"")});
                     auto started = std::make_shared<bool>(false);
                     auto done = std::make_shared<bool>(false);
                     EventStore *source = &m_store;
                     response.stream = [source, query, started, done]() -> QByteArray {
                         if (*done)
                             return {};
                         QByteArray out;
                         if (!*started) {
                             *started = true;
                             out = "\xEF\xBB\xBF" + csvHeader();
                         }
                         CallPage page;
                         QString readError;
                         if (!source->findCalls(*query, &page, &readError)) {
                             // The header is out already: the file ends short; the log says why.
                             qCWarning(lcExport).noquote() << "export ends early:" << readError;
                             *done = true;
                             return out;
                         }
                         for (const QJsonValue &call : std::as_const(page.calls))
                             out += csvLine(call.toObject());
                         query->before = page.next;
                         *done = page.next == 0;
                         return out;
                     };
                     responder.send(response);
                 });
}

QString ExportApi::csvCell(const QString &text)
{
    QString cell = text;
    // A spreadsheet runs =, +, - and @ (and a leading tab or CR) as formulas.
    if (!cell.isEmpty() && QStringView(u"=+-@\t\r").contains(cell.front()))
        cell.prepend(u'\'');
    if (cell.contains(u',') || cell.contains(u'"') || cell.contains(u'\n') || cell.contains(u'\r')) {
        cell.replace(u'"', QStringLiteral("\"\""));
        cell = u'"' + cell + u'"';
    }
    return cell;
}

QByteArray ExportApi::csvHeader()
{
    return QStringLiteral("시각,사이트,포트,번호,발신자 이름,고객 이름,상태,결과\r\n").toUtf8();
}

QByteArray ExportApi::csvLine(const QJsonObject &call)
{
    const QJsonObject info = call.value(QStringLiteral("cidInfo")).toObject();
    const QDateTime at = QDateTime::fromString(call.value(QStringLiteral("at")).toString(), Qt::ISODateWithMs);
    // The customer book adds "customer" to a call; absent or null, the cell is empty.
    const QJsonObject customer = call.value(QStringLiteral("customer")).toObject();
    const QStringList cells{at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                            call.value(QStringLiteral("site")).toString(),
                            call.value(QStringLiteral("portName")).toString(),
                            // In groups, as the customer book's export writes its numbers.
                            tavro::bridge::formatNumber(info.value(QStringLiteral("lNumber")).toString()),
                            info.value(QStringLiteral("lName")).toString(),
                            customer.value(QStringLiteral("name")).toString(),
                            stateText(call.value(QStringLiteral("callState")).toInt()),
                            outcomeText(call.value(QStringLiteral("outcome")))};
    QStringList line;
    for (const QString &cell : cells)
        line.append(csvCell(cell));
    return (line.join(u',') + QStringLiteral("\r\n")).toUtf8();
}

} // namespace tavrod
