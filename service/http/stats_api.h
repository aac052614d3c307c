// GET /api/stats: calls per hour of the day, day or weekday (answered and
// missed among them) and the most frequent callers, over a range.
#ifndef TAVROD_STATS_API_H
#define TAVROD_STATS_API_H

namespace tavrod {

class Api;
class EventStore;

class StatsApi
{
public:
    StatsApi(Api &api, EventStore &store);

private:
    EventStore &m_store;
};

} // namespace tavrod

#endif
