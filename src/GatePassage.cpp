#include "GatePassage.h"

#include "UpdateProperty.h"

#include <QWindow>
#include <qqml.h>

GatePassage::GatePassage(QObject* parent)
    : QObject(parent)
{
    m_show.setSingleShot(true);
    m_show.setTimerType(Qt::PreciseTimer);
    m_show.setInterval(ScreenLagMsec);
    connect(&m_show, &QTimer::timeout, this, &GatePassage::show);
}

void GatePassage::showIn(QWindow* window)
{
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = window;
    if (m_window)
        m_window->installEventFilter(this);
}

void GatePassage::show()
{
    m_show.stop();
    updateProperty(m_shownPhase, m_phase, this, &GatePassage::shownPhaseChanged);
}

// The platform's request for a frame comes before the frame is made: a phase shown then
// is in it.
bool GatePassage::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::UpdateRequest && m_show.isActive() && watched == m_window)
        show();
    return QObject::eventFilter(watched, event);
}

void GatePassage::registerQmlType()
{
    static const bool registered = (qmlRegisterUncreatableType<GatePassage>(
                                        "com.ovant.gui.passage", 1, 0, "GatePassage",
                                        QStringLiteral("Available as 'manager.passage' only")),
                                    true);
    Q_UNUSED(registered)
}

void GatePassage::start()
{
    if (m_phase == Initial)
        setPhase(Busy);
}

void GatePassage::finish(bool failed)
{
    if (m_phase == Busy)
        setPhase(failed ? Error : Final);
}

void GatePassage::reset()
{
    switch (m_phase) {
    case Error:
        setPhase(Initial);
        break;
    case Final:
        setPhase(roadBusy() ? RoadBusy : Initial);
        break;
    case RoadBusy:
        setPhase(Final);
        break;
    case Initial:
    case Busy:
        break;
    }
}

void GatePassage::setPhase(Phase phase)
{
    if (!updateProperty(m_phase, phase, this, &GatePassage::phaseChanged))
        return;
    // The lag counts from the first of a burst of steps: the page is not held back longer.
    if (!m_show.isActive())
        m_show.start();
}
