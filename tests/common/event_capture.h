// Every event a control raises, recorded as a copy taken while the event
// runs, with the receive buffer of its port (gRxData) as the handler found it.
#ifndef TAVRO_TESTS_EVENT_CAPTURE_H
#define TAVRO_TESTS_EVENT_CAPTURE_H

#include "fake_slot.h"
#include "tavro/tavro_m.h"

#include <QList>
#include <QPair>
#include <QStringList>

struct CapturedCall
{
    QString port;
    qint16 state;
    CID_INFO info;
    QString rxAtEvent;
};

struct CapturedList
{
    QString port;
    qint16 max;
    qint16 kind;
    CID_INFO_ARRAY records;
    QString rxAtEvent;
};

struct CapturedResponse
{
    QString port;
    qint16 msgType;
    QString rst1, rst2, rst3;
    QString rxAtEvent;
};

class EventCapture
{
public:
    // Starts recording the events of `control`; a handler connected later
    // runs after the copy is taken.
    void record(tavro_m &control);

    QList<CapturedCall> calls;
    QList<QPair<QString, bool>> hooks; // port, handset lifted
    QStringList rxAtHook;
    QList<CapturedList> lists;
    QList<CapturedResponse> responses;
    QStringList debug;

    QStringList callNumbers() const;
    QList<bool> hookStates() const;
};

// A control whose four ports are fake slots, with COM1 open and every event
// recorded (from after the opening on).
struct FakeLink : EventCapture
{
    FakeLink();

    tavro_m control;
    FakeSlot *fakes[4] = {};
    FakeSlot *port = nullptr; // COM1's slot; null when it did not open
};

#endif
