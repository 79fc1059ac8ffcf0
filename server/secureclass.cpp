#include "secureclass.h"

#include "sessioncommands.h"

namespace SecureClass {

Role roleOfCode(const QString& code, const QString& staffCode, const QString& studentCode)
{
    if (code.isEmpty())
        return Role::None;
    if (!staffCode.isEmpty() && code == staffCode)
        return Role::Staff;
    if (!studentCode.isEmpty() && code == studentCode)
        return Role::Student;
    return Role::None;
}

bool studentMayTake(const QString& name, const QStringList& staffNames)
{
    using namespace SessionCommand;
    return name != kTeacherSender && name != kServerSender && !staffNames.contains(name);
}

bool isStaffOnlyCommand(const QString& command)
{
    using namespace SessionCommand;
    // Keywords that take an argument are matched as prefixes; FORSPY... before
    // the voice keywords they do not start with.
    static const QLatin1String kStaffOnly[] = { kCloseAllClients, kClassFinished, kAllowCall,
        kStartVoice, kStopVoice, kForSpyStartVoice, kForSpyStopVoice, kFileX, kCancelFileX };
    for (const QLatin1String& keyword : kStaffOnly) {
        if (command.startsWith(keyword))
            return true;
    }
    return false;
}

QString invitationLine(
    const QString& addressPort, const QString& studentCode, const QString& fingerprint)
{
    return QStringLiteral("Secure class: pupil -t%1 -k%2 -f%3")
        .arg(addressPort, studentCode, fingerprint);
}

} // namespace SecureClass

bool AdmissionThrottle::refused(const QHostAddress& address, qint64 nowMs) const
{
    const auto it = m_records.constFind(address.toString());
    return it != m_records.cend() && it->refusedUntilMs > nowMs;
}

void AdmissionThrottle::failed(const QHostAddress& address, qint64 nowMs)
{
    Record& record = m_records[address.toString()];
    QVector<qint64> recent;
    for (const qint64 at : qAsConst(record.failures)) {
        if (nowMs - at < kFailureWindowMs)
            recent.append(at);
    }
    recent.append(nowMs);
    if (recent.size() >= kMaxFailures) {
        record.refusedUntilMs = nowMs + kRefusalMs;
        recent.clear();
    }
    record.failures = recent;
}

void ServerSealer::removeClient(quint32 keyId)
{
    m_keys.remove(keyId);
    for (auto it = m_keyOfEnd.begin(); it != m_keyOfEnd.end();) {
        if (it.value() == keyId)
            it = m_keyOfEnd.erase(it);
        else
            ++it;
    }
}

QByteArray ServerSealer::seal(const QByteArray& plain, const QHostAddress& address, quint16 port)
{
    const auto it = m_keyOfEnd.constFind(End(address, port));
    if (it == m_keyOfEnd.cend())
        return {};
    return m_keys.seal(it.value(), plain);
}

bool ServerSealer::open(
    const QByteArray& sealed, const QHostAddress& address, quint16 port, QByteArray& plain)
{
    quint32 keyId = 0;
    const QString source = MAbstractSocket::addressText(address, port);
    if (m_keys.open(sealed, plain, keyId, source) != SealedDatagram::OpenResult::Opened)
        return false;
    m_lastKeyId = keyId;
    // Only a datagram that opened under a key can aim that key at an end, so a
    // forged source address never receives anybody's copies.
    m_keyOfEnd.insert(End(address, port), keyId);
    return true;
}
