#include "ConfigReactions.h"

#include <algorithm>

ConfigReactions& ConfigReactions::onKey(const QString& key, Reaction reaction)
{
    m_rows.push_back({key, QRegularExpression(), std::move(reaction)});
    return *this;
}

ConfigReactions& ConfigReactions::onPattern(const QString& pattern, Reaction reaction)
{
    m_rows.push_back({QString(), QRegularExpression(pattern), std::move(reaction)});
    return *this;
}

bool ConfigReactions::react(const QVariantMap& changes) const
{
    const QStringList keys = changes.keys();
    for (const Row& row : m_rows) {
        const bool matches = row.key.isEmpty()
            ? std::any_of(keys.cbegin(), keys.cend(),
                          [&row](const QString& key) { return row.pattern.match(key).hasMatch(); })
            : changes.contains(row.key);
        if (matches) {
            row.reaction(changes.value(row.key));
            return true;
        }
    }
    return false;
}
