// Card, tag, SAM and transaction objects built from a JSON document as the services
// send them, then read back the way the clients and the screens read them.

#include "FuzzSupport.h"
#include "KVRTv1Card.h"
#include "SAM.h"
#include "Tag.h"
#include "Transaction.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QJsonDocument document = QJsonDocument::fromJson(fuzz::bytes(data, size));

    if (document.isArray()) {
        QObject owner;
        const QJsonArray sams = document.array();
        for (SAM* sam : SAM::listFromJson(sams, &owner, QStringLiteral("[fuzz] ")))
            sam->fromJson(sams.first().toObject());
        return 0;
    }

    const QJsonObject json = document.object();
    if (const Tag::Ptr tag = Tag::fromJson(json))
        tag->toJson();
    if (const KVRTv1Card::Ptr card = KVRTv1Card::fromJson(json)) {
        const QJsonObject written = card->toJson();
        card->setData(card->data());
        KVRTv1Card::fromJson(written);
        card->addUsageLog(QStringLiteral("exit"), QStringLiteral("K00000001"), QStringLiteral("1"));
        card->toJson();
    }
    const Transaction transaction(json);
    transaction.toMap();
    transaction.ticket();
    transaction.ticketId();
    fuzz::settle();
    return 0;
}
