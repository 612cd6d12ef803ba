#pragma once

#include "base/sqlconnection.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

namespace StatisticsFiles {

// The table every statistics file holds; created where it is missing.
QString createTableSql();
bool ensureTable(QSqlDatabase db, QSqlError* error = nullptr);
// Copies a file so that the target holds either its old or the whole new content.
bool copyFile(const QString& source, const QString& target);
// Replaces target by source in one step (rename over).
bool replaceFile(const QString& source, const QString& target);

}  // namespace StatisticsFiles
