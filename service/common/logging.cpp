#include "logging.h"

namespace tavrod {

Q_LOGGING_CATEGORY(lcService, "tavrod.service", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLink, "tavrod.link", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStore, "tavrod.store", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHttp, "tavrod.http", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAccess, "tavrod.access", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStream, "tavrod.stream", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHooks, "tavrod.hooks", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMqtt, "tavrod.mqtt", QtInfoMsg)

void installLogFormat()
{
    const char *levels = "%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}"
                         "%{if-critical}<3>%{endif}%{if-fatal}<2>%{endif}";
    const QString pattern = QStringLiteral("%{category}: %{message}");
    qSetMessagePattern(qEnvironmentVariableIsSet("JOURNAL_STREAM") ? QLatin1String(levels) + pattern : pattern);
}

} // namespace tavrod
