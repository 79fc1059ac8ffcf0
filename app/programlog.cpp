#include "programlog.h"

#include <cstdio>
#include <cstdlib>

#include <QDateTime>
#include <QFile>
#include <QPointer>

#include "applog.h"

namespace {
// A guarded pointer: the window may destroy the file while messages still come.
QPointer<QFile> g_logFile;
} // namespace

QFile* ProgramLog::open(const QString& path)
{
    auto* file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCDebug(lcApp, "Opening log file failed.");
        return file;
    }
    file->write(QByteArray("\r\n\r\n")
        + QDateTime::currentDateTime().toString(Qt::TextDate).toLocal8Bit() + QByteArray("\r\n"));
    file->flush();
    g_logFile = file;
    return file;
}

void ProgramLog::install()
{
    qInstallMessageHandler(&ProgramLog::messageHandler);
}

void ProgramLog::detach()
{
    QFile* file = g_logFile;
    g_logFile = nullptr;
    if (file)
        file->close();
}

void ProgramLog::messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const QByteArray text = message.toLocal8Bit();
    QFile* file = g_logFile;
    if (file && file->isOpen()) {
        file->write(text);
        file->write("\r\n", 2);
        file->flush();
    }
    switch (type) {
    case QtDebugMsg:
        std::fprintf(stderr, "%s\n", text.constData());
        break;
    case QtWarningMsg:
        std::fprintf(stderr, "Warning: %s\n", text.constData());
        break;
    case QtCriticalMsg:
        std::fprintf(stderr, "Critical: %s\n", text.constData());
        break;
    case QtFatalMsg:
        std::fprintf(stderr, "Fatal: %s\n", text.constData());
        std::fflush(stderr);
        std::abort();
    default:
        break;
    }
    std::fflush(stderr);
}
