#include "text_box_appender.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

namespace {

// Texts up to this length go into the box at once, up to kDirectTexts of
// them within kFlushMs.
constexpr qsizetype kDirectChars = 4096;
constexpr int kDirectTexts = 32;

} // namespace

TextBoxAppender::TextBoxAppender(QPlainTextEdit *box)
    : QObject(box)
    , m_box(box)
{
    // Read-only history: an undo stack would keep every text ever shown.
    m_box->setUndoRedoEnabled(false);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &TextBoxAppender::flush);
}

void TextBoxAppender::append(const QString &text)
{
    if (text.isEmpty())
        return;
    if (!m_directWindow.isValid() || m_directWindow.elapsed() >= kFlushMs) {
        m_directWindow.start();
        m_directCount = 0;
    }
    if (m_pending.empty() && text.size() <= kDirectChars && m_directCount < kDirectTexts) {
        ++m_directCount;
        insert(normalise(text, true));
        return;
    }
    m_pending.push_back(text);
    m_pendingChars += text.size();
    // Older texts that the newer ones push out of the box entirely are
    // dropped unread: under a burst each text is a whole receive buffer.
    while (m_pendingChars - m_pending.front().size() >= kKeptChars) {
        m_lastEndedWithCr = m_pending.front().endsWith(QLatin1Char('\r'));
        m_pendingChars -= m_pending.front().size();
        m_pending.pop_front();
    }
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void TextBoxAppender::flush()
{
    m_flushTimer.stop();
    QString text;
    text.reserve(std::min(m_pendingChars, kKeptChars));
    qsizetype skip = std::max<qsizetype>(0, m_pendingChars - kKeptChars);
    for (const QString &piece : m_pending) {
        const bool whole = skip == 0;
        text += normalise(QStringView(piece).mid(skip), whole);
        m_lastEndedWithCr = piece.endsWith(QLatin1Char('\r'));
        skip = 0;
    }
    m_pending.clear();
    m_pendingChars = 0;
    insert(text);
}

QString TextBoxAppender::normalise(QStringView text, bool whole)
{
    // QPlainTextEdit takes CR and LF each as a paragraph break; the terminal
    // ends its lines in CR LF, so fold the pair (even split between two
    // texts) into one break.
    if (whole && m_lastEndedWithCr && text.startsWith(QLatin1Char('\n')))
        text = text.mid(1);
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            out += QLatin1Char('\n');
            m_lineLength = 0;
            continue;
        }
        if (++m_lineLength > kMaxLineChars) {
            out += QLatin1Char('\n');
            m_lineLength = 1;
        }
        out += c;
    }
    m_lastEndedWithCr = !text.isEmpty() && text.back() == QLatin1Char('\r');
    return out;
}

void TextBoxAppender::insert(const QString &text)
{
    if (text.isEmpty())
        return;
    m_box->moveCursor(QTextCursor::End);
    m_box->insertPlainText(text);
    QTextDocument *document = m_box->document();
    qsizetype cutAt = 0;
    if (document->blockCount() > kMaxLines)
        cutAt = document->findBlockByNumber(document->blockCount() - kKeptLines).position();
    if (document->characterCount() > kMaxChars)
        cutAt = std::max(cutAt, qsizetype(document->characterCount() - 1 - kKeptChars));
    if (cutAt > 0) {
        QTextCursor cut(document);
        cut.setPosition(int(cutAt), QTextCursor::KeepAnchor);
        cut.removeSelectedText();
        m_box->moveCursor(QTextCursor::End);
    }
}
