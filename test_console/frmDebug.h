// The debug window: the device link's diagnostic texts, as they come.
#ifndef FRMDEBUG_H
#define FRMDEBUG_H

#include "twips.h"

#include <QWidget>

class QPlainTextEdit;

class frmDebug : public QWidget
{
    Q_OBJECT

public:
    explicit frmDebug(QWidget *parent = nullptr);

    // Appends text at the end, adding no separator of its own.
    void appendText(const QString &text);

    // Where txtDebug goes in a client area of the given size, both in
    // twips: 100 twips inside every edge, never a negative size.
    static QRect txtDebugRect(const QSize &clientTwips);

    QPlainTextEdit *txtDebug = nullptr;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void placeText();
    bool m_lastEndedWithCr = false;
};

// Appends received text to a text box at its end. A CR LF pair, even when
// split between two pieces, makes one line break.
void appendToTextBox(QPlainTextEdit *box, const QString &text, bool &lastEndedWithCr);

#endif // FRMDEBUG_H
