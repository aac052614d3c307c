#include "card_stack.h"

#include "call_card.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace popup {

namespace {

constexpr int margin = 8;

} // namespace

CardStack::CardStack(QObject *parent)
    : QObject(parent)
{
}

CardStack::~CardStack()
{
    closeAll();
}

QList<CallCard *> CardStack::cards() const
{
    QList<CallCard *> out;
    for (const QPointer<CallCard> &card : m_cards) {
        if (card)
            out.append(card);
    }
    return out;
}

CallCard *CardStack::find(const QString &identity) const
{
    for (const QPointer<CallCard> &card : m_cards) {
        if (card && card->call().identity() == identity)
            return card;
    }
    return nullptr;
}

void CardStack::add(CallCard *card)
{
    m_cards.append(card);
    card->setHideAfter(m_hideAfter);
    connect(card, &CallCard::closed, this, &CardStack::remove);
    // The window exists from here on, so the moment it is exposed can be seen.
    card->winId();
    if (QWindow *window = card->windowHandle())
        window->installEventFilter(this);
    layout();
    card->show();
    // A window manager adds its frame only once the card is mapped.
    QTimer::singleShot(0, this, &CardStack::layout);
}

void CardStack::setHideAfter(int seconds)
{
    m_hideAfter = seconds;
    for (CallCard *card : cards())
        card->setHideAfter(seconds);
}

void CardStack::closeAll()
{
    const QList<CallCard *> open = cards();
    for (CallCard *card : open)
        card->close();
    m_cards.clear();
}

void CardStack::remove(CallCard *card)
{
    m_cards.removeAll(QPointer<CallCard>(card));
    m_cards.removeAll(QPointer<CallCard>());
    QTimer::singleShot(0, this, &CardStack::layout);
}

QSize CardStack::frameOf(const CallCard *card)
{
    return card->isVisible() ? card->frameGeometry().size() : card->sizeHint().expandedTo(card->size());
}

void CardStack::layout()
{
    m_cards.removeAll(QPointer<CallCard>());
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // No room left: the oldest go (they stay in the tray menu).
    auto heightOfAll = [this] {
        int height = margin;
        for (const QPointer<CallCard> &card : m_cards)
            height += frameOf(card).height() + margin;
        return height;
    };
    while (m_cards.size() > 1 && heightOfAll() > area.height()) {
        CallCard *oldest = m_cards.takeFirst();
        oldest->close();
    }
    // The first card sits next to the tray; each later one above it.
    int bottom = area.bottom() - margin;
    for (const QPointer<CallCard> &card : m_cards) {
        const QSize frame = frameOf(card);
        const int top = bottom - frame.height() + 1;
        card->move(area.right() - margin - frame.width() + 1, top);
        bottom = top - margin;
    }
}

bool CardStack::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Expose) {
        auto *window = qobject_cast<QWindow *>(watched);
        if (window && window->isExposed()) {
            for (CallCard *card : cards()) {
                if (card->windowHandle() == window && !card->property("shownOnce").toBool()) {
                    card->setProperty("shownOnce", true);
                    emit cardShown(card);
                }
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace popup
