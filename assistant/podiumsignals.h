#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so a server
// box ends its class in an orderly way. The handler only writes the signal's
// number into a socket pair (async-signal-safe); a QSocketNotifier reads it.
// One instance per process, owned by main.
class PodiumSignalWatcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PodiumSignalWatcher)

public:
    explicit PodiumSignalWatcher(QObject* parent = nullptr);
    ~PodiumSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};
