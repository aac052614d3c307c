// The customer book as a CSV file, the way a Korean office has one: Excel
// on Korean Windows writes code page 949, other tools UTF-8 with or without
// a byte-order mark. What goes out is UTF-8 with the mark, RFC 4180, with
// formula-looking cells neutralised.
#ifndef TAVROD_CUSTOMER_CSV_H
#define TAVROD_CUSTOMER_CSV_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace tavrod::csv {

// The text of a file: UTF-8 after a byte-order mark, else UTF-8 when it is
// valid UTF-8, else code page 949 ("windows-949"). False when none of them
// reads it as text. *encoding names what was found.
bool decode(const QByteArray &bytes, QString *text, QString *encoding);

struct Record
{
    int line = 0; // where it starts, from 1
    QStringList cells;
};

// RFC 4180 records (CR LF or LF line ends, quoted cells across lines).
QList<Record> parse(const QString &text);

// One record, quoted where needed, ending in CR LF.
QByteArray row(const QStringList &cells);

// A cell a spreadsheet would run (= + - @, tab, CR) or one that already
// starts with the apostrophe gets a leading apostrophe; reading removes it
// again, so a round trip changes nothing.
QString neutralise(const QString &cell);
QString restore(const QString &cell);

// The UTF-8 byte-order mark.
inline const QByteArray bom = QByteArray("\xEF\xBB\xBF");

} // namespace tavrod::csv

#endif
