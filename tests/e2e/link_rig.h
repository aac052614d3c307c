// The device link against a running tavro_sim: COM1 of a tavro_m control is
// mapped to the simulator's line, and every event the control raises is
// recorded as a copy.
#ifndef TAVRO_TESTS_LINK_RIG_H
#define TAVRO_TESTS_LINK_RIG_H

#include "sim_process.h"
#include "tavro/tavro_m.h"

#include <QList>
#include <QStringList>

#include <memory>

struct ResponseEvent
{
    QString port;
    int msgType = 0;
    QString rst1, rst2, rst3;
};

struct CallEvent
{
    QString port;
    int callState = 0;
    CID_INFO info;
};

struct HookEventRecord
{
    QString port;
    bool lifted = false;
};

struct ListEvent
{
    QString port;
    int max = 0;
    int kind = 0;
    QList<CID_INFO> entries; // 0 .. max-1
};

class LinkRig
{
public:
    // Starts the simulator (extra arguments appended) and opens COM1 on it.
    bool start(const QStringList &simArguments = {});

    SimProcess &sim() { return *m_sim; }
    tavro_m &control() { return *m_control; }

    // SendCmd on COM1; false with the error text in lastSendError().
    bool send(char cmd, const QString &para1 = {}, const QString &para2 = {}, const QString &para3 = {});
    QString lastSendError() const { return m_sendError; }

    // Sends a query and waits for the next answer of any kind; false when
    // the command failed or nothing came.
    bool ask(char letter, const QString &para1 = {});
    // The operator types a command and the control raises one more event.
    bool typeAndWait(const QString &line);

    QList<ResponseEvent> responses;
    QList<CallEvent> calls;
    QList<HookEventRecord> hooks;
    QList<ListEvent> lists;
    QStringList raw; // ReceiveReal pieces
    void clearEvents();
    int eventCount() const;

private:
    bool waitForEventsBeyond(int count);

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<tavro_m> m_control;
    QString m_sendError;
};

#endif
