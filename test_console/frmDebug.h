// The debug window: the device link's diagnostic texts, as they come.
#ifndef FRMDEBUG_H
#define FRMDEBUG_H

#include "twips.h"

#include <QWidget>

class QPlainTextEdit;
class TextBoxAppender;

class frmDebug : public QWidget
{
    Q_OBJECT

public:
    explicit frmDebug(QWidget *parent = nullptr);

    // Appends text at the end, adding no separator of its own; only the
    // newest lines stay (TextBoxAppender).
    void appendText(const QString &text);

    // Where txtDebug goes in a client area of the given size, both in
    // twips: 100 twips inside every edge, never a negative size.
    static QRect txtDebugRect(const QSize &clientTwips);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void placeText();

    QPlainTextEdit *txtDebug = nullptr;
    TextBoxAppender *m_appender = nullptr;
};

#endif // FRMDEBUG_H
