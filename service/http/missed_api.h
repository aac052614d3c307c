// The missed calls nobody has dealt with yet: the list newest first, its
// count, and marking one done. Marking is stored as an event (MissedDone)
// like every other, so every screen hears of it from the stream at once,
// and the first screen to mark a call wins: the next hears who and when.
#ifndef TAVROD_MISSED_API_H
#define TAVROD_MISSED_API_H

#include <QJsonObject>

#include <functional>

namespace tavrod {

class Access;
class Api;
class EventStore;
struct HttpRequest;
class HttpResponder;

class MissedApi
{
public:
    using Record = std::function<void(const QJsonObject &event)>;

    MissedApi(Api &api, Access &access, EventStore &store, Record record);

private:
    void list(const HttpRequest &request, HttpResponder responder) const;
    void count(const HttpRequest &request, HttpResponder responder) const;
    void markDone(const HttpRequest &request, HttpResponder responder) const;

    Access &m_access;
    EventStore &m_store;
    Record m_record;
};

} // namespace tavrod

#endif
