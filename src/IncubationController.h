#pragma once

#include <QObject>
#include <QQmlIncubationController>
#include <QTimer>

// Makes what the QML scene creates asynchronously (pages loaded in the background) in
// slices of a couple of milliseconds, one slice per turn of the event loop, so that a
// message, a touch or a frame never waits longer than a slice for a page being made.
// (Qt's own controller works in slices of a third to two thirds of a frame.)
class IncubationController : public QObject, public QQmlIncubationController
{
    Q_OBJECT

public:
    static constexpr int SliceMsec = 2;

    explicit IncubationController(QObject* parent = nullptr);

protected:
    void incubatingObjectCountChanged(int count) override;

private:
    void incubateSlice();

    QTimer m_turn;
};
