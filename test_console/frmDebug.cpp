#include "frmDebug.h"

#include "text_box_appender.h"

#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QScrollBar>

#include <algorithm>

frmDebug::frmDebug(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , txtDebug(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("frmDebug"));
    setWindowTitle(QStringLiteral("OCX 디버깅 메시지"));
    resize(twips::toPixels(8925), twips::toPixels(6405));
    txtDebug->setObjectName(QStringLiteral("txtDebug"));
    txtDebug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtDebug->setGeometry(twips::toPixels(120, 120, 8655, 6135));
    m_appender = new TextBoxAppender(txtDebug);
}

void frmDebug::appendText(const QString &text)
{
    m_appender->append(text);
}

QRect frmDebug::txtDebugRect(const QSize &clientTwips)
{
    // A minimised or tiny window would ask for a negative size: clamp at zero.
    return QRect(100, 100, std::max(0, clientTwips.width() - 200),
                 std::max(0, clientTwips.height() - 200));
}

void frmDebug::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeText();
}

void frmDebug::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    placeText();
}

void frmDebug::placeText()
{
    const QRect t = txtDebugRect(size() * 15);
    txtDebug->setGeometry(twips::toPixels(t.left(), t.top(), t.width(), t.height()));
}
