// The customer book over HTTP: search, one customer by number (in any
// written form), CSV import and export. Same token, origin checks and JSON
// errors as the rest of /api/; errors a person reads also come in Korean
// ("errorKo").
#ifndef TAVROD_CUSTOMERS_API_H
#define TAVROD_CUSTOMERS_API_H

namespace tavrod {

class Api;
class EventStore;

// GET /api/customers, GET|PUT|DELETE /api/customers/{number},
// POST /api/customers/import, GET /api/customers/export.
void addCustomerRoutes(Api &api, EventStore &store);

} // namespace tavrod

#endif
