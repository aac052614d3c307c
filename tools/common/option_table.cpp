#include "option_table.h"

#include <QCoreApplication>

namespace tavro::tools {

OptionTable::OptionTable(const QString &description, QList<OptionRow> rows)
    : m_rows(std::move(rows))
{
    m_parser.setApplicationDescription(description);
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    for (const OptionRow &row : m_rows) {
        QString help = row.help;
        if (!row.defaultValue.isEmpty())
            help += QStringLiteral(" (default: %1)").arg(row.defaultValue);
        if (!row.configKey.isEmpty())
            help += QStringLiteral(" [configuration key: %1]").arg(row.configKey);
        m_parser.addOption(QCommandLineOption(row.name, help, row.value, row.defaultValue));
    }
}

void OptionTable::process(const QCoreApplication &app)
{
    m_parser.process(app);
}

QString OptionTable::configKey(const QString &name) const
{
    for (const OptionRow &row : m_rows) {
        if (row.name == name)
            return row.configKey;
    }
    return {};
}

} // namespace tavro::tools
