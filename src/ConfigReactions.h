#pragma once

#include <QRegularExpression>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <vector>

// What a set of configuration changes sets off: the first row that matches the set
// runs, the rows after it do not. A row matches a key in the set, or a pattern that
// matches any key of the set anywhere in it.
class ConfigReactions
{
public:
    // Given the new value of the row's key (invalid for a pattern row).
    using Reaction = std::function<void(const QVariant& value)>;

    ConfigReactions& onKey(const QString& key, Reaction reaction);
    ConfigReactions& onPattern(const QString& pattern, Reaction reaction);

    // Runs the first matching row; false when none matches.
    bool react(const QVariantMap& changes) const;

private:
    struct Row
    {
        QString key;
        QRegularExpression pattern;
        Reaction reaction;
    };
    std::vector<Row> m_rows;
};
