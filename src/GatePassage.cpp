#include "GatePassage.h"

#include "UpdateProperty.h"

#include <qqml.h>

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
    updateProperty(m_phase, phase, this, &GatePassage::phaseChanged);
}
