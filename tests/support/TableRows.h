#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

// Qt Test rows written as tables, denser than a QTest::newRow() chain per row. Column names
// are kept as given (QtTest keeps the pointers): pass literals.
// addTextRows: lines "name | field | ...", one QString column per field; fields are trimmed.
inline void addTextRows(const QList<const char*>& columns, const QString& table)
{
    for (const char* column : columns)
        QTest::addColumn<QString>(column);
    for (const QString& line : table.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split('|');
        QTestData& row = QTest::newRow(qPrintable(fields[0].trimmed()));
        for (int i = 1; i <= columns.size(); ++i)
            row << fields.value(i).trimmed();
    }
}

// A JSON array of rows [name, value, ...], one QJsonValue column per value.
inline void addJsonRows(const QList<const char*>& columns, const char* table)
{
    for (const char* column : columns)
        QTest::addColumn<QJsonValue>(column);
    QJsonParseError error;
    const QJsonArray rows = QJsonDocument::fromJson(table, &error).array();
    QVERIFY2(!error.error,
             qPrintable(error.errorString() + " at " + QString::number(error.offset)));
    for (const QJsonValue row : rows) {
        QTestData& data = QTest::newRow(qPrintable(row[0].toString()));
        for (int i = 1; i <= columns.size(); ++i)
            data << row[i];
    }
}

// The current row's value in a QJsonValue column, without a QFETCH per column.
inline QJsonValue cell(const char* column)
{
    return *static_cast<QJsonValue*>(QTest::qData(column, qMetaTypeId<QJsonValue>()));
}

// The object with the changes applied over it (keys replaced or added).
inline QJsonObject changed(QJsonObject object, const QJsonObject& changes)
{
    for (auto it = changes.begin(); it != changes.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}
