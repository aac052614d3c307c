#include "message_reader.h"

#include "link_state.h"

#include <QStringView>

#include <algorithm>

namespace tavro::detail {

MessageReader::MessageReader(QString text)
    : m_text(std::move(text))
{
}

void MessageReader::consume(qsizetype n)
{
    m_text.remove(0, n);
    m_consumed += n;
    if (m_endLine >= n)
        m_endLine -= n;
    else if (m_endLine >= 0)
        m_endLine = kNotSearched; // removed with the rest
}

qsizetype MessageReader::endLine()
{
    if (m_endLine == kNotSearched)
        m_endLine = findEndLine(m_text);
    return m_endLine;
}

// An end line starts before `limit`. Until the whole message has been
// searched once, only the text such a line could occupy is looked at, so a
// long text read field by field stays linear.
bool MessageReader::endLineBefore(qsizetype limit)
{
    if (m_endLine != kNotSearched)
        return m_endLine >= 0 && m_endLine < limit;
    const qsizetype reach = std::min(m_text.size(), limit - 1 + kEndLine.size());
    return reach > 0 && findEndLine(QStringView(m_text).first(reach)) >= 0;
}

bool MessageReader::hasEndLine()
{
    return endLine() >= 0;
}

bool MessageReader::skipTypeLine(QChar letter)
{
    const qsizetype end = endLine();
    const QStringView message = QStringView(m_text).first(end >= 0 ? end : m_text.size());
    const char16_t line[] = {letter.unicode(), u'\r', u'\n'};
    const qsizetype pos = message.indexOf(QStringView(line, 3));
    if (pos < 0)
        return false;
    consume(pos + 3);
    return true;
}

QString MessageReader::readTitled(const QString &title)
{
    if (m_discarded || title.isEmpty())
        return QString();
    // A title counts wherever it stands (a blank or noise may precede it),
    // but one behind the end line belongs to the next message.
    const qsizetype pos = m_text.indexOf(title);
    if (pos < 0)
        return QString();
    const qsizetype valueStart = pos + title.size();
    if (endLineBefore(valueStart))
        return QString();
    const qsizetype lineEnd = m_text.indexOf(kCrLf, valueStart);
    if (lineEnd < 0)
        return QString();
    QString value = m_text.mid(valueStart, lineEnd - valueStart);
    consume(lineEnd + kCrLf.size());
    return value;
}

QString MessageReader::readBare()
{
    if (m_discarded || m_endLineRead)
        return QString();
    const qsizetype lineEnd = m_text.indexOf(kCrLf);
    if (lineEnd < 0)
        return QString();
    QString value = m_text.left(lineEnd);
    // A message shorter than expected reads its end line as the value, once;
    // the end line stays: it still closes this message.
    if (m_text.startsWith(kEndLine)) {
        m_endLineRead = true;
        return value;
    }
    consume(lineEnd + kCrLf.size());
    return value;
}

void MessageReader::discard()
{
    if (m_discarded)
        return;
    const qsizetype end = endLine();
    if (end < 0)
        return;
    consume(end + kEndLine.size());
    m_discarded = true;
}

} // namespace tavro::detail
