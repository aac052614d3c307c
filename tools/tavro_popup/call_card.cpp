#include "call_card.h"

#include "service_link.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace popup {

namespace {

constexpr int cardWidth = 380;
// Text from the line and from the book can be anything; a card stays a card.
constexpr int longestText = 300;

QString clipped(const QString &text)
{
    return text.size() > longestText ? text.left(longestText) + QStringLiteral("…") : text;
}

QUrl dashboardPage(const QUrl &base, const QString &fragment)
{
    QUrl url = base;
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    url.setFragment(fragment, QUrl::DecodedMode);
    return url;
}

} // namespace

QString CallCard::titleFor(const CallInfo &call)
{
    const QString number = formatNumber(call.number);
    return number.isEmpty() ? QStringLiteral("번호 없음") : QStringLiteral("%1 전화").arg(number);
}

CallCard::CallCard(const CallInfo &call, ServiceLink &link, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
    , m_call(call)
    , m_link(link)
{
    setAttribute(Qt::WA_DeleteOnClose);
    // It must not take the keyboard from whatever the counter is typing into.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName(QStringLiteral("callCard"));
    setWindowTitle(titleFor(call));
    setFixedWidth(cardWidth);
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(4);
    addHead(layout, call);
    addCaller(layout, call);
    m_status = addLabel(QStringLiteral("status"), QString());
    m_status->hide();
    layout->addWidget(m_status);
    addButtons(layout, call);
    m_hide.setSingleShot(true);
    connect(&m_hide, &QTimer::timeout, this, &QWidget::close);
    adjustSize();
}

// What came in and when: the kind of call, a call from a gap, time and port.
void CallCard::addHead(QVBoxLayout *layout, const CallInfo &call)
{
    auto *head = new QHBoxLayout;
    layout->addLayout(head);
    auto *state = addLabel(QStringLiteral("state"), call.callState == 2 ? QStringLiteral("통화중착신") : QStringLiteral("착신"));
    if (call.callState == 2)
        state->setStyleSheet(QStringLiteral("QLabel { color: white; background: #c62828; padding: 1px 6px; border-radius: 3px; }"));
    head->addWidget(state);
    if (call.duringGap) {
        auto *gap = addLabel(QStringLiteral("gap"), QStringLiteral("연결 끊긴 동안 온 전화"));
        gap->setStyleSheet(QStringLiteral("QLabel { color: white; background: #ef6c00; padding: 1px 6px; border-radius: 3px; }"));
        head->addWidget(gap);
    }
    head->addStretch();
    QString when = call.at.isValid() ? call.at.toString(call.duringGap ? QStringLiteral("M/d HH:mm:ss") : QStringLiteral("HH:mm:ss"))
                                     : QString();
    if (!call.portName.isEmpty())
        when += (when.isEmpty() ? QString() : QStringLiteral(" · ")) + call.portName;
    head->addWidget(addLabel(QStringLiteral("when"), when));
}

// Who calls: the name, the number and its region, what the book knows.
void CallCard::addCaller(QVBoxLayout *layout, const CallInfo &call)
{
    layout->addWidget(addLabel(QStringLiteral("name"), clipped(call.displayName()), 6, true));
    // The line's own name, small, when the book's name stands above it.
    if (call.hasCustomer && !call.customer.name.trimmed().isEmpty())
        layout->addWidget(addLabel(QStringLiteral("lineName"),
                                   QStringLiteral("회선 이름: %1").arg(call.lineName.trimmed().isEmpty() ? QStringLiteral("없슴") : clipped(call.lineName))));

    auto *numberRow = new QHBoxLayout;
    layout->addLayout(numberRow);
    const QString number = formatNumber(call.number);
    numberRow->addWidget(addLabel(QStringLiteral("number"), number.isEmpty() ? QStringLiteral("번호 없음") : number, 4, true));
    numberRow->addWidget(addLabel(QStringLiteral("region"), regionOf(call.number)));
    numberRow->addStretch();

    if (call.hasCustomer) {
        if (!call.customer.address.isEmpty())
            layout->addWidget(addLabel(QStringLiteral("address"), QStringLiteral("주소: ") + clipped(call.customer.address)));
        if (!call.customer.memo.isEmpty())
            layout->addWidget(addLabel(QStringLiteral("memo"), QStringLiteral("메모: ") + clipped(call.customer.memo)));
        QString history = QStringLiteral("이전 통화 %1회").arg(call.customer.calls);
        if (!call.customer.lastCall.isEmpty())
            history += QStringLiteral(" · 마지막 %1").arg(call.customer.lastCall);
        layout->addWidget(addLabel(QStringLiteral("history"), history));
    } else {
        layout->addWidget(addLabel(QStringLiteral("history"), QStringLiteral("등록되지 않은 번호")));
    }
}

void CallCard::addButtons(QVBoxLayout *layout, const CallInfo &call)
{
    auto *buttons = new QHBoxLayout;
    layout->addLayout(buttons);
    const bool hasNumber = !digitsOf(call.number).isEmpty();
    auto addButton = [&](const QString &name, const QString &text) {
        auto *button = new QPushButton(text, this);
        button->setObjectName(name);
        button->setAutoDefault(false);
        buttons->addWidget(button);
        return button;
    };
    QPushButton *customer = addButton(QStringLiteral("customerButton"),
                                      call.hasCustomer ? QStringLiteral("고객 수정") : QStringLiteral("고객 등록"));
    QPushButton *history = addButton(QStringLiteral("historyButton"), QStringLiteral("통화 기록"));
    m_reject = addButton(QStringLiteral("rejectButton"), QStringLiteral("수신 거부"));
    QPushButton *close = addButton(QStringLiteral("closeButton"), QStringLiteral("닫기"));
    for (QPushButton *button : {customer, history, m_reject})
        button->setEnabled(hasNumber);
    m_reject->setEnabled(hasNumber && !call.portName.isEmpty());
    connect(customer, &QPushButton::clicked, this, [this] { QDesktopServices::openUrl(customerUrl()); });
    connect(history, &QPushButton::clicked, this, [this] { QDesktopServices::openUrl(historyUrl()); });
    connect(m_reject, &QPushButton::clicked, this, &CallCard::reject);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
}

QLabel *CallCard::addLabel(const QString &name, const QString &text, int pointDelta, bool bold)
{
    auto *label = new QLabel(text, this);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText); // never markup from the line
    label->setWordWrap(name != u"state" && name != u"gap" && name != u"when");
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (pointDelta || bold) {
        QFont font = label->font();
        font.setPointSize(font.pointSize() + pointDelta);
        font.setBold(bold);
        label->setFont(font);
    }
    return label;
}

void CallCard::setHideAfter(int seconds)
{
    m_hide.setInterval(seconds * 1000);
    if (seconds <= 0)
        m_hide.stop();
    else if (isVisible())
        m_hide.start();
}

QUrl CallCard::customerUrl() const
{
    return dashboardPage(m_link.base(), QStringLiteral("customer=") + digitsOf(m_call.number));
}

QUrl CallCard::historyUrl() const
{
    return dashboardPage(m_link.base(), QStringLiteral("history?q=") + digitsOf(m_call.number));
}

void CallCard::reject()
{
    const QString number = formatNumber(m_call.number);
    const auto answer = QMessageBox::question(
        this, QStringLiteral("수신 거부"),
        QStringLiteral("%1 번호를 %2 단말기의 수신 거부 목록에 넣을까요?").arg(number, m_call.portName),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    m_reject->setEnabled(false);
    m_status->setText(QStringLiteral("수신 거부 명령을 보내는 중…"));
    m_status->show();
    // The terminal's reject list: 'J', the number's digits, 1 = add.
    const QJsonObject call{{"call", "SendCmd"},
                           {"portName", m_call.portName},
                           {"cmd", "J"},
                           {"para1", digitsOf(m_call.number)},
                           {"para2", "1"}};
    QPointer<CallCard> self(this);
    m_link.postCall(call, [self](const QJsonObject &result) {
        if (!self)
            return;
        const bool sent = result.value(u"value").toBool();
        if (sent) {
            self->m_status->setText(QStringLiteral("수신 거부 목록에 넣었습니다."));
        } else {
            const QString why = result.value(u"error").toString();
            self->m_status->setText(why.isEmpty() ? QStringLiteral("명령 송신 실패")
                                                  : QStringLiteral("명령 송신 실패: ") + why);
            self->m_reject->setEnabled(true);
        }
    });
}

void CallCard::closeEvent(QCloseEvent *event)
{
    m_hide.stop();
    emit closed(this);
    QWidget::closeEvent(event);
}

void CallCard::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_hide.interval() > 0)
        m_hide.start();
}

// Reading a card under the pointer keeps it.
void CallCard::enterEvent(QEnterEvent *event)
{
    m_hide.stop();
    QWidget::enterEvent(event);
}

void CallCard::leaveEvent(QEvent *event)
{
    if (m_hide.interval() > 0)
        m_hide.start();
    QWidget::leaveEvent(event);
}

} // namespace popup
