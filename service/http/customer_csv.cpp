#include "customer_csv.h"

#include <QStringDecoder>

namespace tavrod::csv {

namespace {

// Text files hold no control characters but tab and line ends. A decoder's
// replacement character, and what windows-949 makes of bytes outside the
// code page (0x80 as U+0080, 0xFF as a private-use character), mean the
// bytes were not in that code page.
bool isPlainText(const QString &text)
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\r' && u != u'\n') || (u >= 0x7f && u <= 0x9f) || u == 0xfffd
            || (u >= 0xe000 && u <= 0xf8ff))
            return false;
    }
    return true;
}

bool startsLikeFormula(const QString &cell)
{
    return !cell.isEmpty() && QStringView(u"=+-@\t\r'").contains(cell.front());
}

} // namespace

bool decode(const QByteArray &bytes, QString *text, QString *encoding)
{
    if (bytes.startsWith(bom)) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        *text = utf8.decode(QByteArrayView(bytes).sliced(bom.size()));
        *encoding = QStringLiteral("UTF-8 with BOM");
        return !utf8.hasError() && isPlainText(*text);
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    *text = utf8.decode(bytes);
    if (!utf8.hasError() && isPlainText(*text)) {
        *encoding = QStringLiteral("UTF-8");
        return true;
    }
    QStringDecoder korean("windows-949", QStringDecoder::Flag::Stateless);
    if (!korean.isValid())
        return false;
    *text = korean.decode(bytes);
    *encoding = QStringLiteral("windows-949");
    return !korean.hasError() && isPlainText(*text);
}

QList<Record> parse(const QString &text)
{
    QList<Record> records;
    Record record{1, {}};
    QString cell;
    bool quoted = false;
    bool cellStarted = false;
    int line = 1;
    const auto endCell = [&] {
        record.cells.append(cell);
        cell.clear();
        cellStarted = false;
    };
    const auto endRecord = [&] {
        endCell();
        records.append(record);
        record = Record{line, {}};
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"') {
                cell.append(u'"');
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                if (c == u'\n')
                    ++line;
                cell.append(c);
            }
        } else if (c == u'"' && !cellStarted) {
            quoted = true;
            cellStarted = true;
        } else if (c == u',') {
            endCell();
        } else if (c == u'\n' || c == u'\r') {
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            ++line;
            endRecord();
        } else {
            cell.append(c);
            cellStarted = true;
        }
    }
    if (cellStarted || !cell.isEmpty() || !record.cells.isEmpty())
        endRecord();
    return records;
}

QByteArray row(const QStringList &cells)
{
    QByteArray out;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i > 0)
            out += ',';
        QString cell = neutralise(cells.at(i));
        if (cell.contains(u',') || cell.contains(u'"') || cell.contains(u'\n') || cell.contains(u'\r')) {
            cell.replace(u'"', QStringLiteral("\"\""));
            cell = u'"' + cell + u'"';
        }
        out += cell.toUtf8();
    }
    out += "\r\n";
    return out;
}

QString neutralise(const QString &cell)
{
    return startsLikeFormula(cell) ? u'\'' + cell : cell;
}

QString restore(const QString &cell)
{
    return cell.startsWith(u'\'') && startsLikeFormula(cell.mid(1)) ? cell.mid(1) : cell;
}

} // namespace tavrod::csv
