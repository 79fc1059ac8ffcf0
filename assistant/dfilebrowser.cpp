#include "dfilebrowser.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QUrl>

#if defined(CLASSROOM_HAVE_DBUS)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#endif

namespace {

#if defined(CLASSROOM_HAVE_DBUS)
// The freedesktop file-manager interface: ShowItems selects files in their
// folders, ShowFolders opens folders.
bool showWithFileManager1(const QFileInfo& info)
{
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()
        || !bus.interface()->isServiceRegistered(service).value()) {
        // A file manager may still be activatable on demand.
        if (!bus.isConnected() || !bus.interface()
            || !bus.interface()->activatableServiceNames().value().contains(service))
            return false;
    }
    QDBusMessage call
        = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
            service, info.isDir() ? QStringLiteral("ShowFolders") : QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(info.absoluteFilePath()).toString() } << QString();
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
}
#endif

} // namespace

bool DFileBrowser::showFile(const QString& filePath)
{
    const QFileInfo info(filePath);
#if defined(Q_OS_WIN)
    const QString explorer = QStandardPaths::findExecutable(QStringLiteral("explorer.exe"));
    if (explorer.isEmpty())
        return false;
    const QString native = QDir::toNativeSeparators(filePath);
    const QString argument = info.isDir() ? native : QStringLiteral("/select,") + native;
    return QProcess::startDetached(explorer, QStringList { argument });
#else
#if defined(CLASSROOM_HAVE_DBUS)
    if (showWithFileManager1(info))
        return true;
#endif
    const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
#endif
}
