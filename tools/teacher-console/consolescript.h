#pragma once

#include <QObject>
#include <QStringList>

class QSocketNotifier;
class QTimer;
class TeacherConsole;

// Runs the console's script: steps from the command line, once the first
// student is admitted, then lines typed on standard input, one step each.
// Prints what students send to standard output. Main thread; owned by main.
//
// Steps: wait=MS  text=MESSAGE  play  stop  ping=TEXT  udpping=TEXT
//        vfmt  allowcall[=NAME]  xdata=TEXT  command=RAW  finish  drop  quit
class ConsoleScript : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ConsoleScript)

public:
    ConsoleScript(TeacherConsole* console, const QByteArray& pcm, bool loop,
        const QStringList& steps, QObject* parent = nullptr);

    // Whether a step is one this script knows.
    static bool isStep(const QString& step);
    void readStandardInput();

private:
    void runNext();
    void run(const QString& step);

    TeacherConsole* m_console;
    QByteArray m_pcm;
    bool m_loop;
    QStringList m_steps;
    bool m_started = false;
    QTimer* m_wait;
    QSocketNotifier* m_input = nullptr;
};
