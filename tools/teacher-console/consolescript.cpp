#include "consolescript.h"

#include "mm.h"
#include "sessioncommands.h"
#include "teacherconsole.h"

#include <cstdio>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace {

const char* const kStepNames[] = { "wait", "text", "play", "stop", "ping", "udpping", "vfmt",
    "allowcall", "xdata", "command", "finish", "drop", "quit" };

QString printable(const QByteArray& data)
{
    QString text = QString::fromUtf8(data);
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return text;
}

} // namespace

ConsoleScript::ConsoleScript(TeacherConsole* console, const QByteArray& pcm, bool loop,
    const QStringList& steps, QObject* parent)
    : QObject(parent), m_console(console), m_pcm(pcm), m_loop(loop), m_steps(steps),
      m_wait(new QTimer(this))
{
    m_wait->setSingleShot(true);
    connect(m_wait, &QTimer::timeout, this, &ConsoleScript::runNext);
    connect(console, &TeacherConsole::studentReady, this, [this](const QString& identity) {
        std::printf("joined: %s\n", qPrintable(identity));
        std::fflush(stdout);
        if (!m_started) {
            m_started = true;
            runNext();
        }
    });
    connect(console, &TeacherConsole::studentLeft, this, [](const QString& identity) {
        std::printf("left: %s\n", qPrintable(identity));
        std::fflush(stdout);
    });
    connect(console, &TeacherConsole::packetArrived, this,
        [](const QString& identity, bool overUdp, MDataType type, const QByteArray& data) {
            const char* via = overUdp ? "udp" : "tcp";
            if (type == CommandData)
                std::printf(
                    "%s %s command: %s\n", qPrintable(identity), via, qPrintable(printable(data)));
            else if (type == TextData) {
                QString name;
                QString message;
                MAbstractSocket::decodeTextPacket(data, name, message);
                std::printf("%s %s text from %s: %s\n", qPrintable(identity), via, qPrintable(name),
                    qPrintable(message));
            } else if (type == UnrecognisedData)
                std::printf("%s %s companion bytes: %s\n", qPrintable(identity), via,
                    qPrintable(printable(data)));
            std::fflush(stdout);
        });
}

bool ConsoleScript::isStep(const QString& step)
{
    const QString name = step.section(QLatin1Char('='), 0, 0);
    for (const char* known : kStepNames) {
        if (name == QLatin1String(known))
            return true;
    }
    return false;
}

void ConsoleScript::readStandardInput()
{
    m_input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_input, &QSocketNotifier::activated, this, [this] {
        char line[4096];
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line);
        if (n <= 0) {
            // End of input: keep serving the class until "quit" or a signal.
            m_input->setEnabled(false);
            return;
        }
        const QStringList lines = QString::fromUtf8(line, int(n)).split(QLatin1Char('\n'));
        for (const QString& typed : lines) {
            if (!typed.trimmed().isEmpty())
                run(typed.trimmed());
        }
    });
}

void ConsoleScript::runNext()
{
    while (!m_steps.isEmpty() && !m_wait->isActive())
        run(m_steps.takeFirst());
}

void ConsoleScript::run(const QString& step)
{
    const QString name = step.section(QLatin1Char('='), 0, 0);
    const QString value = step.section(QLatin1Char('='), 1);
    std::printf("step: %s\n", qPrintable(step));
    std::fflush(stdout);
    if (name == QLatin1String("wait")) {
        m_wait->start(value.toInt());
    } else if (name == QLatin1String("text")) {
        m_console->sendText(value);
    } else if (name == QLatin1String("play")) {
        if (!m_console->startVoice(m_pcm, m_loop))
            std::fprintf(stderr, "teacher-console: nothing to play (give -wFILE.wav)\n");
    } else if (name == QLatin1String("stop")) {
        m_console->stopVoice();
    } else if (name == QLatin1String("ping")) {
        m_console->sendCommand(SessionCommand::kPing + value);
    } else if (name == QLatin1String("udpping")) {
        m_console->sendUdpCommand(SessionCommand::kPing + value);
    } else if (name == QLatin1String("vfmt")) {
        m_console->sendCommand(SessionCommand::kVoiceFormat
            + MM::serializeAudioFormatToString(MM::defaultAudioFormat()));
    } else if (name == QLatin1String("allowcall")) {
        m_console->allowCall(value);
    } else if (name == QLatin1String("xdata")) {
        m_console->sendExtraData(value.toUtf8() + '\n');
    } else if (name == QLatin1String("command")) {
        m_console->sendCommand(value);
    } else if (name == QLatin1String("finish")) {
        m_console->finishClass();
    } else if (name == QLatin1String("drop")) {
        m_console->dropAll();
    } else if (name == QLatin1String("quit")) {
        QCoreApplication::quit();
    } else {
        std::fprintf(stderr, "teacher-console: unknown step %s\n", qPrintable(step));
    }
}
