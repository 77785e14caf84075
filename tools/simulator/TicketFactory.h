#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// Makes the objects that the terminal service publishes when a ticket is scanned: a
// validation ("transaction") of each product type, accepted or refused, with the
// details a real validation carries (balances in hundredths, journeys left, period
// pass activation, barcode stop groups), and maintenance configuration barcodes.
class TicketFactory
{
public:
    // The product types by the names the control commands use ("barcode", "epurse",
    // "journeys", "pass", "emv", "transfer", "passenger-update", "transfer-epurse",
    // "capping-epurse", "capping-journeys"); a decimal type number is accepted too.
    static QStringList typeNames();
    // False for an unknown name or number.
    static bool typeFromName(const QString& name, int* type);
    static QString nameOfType(int type);
    // Barcode tickets come from the scanner, every other type from the card reader.
    static bool isBarcode(int type) { return type == 0; }
    // The refusal that fits the type best (e.g. 205 "not enough balance" for a purse).
    static int defaultRefusal(int type);

    // One validation. Each call gets a new ticket id and the current time.
    QJsonObject transaction(int type, bool valid, int denyReasonId);

    // The configuration barcodes: "obc" (validator OBU broker URL), "network"
    // (static eth0 settings), "dhcp" (eth0 automatic), "both" (obc and network).
    static QStringList maintenanceKinds();
    // Empty for an unknown kind.
    static QJsonObject maintenanceBarcode(const QString& kind);

private:
    int m_serial = 0;
};
