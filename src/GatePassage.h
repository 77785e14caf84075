#pragma once

#include <QObject>

// Where the gate page is in one passage (a card issue, a ticket), as the manager reports
// it; the page shows one sub-page per phase and only compares this value:
//   Initial  --start-->  Busy
//   Busy     --finish--> Error if the passage failed, else Final
//   Error    --reset-->  Initial
//   Final    --reset-->  RoadBusy if the road is busy, else Initial
//   RoadBusy --reset-->  Final
// Any other step leaves the phase as it is.
class GatePassage : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)

public:
    enum Phase { Initial = 0, Busy, Error, Final, RoadBusy };
    Q_ENUM(Phase)

    using QObject::QObject;

    // Makes the phases known to QML as GatePassage.Initial etc.
    static void registerQmlType();

    Phase phase() const { return m_phase; }
    // Nothing reports a busy road: a passage always ends at the initial prompt.
    bool roadBusy() const { return false; }

    // Follows a manager's processStarted, processFinished (whether the passage failed is
    // its errorOccured() at that moment) and resetInitialScreen.
    template<typename Manager>
    void follow(Manager* manager)
    {
        connect(manager, &Manager::processStarted, this, &GatePassage::start);
        connect(manager, &Manager::processFinished, this,
                [this, manager] { finish(manager->errorOccured()); });
        connect(manager, &Manager::resetInitialScreen, this, &GatePassage::reset);
    }

public Q_SLOTS:
    void start();
    void finish(bool failed);
    void reset();

Q_SIGNALS:
    void phaseChanged();

private:
    void setPhase(Phase phase);

    Phase m_phase = Initial;
};
