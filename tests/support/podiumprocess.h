#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One podium program run by a test or a benchmark, with an audio server of
// its own in `base`/`name` (see AudioHarness::startPrivateServer), its own
// temporary folder and therefore its own log. Stops the program and the
// server when destroyed. Owned by the caller; main thread.
class PodiumProcess
{
    Q_DISABLE_COPY(PodiumProcess)

public:
    PodiumProcess(const QString& name, const QString& base);
    ~PodiumProcess();

    QString dir() const { return m_dir; }
    QString logPath() const;

    // Starts the audio server and `program` (podium) with `arguments`;
    // `extra` is added to the environment.
    bool start(const QString& program, const QStringList& arguments,
        const QProcessEnvironment& extra = QProcessEnvironment());
    void stop();
    // The program's standard error (a mirror of its log) goes nowhere
    // instead of to ours; set before start().
    void discardErrorOutput() { m_quiet = true; }

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QByteArray log() const;
    bool logContains(const QString& text) const;
    int logCount(const QString& text) const;

private:
    QString m_name;
    QString m_dir;
    QProcess m_process;
    bool m_quiet = false;
};
