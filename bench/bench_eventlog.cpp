// Cost of logging an event when the log is full: EventManager::push with 1000 events
// rewrites the whole file and keeps the view sorted. Anchor, measured in the same run
// on the same disk: writing the same 1000 entries with plain QSettings. Goal: ratio
// <= 1.2.
//
// Usage: bench_eventlog [pushes]

#include "Config.h"
#include "Event.h"
#include "EventManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void quietHandler(QtMsgType, const QMessageLogContext&, const QString&) { }

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// One plain rewrite of the file with the given events, as QSettings does it.
void writePlain(const QString& filename, const QList<Event*>& events)
{
    QSettings file(filename, QSettings::IniFormat);
    file.clear();
    file.beginWriteArray(QStringLiteral("events"), events.size());
    for (int i = 0; i < events.size(); ++i) {
        file.setArrayIndex(i);
        file.setValue(QStringLiteral("category"), events.at(i)->category());
        file.setValue(QStringLiteral("name"), events.at(i)->name());
        file.setValue(QStringLiteral("desc"), events.at(i)->description());
        file.setValue(QStringLiteral("timestamp"), events.at(i)->timestamp());
    }
    file.endArray();
    file.sync();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int pushes = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 200;
    qInstallMessageHandler(quietHandler);

    QTemporaryDir dir;
    Config config(dir.filePath(QStringLiteral("gui.conf")), QVariantMap());
    const QDateTime start = QDateTime::currentDateTime().addDays(-1);
    QList<Event*> full;
    for (int i = 0; i < EventManager::MaxEvents; ++i)
        full.append(new Event(QStringLiteral("General"), QStringLiteral("Ignition on"),
                              QStringLiteral("User ID : 0\nFirst name : OVANT"), start.addSecs(i),
                              &app));
    writePlain(dir.filePath(QStringLiteral("events.ini")), full);
    EventManager manager(config, dir.path());

    QTemporaryDir plainDir;
    const QString plainFile = plainDir.filePath(QStringLiteral("events.ini"));
    writePlain(plainFile, full);

    // Alternating, so that both see the same state of the machine.
    std::vector<double> pushTimes, plainTimes;
    QElapsedTimer clock;
    for (int i = 0; i < pushes; ++i) {
        auto* event = new Event(QStringLiteral("General"), QStringLiteral("Maintenance login"),
                                QStringLiteral("Date : now"), start.addSecs(500 + i));
        clock.start();
        manager.push(event);
        pushTimes.push_back(clock.nsecsElapsed() / 1e3);
        clock.start();
        writePlain(plainFile, full);
        plainTimes.push_back(clock.nsecsElapsed() / 1e3);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    const double push = median(pushTimes);
    const double plain = median(plainTimes);
    std::printf("event log: %d pushes into a log of %d events\n", pushes, manager.count());
    std::printf("  push (file rewritten, view sorted): median %.0f us\n", push);
    std::printf("  plain QSettings write of %d entries: median %.0f us\n", EventManager::MaxEvents,
                plain);
    std::printf("  ratio %.2f (goal <= 1.2)\n", push / plain);
    return 0;
}
