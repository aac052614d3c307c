#include "text_box_appender.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace {

// Texts up to this length go into the box at once.
constexpr qsizetype kDirectChars = 4096;

} // namespace

TextBoxAppender::TextBoxAppender(QPlainTextEdit *box)
    : QObject(box)
    , m_box(box)
{
    m_box->setMaximumBlockCount(kMaxLines);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &TextBoxAppender::flush);
}

void TextBoxAppender::append(const QString &text)
{
    if (text.isEmpty())
        return;
    // Only the newest kMaxChars of a text can stay in the box; never copy more.
    const bool whole = text.size() <= kMaxChars;
    QString normalised = whole ? text : text.right(kMaxChars);
    // QPlainTextEdit takes CR and LF each as a paragraph break; the terminal
    // ends its lines in CR LF, so fold the pair into one break.
    if (whole && m_lastEndedWithCr && normalised.startsWith(QLatin1Char('\n')))
        normalised.remove(0, 1);
    m_lastEndedWithCr = text.endsWith(QLatin1Char('\r'));
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    normalised = foldLongLines(normalised);

    if (m_pending.isEmpty() && normalised.size() <= kDirectChars) {
        insert(normalised);
        return;
    }
    m_pending += normalised;
    // Trim in steps of kMaxChars, so each character is moved at most once more.
    if (m_pending.size() > 2 * kMaxChars)
        m_pending.remove(0, m_pending.size() - kMaxChars);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

QString TextBoxAppender::foldLongLines(QStringView text)
{
    QString folded;
    folded.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            m_lineLength = 0;
        } else if (++m_lineLength > kMaxLineChars) {
            folded += QLatin1Char('\n');
            m_lineLength = 1;
        }
        folded += c;
    }
    return folded;
}

void TextBoxAppender::flush()
{
    m_flushTimer.stop();
    if (m_pending.size() > kMaxChars)
        m_pending.remove(0, m_pending.size() - kMaxChars);
    insert(std::exchange(m_pending, QString()));
}

void TextBoxAppender::insert(const QString &text)
{
    if (text.isEmpty())
        return;
    m_box->moveCursor(QTextCursor::End);
    m_box->insertPlainText(text);
    // The block limit bounds the lines; a stream without line breaks is
    // bounded here, again in steps so that trimming stays cheap.
    QTextDocument *document = m_box->document();
    if (document->characterCount() > kMaxChars + kMaxChars / 2) {
        QTextCursor cut(document);
        cut.setPosition(document->characterCount() - 1 - kMaxChars, QTextCursor::KeepAnchor);
        cut.removeSelectedText();
        m_box->moveCursor(QTextCursor::End);
    }
}
