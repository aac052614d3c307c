#include "status_presence.h"

#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>

namespace popup {

namespace {

QColor colourOf(StatusPresence::Look look)
{
    switch (look) {
    case StatusPresence::Look::Connected: return QColor(0x2e, 0x7d, 0x32);
    case StatusPresence::Look::PortClosed: return QColor(0xef, 0x6c, 0x00);
    case StatusPresence::Look::Disconnected: break;
    }
    return QColor(0x9e, 0x9e, 0x9e);
}

} // namespace

QIcon StatusPresence::iconFor(Look look)
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 4));
    painter.setBrush(colourOf(look));
    painter.drawEllipse(QRectF(4, 4, 56, 56));
    QFont font = painter.font();
    font.setPixelSize(34);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(4, 4, 56, 56), Qt::AlignCenter, QStringLiteral("T"));
    return QIcon(pixmap);
}

StatusPresence::StatusPresence(QMenu &menu, bool useTray, QObject *parent)
    : QObject(parent)
    , m_menu(menu)
{
    if (useTray && QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(this);
        m_tray->setContextMenu(&m_menu);
        // A left click opens the same menu: the recent calls are the point.
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                m_menu.popup(QCursor::pos());
        });
    } else {
        m_window = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
        m_window->setObjectName(QStringLiteral("statusWindow"));
        m_window->setWindowTitle(QStringLiteral("tavro 팝업"));
        m_window->setAttribute(Qt::WA_ShowWithoutActivating);
        auto *row = new QHBoxLayout(m_window);
        m_dot = new QLabel(m_window);
        m_label = new QLabel(m_window);
        m_label->setObjectName(QStringLiteral("statusText"));
        m_label->setTextFormat(Qt::PlainText);
        auto *button = new QPushButton(QStringLiteral("메뉴"), m_window);
        button->setObjectName(QStringLiteral("menuButton"));
        button->setMenu(&m_menu);
        row->addWidget(m_dot);
        row->addWidget(m_label, 1);
        row->addWidget(button);
        // Top right: the cards take the bottom right.
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            m_window->adjustSize();
            const QRect area = screen->availableGeometry();
            m_window->move(area.right() - 8 - 320, area.top() + 8);
        }
    }
    show(Look::Disconnected, QStringLiteral("연결하는 중"));
    if (m_window)
        m_window->show();
    else
        m_tray->show();
}

StatusPresence::~StatusPresence()
{
    delete m_window;
}

void StatusPresence::show(Look look, const QString &text)
{
    m_look = look;
    m_text = text;
    const QIcon icon = iconFor(look);
    if (m_tray) {
        m_tray->setIcon(icon);
        m_tray->setToolTip(text);
        return;
    }
    m_window->setWindowIcon(icon);
    m_dot->setPixmap(icon.pixmap(20, 20));
    m_label->setText(text);
    m_window->setToolTip(text);
    m_window->setMinimumWidth(320);
}

} // namespace popup
