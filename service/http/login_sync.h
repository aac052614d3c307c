// Keeps the service's view of the device tokens and remembered sessions in
// step with the store, where `tavrod token` changes them while the service
// runs: read once a second, last uses written back in the same beat.
#ifndef TAVROD_LOGIN_SYNC_H
#define TAVROD_LOGIN_SYNC_H

#include "login_book.h"

#include <QObject>
#include <QTimer>

namespace tavrod {

class Access;
class WebRoutes;

class LoginSync : public QObject
{
    Q_OBJECT

public:
    static constexpr int pollMs = 1000;
    // A store that cannot be reached is tried again this seldom, since a
    // connect may take seconds.
    static constexpr int reopenMs = 30000;

    LoginSync(const QString &db, Access &access, WebRoutes &web, QObject *parent = nullptr);
    ~LoginSync() override;

    // Opens the book and reads it once; false with a reason (the service
    // still runs on the token file alone and tries again later).
    bool start(QString *error);
    void stop();
    // One poll, now.
    void poll();

private:
    bool ensureOpen();

    LoginBook m_book;
    Access &m_access;
    WebRoutes &m_web;
    QTimer m_timer;
    qint64 m_lastOpenAttempt = 0;
    bool m_warned = false;
    quint64 m_polls = 0;
};

} // namespace tavrod

#endif
