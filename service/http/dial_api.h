// Calling back through the terminal, as the console dials: wait for the
// handset on the port (up to ten seconds; at once when it is up already),
// then send the number with the dial command through the shared call queue.
// One dial at a time; a dial that cannot go out sends nothing.
#ifndef TAVROD_DIAL_API_H
#define TAVROD_DIAL_API_H

#include "http_server.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

namespace tavrod {

class Api;

class DialApi : public QObject
{
    Q_OBJECT

public:
    static constexpr int handsetWaitMs = 10000;
    // What the terminal dials: the digits of a number as people write it.
    static bool normaliseNumber(const QString &text, QString *digits);

    using SubmitCall = std::function<bool(const QJsonObject &request,
                                          std::function<void(const QJsonObject &answer)> reply)>;
    DialApi(Api &api, SubmitCall submit, std::function<bool(const QString &portName)> portOpen,
            QObject *parent = nullptr);

    // Every numbered event of this site: the handset reports are read here.
    void observe(const QJsonObject &event);

private:
    struct Waiting
    {
        QString portName;
        QString number;
        HttpResponder responder;
        bool sent = false;
    };
    void post(const HttpRequest &request, HttpResponder responder);
    void sendNow();
    void finish(const HttpResponse &response);

    SubmitCall m_submit;
    std::function<bool(const QString &)> m_portOpen;
    QHash<QString, bool> m_lifted; // the last handset report per port
    std::optional<Waiting> m_dial;
    QTimer m_timeout;
};

} // namespace tavrod

#endif
