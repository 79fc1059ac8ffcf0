#include "podiumprocess.h"

#include "audioharness.h"
#include "childprocess.h"

#include <QDir>
#include <QFile>

PodiumProcess::PodiumProcess(const QString& name, const QString& base)
    : m_name(name), m_dir(base + QLatin1Char('/') + name)
{ }

PodiumProcess::~PodiumProcess()
{
    stop();
    AudioHarness::stopPrivateServer(m_dir);
}

QString PodiumProcess::logPath() const
{
    return m_dir + QStringLiteral("/tmp/logpodium.log");
}

bool PodiumProcess::start(
    const QString& program, const QStringList& arguments, const QProcessEnvironment& extra)
{
    if (!AudioHarness::startPrivateServer(m_dir) || !QDir().mkpath(m_dir + QStringLiteral("/tmp")))
        return false;
    QProcessEnvironment environment = AudioHarness::environmentFor(m_dir);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The log goes to the temporary folder: one of its own per podium.
    environment.insert(QStringLiteral("TMPDIR"), m_dir + QStringLiteral("/tmp"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    environment.insert(extra);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(
        m_quiet ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
    if (m_quiet)
        m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start(program, arguments);
    return m_process.waitForStarted(10000);
}

void PodiumProcess::stop()
{
    ChildProcess::stop(m_process, 15000);
}

QByteArray PodiumProcess::log() const
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int PodiumProcess::logCount(const QString& text) const
{
    return QString::fromUtf8(log()).count(text);
}

bool PodiumProcess::logContains(const QString& text) const
{
    return QString::fromUtf8(log()).contains(text);
}
