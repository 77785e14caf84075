#include "IncubationController.h"

IncubationController::IncubationController(QObject* parent)
    : QObject(parent)
{
    // A zero timer fires once the event loop has handled what was waiting.
    m_turn.setInterval(0);
    connect(&m_turn, &QTimer::timeout, this, &IncubationController::incubateSlice);
}

void IncubationController::incubatingObjectCountChanged(int count)
{
    if (count > 0 && !m_turn.isActive())
        m_turn.start();
    else if (count == 0)
        m_turn.stop();
}

void IncubationController::incubateSlice()
{
    incubateFor(SliceMsec);
    if (incubatingObjectCount() == 0)
        m_turn.stop();
}
