#include "secureclass.h"

#include "sessioncommands.h"

#include <QNetworkInterface>
#include "wireformat.h"

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
    // Keywords that take an argument are matched as prefixes. The voice format
    // is not sent by pupil and would change how every student decodes.
    static const QLatin1String kStaffOnly[]
        = { kCloseAllClients, kClassFinished, kAllowCall, kStartVoice, kStopVoice,
              kForSpyStartVoice, kForSpyStopVoice, kFileX, kCancelFileX, kVoiceFormat };
    for (const QLatin1String& keyword : kStaffOnly) {
        if (command.startsWith(keyword))
            return true;
    }
    return false;
}

QString invitationLine(
    const QString& addressPort, const QString& studentCode, const QString& fingerprint)
{
    if (studentCode.isEmpty())
        return QStringLiteral("Secure class for staff only, certificate fingerprint ")
            + fingerprint;
    return QStringLiteral("Secure class: pupil -t%1 -k%2 -f%3")
        .arg(addressPort, studentCode, fingerprint);
}

QHostAddress addressForStudents(const QHostAddress& address)
{
    if (address != QHostAddress(QHostAddress::AnyIPv4)
        && address != QHostAddress(QHostAddress::Any))
        return address;
    for (const QHostAddress& candidate : QNetworkInterface::allAddresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol && !candidate.isLoopback())
            return candidate;
    }
    return QHostAddress(QHostAddress::LocalHost);
}

} // namespace SecureClass

bool AdmissionThrottle::refused(const QHostAddress& address, qint64 nowMs) const
{
    const auto it = m_records.constFind(address.toString());
    return it != m_records.cend() && it->refusedUntilMs > nowMs;
}

void AdmissionThrottle::failed(const QHostAddress& address, qint64 nowMs)
{
    // Addresses that failed long ago are forgotten, so the table stays as small as
    // the recent failures however many addresses try.
    if (m_records.size() >= kSweepSize) {
        for (auto it = m_records.begin(); it != m_records.end();) {
            const bool stale = it->refusedUntilMs <= nowMs
                && (it->failures.isEmpty() || nowMs - it->failures.last() >= kFailureWindowMs);
            if (stale)
                it = m_records.erase(it);
            else
                ++it;
        }
    }
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

namespace {

// Whether a datagram's first 4 bytes are a plain tag, read as a key id.
bool isTagValue(quint32 id)
{
    using namespace WireFormat;
    for (const QLatin1String tag :
        { kCommandTag, kTextTag, kVoiceTag, kExtraDataTag, kPassThroughTag }) {
        if (id == quint32(MAbstractSocket::byteArrayToInt(QByteArray(tag.data(), kTagSize))))
            return true;
    }
    return false;
}

bool startsWithTag(const QByteArray& datagram)
{
    quint32 id = 0;
    return SealedDatagram::peekKeyId(datagram, id) && isTagValue(id);
}

} // namespace

ServerSealer::ServerSealer(const QVector<QHostAddress>& plainAddresses)
    : m_plainAddresses(plainAddresses)
{ }

bool ServerSealer::addClient(quint32& keyId, QByteArray& key)
{
    // Id 0 stands for "plain"; a tag's value would look like a plain datagram. The
    // table draws at random, so a second draw is all but certain to do.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!m_keys.addClient(keyId, key))
            return false;
        if (keyId != 0 && !isTagValue(keyId))
            return true;
        m_keys.remove(keyId);
    }
    return false;
}

bool ServerSealer::isPlainAddress(const QHostAddress& address) const
{
    for (const QHostAddress& plain : m_plainAddresses) {
        if (plain.isEqual(address, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
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

void ServerSealer::removePlainEnd(const End& end)
{
    m_plainMemberEnds.remove(end);
    m_plainEnds.remove(end);
}

QByteArray ServerSealer::seal(const QByteArray& plain, const QHostAddress& address, quint16 port)
{
    return sealTo(End(address, port), plain);
}

QByteArray ServerSealer::sealTo(const End& end, const QByteArray& plain)
{
    const auto it = m_keyOfEnd.constFind(end);
    if (it != m_keyOfEnd.cend())
        return m_keys.seal(it.value(), plain);
    return m_plainEnds.contains(end) || m_plainMemberEnds.contains(end) ? plain : QByteArray();
}

bool ServerSealer::open(
    const QByteArray& sealed, const QHostAddress& address, quint16 port, QByteArray& plain)
{
    const End end(address, port);
    if (!m_plainAddresses.isEmpty() && startsWithTag(sealed) && isPlainAddress(address)) {
        const bool answer = sealed.startsWith(WireFormat::kCommandTag.latin1());
        if (answer || m_plainMemberEnds.contains(end)) {
            if (answer)
                m_plainEnds.insert(end);
            m_lastKeyId = 0;
            plain = sealed;
            return true;
        }
        // Anything else goes on to the key table, which finds no key and counts it.
    }
    quint32 keyId = 0;
    const QString source = MAbstractSocket::addressText(address, port);
    if (m_keys.open(sealed, plain, keyId, source) != SealedDatagram::OpenResult::Opened)
        return false;
    m_lastKeyId = keyId;
    // Only a datagram that opened under a key can aim that key at an end, so a
    // forged source address never receives anybody's copies.
    m_keyOfEnd.insert(end, keyId);
    return true;
}
