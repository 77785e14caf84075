#include "Event.h"

Event::Event(QObject* parent)
    : Event(QString(), QString(), QString(), QDateTime(), parent)
{ }

Event::Event(const QString& category, const QString& name, const QString& description,
             const QDateTime& timestamp, QObject* parent)
    : Event(category, name, description, timestamp, timestamp.toUTC(), parent)
{ }

Event::Event(const QString& category, const QString& name, const QString& description,
             const QDateTime& timestamp, const QDateTime& instant, QObject* parent)
    : QObject(parent)
    , m_category(category)
    , m_name(name)
    , m_descr(description)
    , m_timestamp(timestamp)
    , m_instant(instant)
{ }

Event::~Event() = default;
