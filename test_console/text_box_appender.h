// Appends received or diagnostic text at the end of a text box and keeps
// only its newest part, so that a console left running for days, or hit by
// a burst, stays within a fixed amount of memory.
#ifndef TEXT_BOX_APPENDER_H
#define TEXT_BOX_APPENDER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>

class QPlainTextEdit;

class TextBoxAppender : public QObject
{
    Q_OBJECT

public:
    // The box holds at most kMaxLines lines and kMaxChars characters; when
    // it reaches either, it keeps only its newest kKeptLines lines or
    // kKeptChars characters (trimming in steps: one cut costs a layout pass).
    // A line longer than kMaxLineChars goes on in a new line: the box lays a
    // line out again whole on every insertion into it, so an endless line
    // (noise without line breaks) would cost ever more.
    static constexpr int kKeptLines = 10000;
    static constexpr int kMaxLines = 15000;
    static constexpr qsizetype kKeptChars = 512 * 1024;
    static constexpr qsizetype kMaxChars = 768 * 1024;
    static constexpr qsizetype kMaxLineChars = 4096;
    static constexpr int kFlushMs = 50;

    explicit TextBoxAppender(QPlainTextEdit *box);

    // Adds text at the end, with no separator of its own; a CR LF pair, even
    // when split between two texts, makes one line break. A short text shows
    // at once; long ones (a whole receive buffer, several per message under a
    // burst) are gathered, only their newest part kept, and shown together
    // at most kFlushMs later.
    void append(const QString &text);
    // Shows what has been gathered now.
    void flush();

private:
    QString normalise(QStringView text, bool whole);
    void insert(const QString &text);

    QPlainTextEdit *m_box;
    // Texts not shown yet, as they came (shared, not copied); only as many
    // of the newest as can stay in the box are kept.
    std::deque<QString> m_pending;
    qsizetype m_pendingChars = 0;
    QTimer m_flushTimer;
    // Texts shown at once within the current kFlushMs: a burst of many
    // short texts is gathered too, as each insertion lays the box out again.
    QElapsedTimer m_directWindow;
    int m_directCount = 0;
    bool m_lastEndedWithCr = false;
    qsizetype m_lineLength = 0; // characters after the last line break so far
};

#endif // TEXT_BOX_APPENDER_H
