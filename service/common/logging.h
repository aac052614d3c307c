// tavrod's log: one Qt logging category per part, so that
// QT_LOGGING_RULES="tavrod.http.debug=true" (or "tavrod.hooks=false") tunes
// one part, and one line per event. Tokens and passwords never go in.
#ifndef TAVROD_LOGGING_H
#define TAVROD_LOGGING_H

#include <QLoggingCategory>

namespace tavrod {

Q_DECLARE_LOGGING_CATEGORY(lcService) // start, stop, the configuration in use
Q_DECLARE_LOGGING_CATEGORY(lcLink)    // the serial ports
Q_DECLARE_LOGGING_CATEGORY(lcStore)   // SQLite, PostgreSQL, the spool
Q_DECLARE_LOGGING_CATEGORY(lcHttp)    // connections, requests and their bounds
Q_DECLARE_LOGGING_CATEGORY(lcAccess)  // tokens, logins, refusals
Q_DECLARE_LOGGING_CATEGORY(lcStream)  // the WebSocket stream
Q_DECLARE_LOGGING_CATEGORY(lcHooks)   // --on-call commands
Q_DECLARE_LOGGING_CATEGORY(lcMqtt)    // the MQTT publisher

// Lines as "tavrod.store: text"; under systemd (JOURNAL_STREAM set) each
// line starts with its syslog level (<3>, <4>, <6>, <7>) for the journal.
void installLogFormat();

} // namespace tavrod

#endif
