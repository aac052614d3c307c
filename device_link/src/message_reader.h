// A reader over one framed message: the text from its type-letter line
// through its end line, read and consumed from the front field by field.
#ifndef TAVRO_MESSAGE_READER_H
#define TAVRO_MESSAGE_READER_H

#include <QChar>
#include <QString>

namespace tavro::detail {

class MessageReader
{
public:
    explicit MessageReader(QString text);

    const QString &text() const { return m_text; }
    // Characters consumed from the front so far.
    qsizetype consumed() const { return m_consumed; }
    // The text left, taken out of the reader.
    QString takeText() { return std::move(m_text); }

    bool hasEndLine();
    // Removes the type-letter line, searching only this message: a letter
    // found in a following message would take that message with it. False
    // when the message has no such line.
    bool skipTypeLine(QChar letter);
    // The value of the titled field (everything in front of the title goes
    // with it), or empty when the title is missing or behind the end line.
    QString readTitled(const QString &title);
    // The next bare line; at the end line its value reads "End", once, and
    // the end line stays.
    QString readBare();
    // Discards the message through its end line; the reads yield nothing after it.
    void discard();

private:
    void consume(qsizetype n);
    qsizetype endLine();
    bool endLineBefore(qsizetype limit);

    QString m_text;
    qsizetype m_consumed = 0;
    bool m_discarded = false;
    bool m_endLineRead = false;
    // Where the first end line starts (-1: none), kNotSearched until asked.
    // Every removal ends right after a CR LF, so what remains keeps its line
    // starts and the position just shifts.
    static constexpr qsizetype kNotSearched = -2;
    qsizetype m_endLine = kNotSearched;
};

} // namespace tavro::detail

#endif // TAVRO_MESSAGE_READER_H
