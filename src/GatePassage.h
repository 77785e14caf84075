#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QWindow;

// Where the gate page is in one passage (a card issue, a ticket), as the manager reports
// it; the page shows one sub-page per phase and only compares this value:
//   Initial  --start-->  Busy
//   Busy     --finish--> Error if the passage failed, else Final
//   Error    --reset-->  Initial
//   Final    --reset-->  RoadBusy if the road is busy, else Initial
//   RoadBusy --reset-->  Final
// Any other step leaves the phase as it is.
//
// The page shows shownPhase: the phase as of the window's next frame, or ScreenLagMsec
// after it changed if that comes first. What starts or ends a passage comes with a request
// to a device (the card issuer's first, the inspector's sound); on a board where the broker
// and the device services share the processors with this program, the request then
// reaches them before the page's work (bindings, a page being made) takes the processor.
// The manager asks the platform for a frame at each change, and the platform waits longer
// than the lag before it draws: the work is still done while it waits, and no frame shows
// a phase left behind. Steps closer together than the lag are shown as one. A ticket's
// result is usually drawn sooner (the manager's own frame at the end of its turn, once the
// sound request is out): the phase is then shown at that frame.
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
    // The window whose frames show the phase (none: the lag alone decides).
    void showIn(QWindow* window);
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setPhase(Phase phase);
    void show();

    Phase m_phase = Initial;
    Phase m_shownPhase = Initial;
    QTimer m_show;
    // As a QWindow: its filter still sees events while the window is being destroyed.
    QPointer<QWindow> m_window;
};
