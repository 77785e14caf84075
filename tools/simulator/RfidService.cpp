#include "RfidService.h"

#include "DispenserService.h"

#include <QJsonArray>
#include <QJsonValue>

const QString RfidService::KnownTemplate = QStringLiteral("KVRTv1");

RfidService::RfidService(const QString& baseTopic, QObject* parent)
    : SimulatedService(
        baseTopic,
        deviceInfo({{QStringLiteral("uid"), QStringLiteral("RDR-0001")},
                    {QStringLiteral("manufacturer"), QStringLiteral("KVRT Simulation")},
                    {QStringLiteral("model"), QStringLiteral("Simulated reader")},
                    {QStringLiteral("firmware"), QStringLiteral("1.0")}},
                   QStringLiteral("1.0.0")),
        parent)
{
    addCommandTopics(
        {QStringLiteral("/enable"), QStringLiteral("/disable"), QStringLiteral("/beep/+")});
    m_detectTimer.setSingleShot(true);
    connect(&m_detectTimer, &QTimer::timeout, this, &RfidService::detect);

    addMethod(QStringLiteral("/enable"),
              [this](const QJsonObject& params) { return enable(params); });
    addMethod(QStringLiteral("/disable"), [this](const QJsonObject&) { return disable(); });
    addMethod(QStringLiteral("/card/create"),
              [this](const QJsonObject& params) { return createCard(params); });
    addMethod(QStringLiteral("/card/write"),
              [this](const QJsonObject& params) { return writeCard(params); });
    addMethod(QStringLiteral("/card/read"),
              [this](const QJsonObject& params) { return readCard(params); });
}

void RfidService::linkDispenser(DispenserService* dispenser)
{
    if (m_dispenser)
        disconnect(m_dispenser, nullptr, this, nullptr);
    m_dispenser = dispenser;
    if (!dispenser)
        return;
    connect(dispenser, &DispenserService::cardArrivedAtRfid, this,
            [this](const QString& uid) { placeCard(uid); });
    connect(dispenser, &DispenserService::cardLeftRfid, this, [this] { removeCard(); });
    if (dispenser->cardAtRfid())
        placeCard(dispenser->cardAtRfidUid());
}

void RfidService::placeCard(const QString& uid, int type)
{
    if (uid.isEmpty() || uid == m_cardUid)
        return;
    removeCard();
    m_cardUid = uid;
    m_cardType = type;
    if (m_fieldOn)
        m_detectTimer.start(m_detectDelay);
}

void RfidService::removeCard()
{
    if (!hasCard())
        return;
    m_detectTimer.stop();
    const bool wasFound = m_found;
    const QString uid = m_cardUid;
    m_found = false;
    m_cardUid.clear();
    if (wasFound) {
        publishEvent(QStringLiteral("/card/removed"), QJsonObject {{QStringLiteral("uid"), uid}});
        deviceUpdated();
    }
}

int RfidService::state() const
{
    if (m_updating)
        return Update;
    if (!m_fault.isEmpty())
        return Error;
    if (!m_fieldOn)
        return Idle;
    return m_found ? CardFound : Searching;
}

void RfidService::setCardContent(const QString& uid, const QJsonObject& card)
{
    m_content.insert(uid, card);
}

void RfidService::failNextWrite(const QString& what)
{
    m_failWrite = what.isEmpty() ? QStringLiteral("Write failed") : what;
}

QJsonObject RfidService::deviceStatus() const
{
    return QJsonObject {
        {QStringLiteral("state"), state()},
        {QStringLiteral("error"), m_fault.isEmpty() ? QJsonValue() : QJsonValue(m_fault)},
    };
}

QJsonObject RfidService::errorReply(int, const QString& text) const
{
    return QJsonObject {
        {QStringLiteral("completed"), false},
        {QStringLiteral("error"), QJsonObject {{QStringLiteral("what"), text}}},
    };
}

void RfidService::handlePublication(const QString& suffix, const QJsonObject& json,
                                    bool payloadValid)
{
    if (suffix == QLatin1String("/enable")) {
        if (state() != Update && state() != Error)
            switchField(true, payloadValid && json.value(QStringLiteral("autoread")).toBool());
    } else if (suffix == QLatin1String("/disable")) {
        switchField(false, false);
    } else if (suffix == QLatin1String("/beep/valid")) {
        ++m_beepsValid;
        Q_EMIT deviceChanged();
    } else if (suffix == QLatin1String("/beep/invalid")) {
        ++m_beepsInvalid;
        Q_EMIT deviceChanged();
    }
}

QJsonObject RfidService::enable(const QJsonObject& params)
{
    if (state() == Update || state() == Error)
        return errorReply(0, QStringLiteral("Reader not available"));
    switchField(true, params.value(QStringLiteral("autoread")).toBool());
    return completed();
}

QJsonObject RfidService::disable()
{
    switchField(false, false);
    return completed();
}

QJsonObject RfidService::createCard(const QJsonObject& params)
{
    const QJsonObject fault = cardFault();
    if (!fault.isEmpty())
        return fault;
    const QString name = params.value(QStringLiteral("template")).toString();
    if (name != KnownTemplate)
        return errorReply(0, QStringLiteral("Unknown template ") + name);
    // A fresh layout of the template: whatever the card held is gone.
    const QJsonObject blank {
        {QStringLiteral("info"),
         QJsonObject {
             {QStringLiteral("version"), 0},
             {QStringLiteral("customsId"), 0},
             {QStringLiteral("status"), QStringLiteral("available")},
         }},
        {QStringLiteral("usageCounter"), 0},
        {QStringLiteral("usageLog"), QJsonArray()},
    };
    m_content.insert(
        m_cardUid,
        QJsonObject {{QStringLiteral("template"), name}, {QStringLiteral("data"), blank}});
    return completed({{QStringLiteral("data"), cardObject()}});
}

QJsonObject RfidService::writeCard(const QJsonObject& params)
{
    const QJsonObject fault = cardFault();
    if (!fault.isEmpty())
        return fault;
    if (!m_failWrite.isEmpty()) {
        const QString what = m_failWrite;
        m_failWrite.clear();
        return errorReply(0, what);
    }
    const QString uid = params.value(QStringLiteral("uid")).toString();
    if (!uid.isEmpty() && uid != m_cardUid)
        return errorReply(0, QStringLiteral("Card mismatch"));
    QJsonObject stored = m_content.value(m_cardUid);
    if (stored.isEmpty())
        return errorReply(0, QStringLiteral("Card not created"));
    if (stored.value(QStringLiteral("template")).toString()
        != params.value(QStringLiteral("template")).toString())
        return errorReply(0, QStringLiteral("Template mismatch"));
    if (!params.value(QStringLiteral("data")).isObject())
        return errorReply(0, QStringLiteral("Malformed card data"));

    // New usage entries are appended to those already on the card.
    QJsonObject data = params.value(QStringLiteral("data")).toObject();
    QJsonArray log = stored.value(QStringLiteral("data"))
                         .toObject()
                         .value(QStringLiteral("usageLog"))
                         .toArray();
    for (const QJsonValue& entry : data.value(QStringLiteral("usageLog")).toArray())
        log.append(entry);
    data.insert(QStringLiteral("usageLog"), log);
    stored.insert(QStringLiteral("data"), data);
    m_content.insert(m_cardUid, stored);
    return completed({{QStringLiteral("data"), cardObject()}});
}

QJsonObject RfidService::readCard(const QJsonObject& params)
{
    const QJsonObject fault = cardFault();
    if (!fault.isEmpty())
        return fault;
    const QJsonObject stored = m_content.value(m_cardUid);
    if (stored.isEmpty())
        return errorReply(0, QStringLiteral("Card not created"));
    if (stored.value(QStringLiteral("template")).toString()
        != params.value(QStringLiteral("template")).toString())
        return errorReply(0, QStringLiteral("Template mismatch"));
    return completed({{QStringLiteral("data"),
                       cardObject(params.value(QStringLiteral("usageLogs")).toInt(-1))}});
}

void RfidService::switchField(bool on, bool autoread)
{
    m_autoread = on && autoread;
    if (on) {
        m_fieldOn = true;
        deviceUpdated();
        // Found only after this answer has gone out, as a real field needs a moment.
        if (hasCard() && !m_found)
            m_detectTimer.start(m_detectDelay);
        return;
    }
    m_detectTimer.stop();
    m_fieldOn = false;
    m_found = false;
    deviceUpdated();
}

void RfidService::detect()
{
    if (!m_fieldOn || !hasCard() || m_found || state() == Update || state() == Error)
        return;
    m_found = true;
    publishEvent(QStringLiteral("/card/found"), tagObject());
    deviceUpdated();
    if (m_autoread) {
        if (m_content.contains(m_cardUid)) {
            publishEvent(QStringLiteral("/card/autoread"), cardObject());
        } else {
            publishEvent(QStringLiteral("/card/autoread"),
                         QJsonObject {{QStringLiteral("error"),
                                       QJsonObject {{QStringLiteral("what"),
                                                     QStringLiteral("Card not created")}}}});
        }
    }
}

QJsonObject RfidService::cardFault() const
{
    if (state() == Update || state() == Error)
        return errorReply(0, QStringLiteral("Reader not available"));
    if (!m_fieldOn)
        return errorReply(0, QStringLiteral("RF is disabled"));
    if (!m_found)
        return errorReply(0, QStringLiteral("No card in field"));
    return QJsonObject();
}

QJsonObject RfidService::cardObject(int usageLogs) const
{
    QJsonObject card = tagObject();
    const QJsonObject stored = m_content.value(m_cardUid);
    card.insert(QStringLiteral("template"), stored.value(QStringLiteral("template")));
    QJsonObject data = stored.value(QStringLiteral("data")).toObject();
    if (usageLogs >= 0) {
        const QJsonArray log = data.value(QStringLiteral("usageLog")).toArray();
        QJsonArray last;
        for (int i = qMax(0, log.size() - usageLogs); i < log.size(); ++i)
            last.append(log.at(i));
        data.insert(QStringLiteral("usageLog"), last);
    }
    card.insert(QStringLiteral("data"), data);
    return card;
}

QJsonObject RfidService::tagObject() const
{
    return QJsonObject {{QStringLiteral("uid"), m_cardUid}, {QStringLiteral("type"), m_cardType}};
}

void RfidService::deviceUpdated()
{
    const QJsonObject status = deviceStatus();
    if (status != m_lastStatus) {
        m_lastStatus = status;
        publishStatus();
    }
    Q_EMIT deviceChanged();
}
