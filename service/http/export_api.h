// The history as CSV for a spreadsheet: the filters of /api/calls, UTF-8 with
// a byte-order mark, RFC 4180, and cells that a spreadsheet would take for a
// formula neutralised. Read from the store a page at a time as the client
// drains the socket, so a million rows take no more memory than one page.
#ifndef TAVROD_EXPORT_API_H
#define TAVROD_EXPORT_API_H

#include <QJsonObject>
#include <QString>

namespace tavrod {

class Api;
class EventStore;

class ExportApi
{
public:
    static constexpr int pageRows = 1000;

    ExportApi(Api &api, EventStore &store);

    // One CSV cell: formula starts get an apostrophe, then RFC 4180 quoting.
    static QString csvCell(const QString &text);
    // One call of /api/calls as a CSV line (with CRLF).
    static QByteArray csvLine(const QJsonObject &call);
    static QByteArray csvHeader();

private:
    EventStore &m_store;
};

} // namespace tavrod

#endif
