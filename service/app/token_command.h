// `tavrod token add|list|revoke`: device tokens and remembered dashboard
// sessions in the store, changed while the service runs (it sees a change
// within two seconds).
#ifndef TAVROD_TOKEN_COMMAND_H
#define TAVROD_TOKEN_COMMAND_H

#include <QStringList>

#include <cstdio>

namespace tavrod {

// arguments: what follows "token" on the command line. Returns the exit
// status; a new token goes to out, everything else to err.
int runTokenCommand(const QStringList &arguments, std::FILE *out, std::FILE *err);

} // namespace tavrod

#endif
