#include "servertrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include "transportlog.h"

namespace {

constexpr int kFingerprintDigits = 64;

struct KnownLine
{
    int number = 0;
    QString fingerprint;
};

// Every valid line of the file for one address; damaged lines are logged and skipped.
QList<KnownLine> linesFor(const QString& path, const QString& serverAddress)
{
    QList<KnownLine> found;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return found;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(blanks);
        const QString fingerprint
            = fields.size() == 2 ? ServerTrust::normalizedFingerprint(fields.at(1)) : QString();
        if (fingerprint.isEmpty()) {
            qCWarning(lcTransport, "Known servers: line %d of %s is damaged and was skipped.",
                number, qPrintable(path));
            continue;
        }
        if (fields.at(0) == serverAddress)
            found.append({ number, fingerprint });
    }
    return found;
}

} // namespace

ServerTrust::ServerTrust(const QString& knownServersPath, const QString& pinnedFingerprint)
    : m_knownServersPath(knownServersPath), m_pinned(normalizedFingerprint(pinnedFingerprint))
{
    if (!pinnedFingerprint.isEmpty() && m_pinned.isEmpty())
        m_badPin = pinnedFingerprint;
}

ServerTrust::Verdict ServerTrust::check(
    const QString& serverAddress, const QString& fingerprint) const
{
    if (!m_badPin.isEmpty()) {
        return { Refused,
            QStringLiteral("The fingerprint given for %1 (%2) is not 64 hex digits: the server's "
                           "certificate %3 is not accepted.")
                .arg(serverAddress, m_badPin, fingerprint) };
    }
    if (!m_pinned.isEmpty()) {
        if (fingerprint == m_pinned)
            return { Known, QString() };
        return { Refused,
            QStringLiteral("The server at %1 presented the certificate %2, not the certificate "
                           "%3 that was given: connection refused.")
                .arg(serverAddress, fingerprint, m_pinned) };
    }
    const QList<KnownLine> known = linesFor(m_knownServersPath, serverAddress);
    if (known.isEmpty())
        return { FirstMeeting, QString() };
    for (const KnownLine& line : known) {
        if (line.fingerprint == fingerprint)
            return { Known, QString() };
    }
    return { Refused,
        QStringLiteral("The certificate of the server at %1 has changed: it is now %2, but %3 "
                       "was remembered (%4, line %5). Someone may be intercepting the "
                       "connection; if the server's certificate was replaced on purpose, remove "
                       "that line.")
            .arg(serverAddress, fingerprint, known.first().fingerprint, m_knownServersPath)
            .arg(known.first().number) };
}

bool ServerTrust::remember(
    const QString& serverAddress, const QString& fingerprint, QString* error) const
{
    const QFileInfo info(m_knownServersPath);
    if (!info.dir().exists()) {
        if (!QDir().mkpath(info.absolutePath())) {
            if (error)
                *error = QStringLiteral("Cannot create the folder of %1.").arg(m_knownServersPath);
            return false;
        }
        QFile::setPermissions(info.absolutePath(),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    QFile file(m_knownServersPath);
    if (!file.open(QIODevice::ReadWrite)) {
        if (error)
            *error = QStringLiteral("Cannot write %1.").arg(m_knownServersPath);
        return false;
    }
    // A last line without its newline (edited by hand) must not swallow the new one.
    QByteArray line = serverAddress.toUtf8() + ' ' + fingerprint.toLatin1() + '\n';
    if (file.size() > 0) {
        file.seek(file.size() - 1);
        if (file.read(1) != "\n")
            line.prepend('\n');
    }
    file.seek(file.size());
    if (file.write(line) != line.size() || !file.flush()) {
        if (error)
            *error = QStringLiteral("Cannot write %1.").arg(m_knownServersPath);
        return false;
    }
    return true;
}

QString ServerTrust::normalizedFingerprint(const QString& text)
{
    QString digits = text.trimmed().toLower();
    digits.remove(QLatin1Char(':'));
    if (digits.size() != kFingerprintDigits)
        return QString();
    for (const QChar c : qAsConst(digits)) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return QString();
    }
    return digits;
}

QString ServerTrust::defaultKnownServersPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/classroom/known-servers");
}
