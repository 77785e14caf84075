#pragma once

#include <QObject>
#include <QTimer>

// Where the gate page is in one passage (a card issue, a ticket), as the manager reports
// it; the page shows one sub-page per phase and only compares this value:
//   Initial  --start-->  Busy
//   Busy     --finish--> Error if the passage failed, else Final
//   Error    --reset-->  Initial
//   Final    --reset-->  RoadBusy if the road is busy, else Initial
//   RoadBusy --reset-->  Final
// Any other step leaves the phase as it is.
//
// The page shows shownPhase: the phase, ScreenLagMsec after it changed. What starts or
// ends a passage comes with a request to a device (the dispenser's issue, the inspector's
// sound), and on a board where the broker and the device services share the processors
// with this program, the request reaches them before the page's work (bindings, a page
// being made) takes the processor. The manager asks for its frame as the passage changes,
// and the platform waits longer than this before it draws: the frame shows the new phase
// no later than it would have. Steps closer together than that lag are shown as one.
class GatePassage : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(Phase shownPhase READ shownPhase NOTIFY shownPhaseChanged)

public:
    enum Phase { Initial = 0, Busy, Error, Final, RoadBusy };
    Q_ENUM(Phase)

    static constexpr int ScreenLagMsec = 2;

    explicit GatePassage(QObject* parent = nullptr);

    // Makes the phases known to QML as GatePassage.Initial etc.
    static void registerQmlType();

    Phase phase() const { return m_phase; }
    Phase shownPhase() const { return m_shownPhase; }
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
    void shownPhaseChanged();

private:
    void setPhase(Phase phase);

    Phase m_phase = Initial;
    Phase m_shownPhase = Initial;
    QTimer m_show;
};
