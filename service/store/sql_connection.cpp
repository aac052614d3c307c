#include "sql_connection.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

namespace tavrod {

QString sqlError(const QString &step, const QSqlError &error)
{
    const QString why = error.text().simplified();
    return step.isEmpty() ? why : QStringLiteral("%1: %2").arg(step, why);
}

void bindAll(QSqlQuery &query, const QVariantList &values, NullText nullText)
{
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        const bool empty = nullText == NullText::Empty && value.typeId() == QMetaType::QString
            && value.toString().isNull();
        query.bindValue(i, empty ? QVariant(QStringLiteral("")) : value);
    }
}

QStringList sqlStatements(const char *const *list)
{
    QStringList statements;
    for (; *list; ++list)
        statements.append(QString::fromUtf8(*list));
    return statements;
}

bool makeFolderFor(const QString &file, QString *error)
{
    const QString folder = QFileInfo(file).absolutePath();
    if (QDir().mkpath(folder))
        return true;
    *error = QStringLiteral("cannot create the folder %1").arg(folder);
    return false;
}

SqlConnection::SqlConnection(const char *kind, const void *owner)
    : m_name(QStringLiteral("tavrod-%1-%2").arg(QLatin1String(kind)).arg(quintptr(owner)))
{
}

SqlConnection::~SqlConnection()
{
    release();
}

void SqlConnection::add(const QString &driver)
{
    release();
    QSqlDatabase::operator=(QSqlDatabase::addDatabase(driver, m_name));
}

bool SqlConnection::openAs(const QString &what, QString *error)
{
    if (open())
        return true;
    *error = sqlError(what, lastError());
    return false;
}

bool SqlConnection::execAll(const QStringList &statements, const QString &step, QString *error)
{
    QSqlQuery query(*this);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            *error = sqlError(step.isEmpty() ? statement : step, query.lastError());
            return false;
        }
    }
    return true;
}

void SqlConnection::release()
{
    if (!isValid())
        return;
    close();
    QSqlDatabase::operator=(QSqlDatabase());
    QSqlDatabase::removeDatabase(m_name);
}

SqlTransaction::SqlTransaction(QSqlDatabase db)
    : m_db(std::move(db))
{
}

SqlTransaction::~SqlTransaction()
{
    if (m_open)
        m_db.rollback();
}

bool SqlTransaction::begin(const QString &step, QString *error)
{
    m_open = m_db.transaction();
    if (!m_open)
        *error = sqlError(step, m_db.lastError());
    return m_open;
}

bool SqlTransaction::commit(const QString &step, QString *error)
{
    if (m_db.commit()) {
        m_open = false;
        return true;
    }
    *error = sqlError(step, m_db.lastError());
    return false;
}

} // namespace tavrod
