// A program's command-line options as one table (name, value, default,
// help, configuration key): the parser, the --help text and the list that
// the man page is checked against all come from it.
#ifndef TAVRO_TOOLS_OPTION_TABLE_H
#define TAVRO_TOOLS_OPTION_TABLE_H

#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

class QCoreApplication;

namespace tavro::tools {

struct OptionRow
{
    QString name;          // the long name, without dashes
    QString value;         // the value's name in the help; empty for a switch
    QString defaultValue;  // what value() gives when the option is absent; shown in the help
    QString help;          // one sentence or two
    QString configKey;     // its key in a configuration file; empty when it has none
};

class OptionTable
{
public:
    OptionTable(const QString &description, QList<OptionRow> rows);

    // Parses the arguments of `app` as QCommandLineParser::process does:
    // --help and --version print and exit, an error is printed with exit 2.
    void process(const QCoreApplication &app);
    // Parses `arguments` (argv[0] first) and leaves --help, --version and
    // errors to the caller: false with errorText() on a bad argument.
    bool parse(const QStringList &arguments) { return m_parser.parse(arguments); }
    QString errorText() const { return m_parser.errorText(); }
    // The row's configuration key, empty for an unknown name or a row without one.
    QString configKey(const QString &name) const;

    bool isSet(const QString &name) const { return m_parser.isSet(name); }
    QString value(const QString &name) const { return m_parser.value(name); }
    QStringList values(const QString &name) const { return m_parser.values(name); }
    QStringList positionalArguments() const { return m_parser.positionalArguments(); }
    QString helpText() const { return m_parser.helpText(); }
    const QList<OptionRow> &rows() const { return m_rows; }

private:
    QCommandLineParser m_parser;
    QList<OptionRow> m_rows;
};

} // namespace tavro::tools

#endif
