#include "token_command.h"

#include "login_book.h"
#include "options.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace tavrod {

namespace {

const char usage[] = "usage: tavrod token add NAME [--scope view|admin] [--db DB | --config FILE]\n"
                     "       tavrod token list [--db DB | --config FILE]\n"
                     "       tavrod token revoke NAME | --session ID [--db DB | --config FILE]\n";

// The store the service uses: --db, else the configuration file's db, else
// the default.
bool storeOf(const QCommandLineParser &parser, QString *db, QString *error)
{
    if (parser.isSet(QStringLiteral("db"))) {
        *db = parser.value(QStringLiteral("db"));
        return true;
    }
    if (parser.isSet(QStringLiteral("config"))) {
        const QString path = parser.value(QStringLiteral("config"));
        if (!QFileInfo(path).isReadable()) {
            *error = QStringLiteral("cannot read the configuration file %1").arg(path);
            return false;
        }
        const QSettings file(path, QSettings::IniFormat);
        *db = file.value(QStringLiteral("db"), defaultDbPath()).toString();
        return true;
    }
    *db = defaultDbPath();
    return true;
}

bool validName(const QString &name)
{
    // "admin" names the token file's holder in sessions and listings.
    static const QRegularExpression pattern(QStringLiteral("^[\\w.@-]{1,64}$"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return name != u"admin" && pattern.match(name).hasMatch();
}

void printList(const QList<LoginRow> &rows, std::FILE *out)
{
    std::fprintf(out, "%-20s %-8s %-6s %-24s %-24s %s\n", "NAME", "KIND", "SCOPE", "CREATED", "LAST USED", "ID");
    for (const LoginRow &row : rows) {
        std::fprintf(out, "%-20s %-8s %-6s %-24s %-24s %s\n", qPrintable(row.name), row.session ? "session" : "token",
                     qPrintable(row.scope), qPrintable(row.created),
                     row.lastUsed.isEmpty() ? "never" : qPrintable(row.lastUsed),
                     row.session ? row.hash.left(12).constData() : "");
    }
}

int addToken(LoginBook &book, const QString &name, const QString &scope, std::FILE *out, std::FILE *err)
{
    if (!validName(name) || (scope != u"view" && scope != u"admin")) {
        std::fprintf(err, "tavrod token: a name is 1 to 64 letters, digits, . _ @ - (not \"admin\");"
                          " the scope is view or admin\n");
        return 2;
    }
    QString error;
    const QByteArray secret = randomSecret();
    if (!book.addToken(name, scope, secretHash(secret), &error)) {
        std::fprintf(err, "tavrod token: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(out, "%s\n", secret.constData());
    std::fprintf(err, "tavrod token: %s (%s) added; the token above is shown this once\n", qPrintable(name),
                 qPrintable(scope));
    return 0;
}

int listTokens(LoginBook &book, std::FILE *out, std::FILE *err)
{
    QString error;
    QList<LoginRow> rows;
    if (!book.list(&rows, &error)) {
        std::fprintf(err, "tavrod token: %s\n", qPrintable(error));
        return 1;
    }
    printList(rows, out);
    return 0;
}

// Revokes a token by its name, or a remembered session by its ID.
int revoke(LoginBook &book, bool session, const QString &which, std::FILE *err)
{
    QString error;
    int removed = 0;
    const bool ok = session ? book.revokeSession(which.toLatin1(), &removed, &error)
                            : book.revokeToken(which, &removed, &error);
    if (!ok) {
        std::fprintf(err, "tavrod token: %s\n", qPrintable(error));
        return 1;
    }
    if (removed == 0) {
        std::fprintf(err, "tavrod token: nothing by that name\n");
        return 1;
    }
    std::fprintf(err, "tavrod token: %d revoked\n", removed);
    return 0;
}

} // namespace

int runTokenCommand(const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("db"), QStringLiteral("The store."), QStringLiteral("DB")},
                       {QStringLiteral("config"), QStringLiteral("The service's configuration."), QStringLiteral("FILE")},
                       {QStringLiteral("scope"), QStringLiteral("view or admin."), QStringLiteral("SCOPE"),
                        QStringLiteral("view")},
                       {QStringLiteral("session"), QStringLiteral("A remembered session's ID."), QStringLiteral("ID")}});
    QString error;
    if (!parser.parse(QStringList{QStringLiteral("tavrod token")} + arguments)) {
        std::fprintf(err, "tavrod token: %s\n%s", qPrintable(parser.errorText()), usage);
        return 2;
    }
    const QStringList words = parser.positionalArguments();
    const QString verb = words.value(0);
    const bool wellFormed = (verb == u"add" && words.size() == 2) || (verb == u"list" && words.size() == 1)
        || (verb == u"revoke" && words.size() == (parser.isSet(QStringLiteral("session")) ? 1 : 2));
    if (!wellFormed) {
        std::fputs(usage, err);
        return 2;
    }
    QString db;
    if (!storeOf(parser, &db, &error)) {
        std::fprintf(err, "tavrod token: %s\n", qPrintable(error));
        return 2;
    }
    LoginBook book(db);
    if (!book.open(&error)) {
        std::fprintf(err, "tavrod token: %s\n", qPrintable(error));
        return 1;
    }

    if (verb == u"add")
        return addToken(book, words.at(1), parser.value(QStringLiteral("scope")), out, err);
    if (verb == u"list")
        return listTokens(book, out, err);
    return parser.isSet(QStringLiteral("session"))
        ? revoke(book, true, parser.value(QStringLiteral("session")), err)
        : revoke(book, false, words.at(1), err);
}

} // namespace tavrod
