// The customer book over HTTP: search, one customer by number (in any
// written form), CSV import and export. Same token, origin checks and JSON
// errors as the rest of /api/; errors a person reads also come in Korean
// ("errorKo").
#ifndef TAVROD_CUSTOMERS_API_H
#define TAVROD_CUSTOMERS_API_H

namespace tavrod {

class Api;
class EventLog;
class EventStore;

// GET /api/customers, GET|PUT|DELETE /api/customers/{number},
// POST /api/customers/import, GET /api/customers/export. Every change is
// also an event in the log (CustomerChanged, CustomersImported), so every
// screen and every site sharing the database hears of it.
void addCustomerRoutes(Api &api, EventStore &store, EventLog &log);

} // namespace tavrod

#endif
