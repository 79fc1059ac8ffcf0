#include "securegate.h"

#include "clientlimits.h"
#include "mtcpsocket.h"
#include "serverlog.h"
#include "serversettings.h"
#include "sessioncommands.h"

using namespace ServerLog;
using SecureClass::Role;

std::unique_ptr<SecureGate> SecureGate::open(const ServerSettings& settings)
{
    const QString folder = settings.stateFolder.isEmpty() ? ServerCertificate::defaultStateFolder()
                                                          : settings.stateFolder;
    ServerCertificate certificate;
    QString error;
    if (!certificate.loadOrCreate(folder, &error)) {
        // Never fall back to a plain class the operator did not ask for.
        qCWarning(lcServer) << kTag << "No secure class: the certificate in" << folder
                            << "cannot be used:" << error;
        return nullptr;
    }
    return std::unique_ptr<SecureGate>(new SecureGate(settings, certificate));
}

SecureGate::SecureGate(const ServerSettings& settings, const ServerCertificate& certificate)
    : m_staffCode(settings.staffCode), m_studentCode(settings.studentCode),
      m_certificate(certificate), m_sealer(std::make_unique<ServerSealer>(settings.plainAddresses))
{
    m_clock.start();
}

SecureGate::~SecureGate() = default;

QString SecureGate::invitation(const QHostAddress& address, quint16 port) const
{
    return SecureClass::invitationLine(
        MAbstractSocket::addressText(SecureClass::addressForStudents(address), port), m_studentCode,
        fingerprint());
}

void SecureGate::secure(MTcpSocket* conn)
{
    m_members.insert(conn, Member());
    // A plain peer fails the TLS handshake and is dropped before any class data.
    if (m_sealer->isPlainAddress(conn->peerAddress()))
        conn->startServerTlsOrPlain(m_certificate, kFirstByteGraceMs);
    else
        conn->startServerTls(m_certificate);
}

void SecureGate::admitPlain(MTcpSocket* conn)
{
    Member& member = m_members[conn];
    member.plain = true;
    member.role = Role::Staff;
    qCInfo(lcServer) << kTag << "Plain connection from" << conn->PeerIpAndPort()
                     << "admitted as staff";
}

bool SecureGate::takeClassCode(MTcpSocket* conn, const QString& text)
{
    if (!text.startsWith(SessionCommand::kClassCode))
        return false;
    m_members[conn].code = text.mid(SessionCommand::kClassCode.size());
    return true;
}

QStringList SecureGate::staffNamesBut(const MTcpSocket* conn) const
{
    QStringList names;
    for (auto it = m_members.cbegin(); it != m_members.cend(); ++it) {
        if (it.key() != conn && it->role == Role::Staff)
            names << it->name;
    }
    return names;
}

bool SecureGate::admit(MTcpSocket* conn, const QString& name)
{
    Member& member = m_members[conn];
    const QString where = conn->PeerIpAndPort();
    if (member.role == Role::None) {
        const QHostAddress address = conn->peerAddress();
        const qint64 now = m_clock.elapsed();
        if (m_throttle.refused(address, now)) {
            qCWarning(lcServer) << kTag << "Refused" << where
                                << "unheard: too many failed admissions";
            return false;
        }
        const Role role = SecureClass::roleOfCode(member.code, m_staffCode, m_studentCode);
        if (role == Role::None) {
            m_throttle.failed(address, now);
            qCWarning(lcServer) << kTag << "Refused" << where
                                << (member.code.isEmpty() ? "without a class code"
                                                          : "with a wrong class code");
            return false;
        }
        member.role = role;
    }
    // Checked at every IDENTIFY: a student admitted once cannot rename itself to staff.
    if (member.role == Role::Student && !SecureClass::studentMayTake(name, staffNamesBut(conn))) {
        qCWarning(lcServer) << kTag << "Refused" << where << "as a student taking the name" << name;
        return false;
    }
    member.name = name;
    return true;
}

SecureGate::Key SecureGate::handOutKey(MTcpSocket* conn)
{
    Member& member = m_members[conn];
    if (member.plain || member.hasKey)
        return Key::NotNeeded;
    QByteArray key;
    if (!m_sealer->addClient(member.keyId, key)) {
        qCWarning(lcServer) << kTag << "No datagram key for" << conn->PeerIpAndPort();
        return Key::Failed;
    }
    member.hasKey = true;
    m_roleOfKey.insert(member.keyId, member.role);
    conn->ourProtocolSendCommand(
        SessionCommand::kUdpKey + SealedDatagram::udpKeyArgument(member.keyId, key));
    return Key::Sent;
}

void SecureGate::becameReady(MTcpSocket* conn, const QHostAddress& udpAddress, quint16 udpPort)
{
    Member& member = m_members[conn];
    member.udpEnd = ServerSealer::End(udpAddress, udpPort);
    if (member.plain)
        m_sealer->addPlainEnd(member.udpEnd);
}

void SecureGate::forget(MTcpSocket* conn)
{
    const auto it = m_members.constFind(conn);
    if (it == m_members.cend())
        return;
    if (it->hasKey) {
        m_sealer->removeClient(it->keyId);
        m_roleOfKey.remove(it->keyId);
    }
    if (it->plain)
        m_sealer->removePlainEnd(it->udpEnd);
    m_members.erase(it);
}

bool SecureGate::dropsFrame(MTcpSocket* conn, MDataType type, const QByteArray& data)
{
    // The door's own keywords mean nothing once a member is in; relayed, a forged
    // "UDPKEY" could unsettle the others' datagrams and a code would be shown round.
    using namespace SessionCommand;
    if (type == CommandData
        && (data.startsWith(kUdpKey.latin1()) || data.startsWith(kClassCode.latin1()))) {
        if (mayLogDrop())
            qCWarning(lcServer) << kTag << "Dropped an admission keyword from the member at"
                                << conn->PeerIpAndPort();
        return true;
    }
    if (m_members.value(conn).role != Role::Student)
        return false;
    // Extra data carries file chunks, which only staff send.
    const bool staffOnly = type == ExtraData
        || (type == CommandData && SecureClass::isStaffOnlyCommand(QString::fromUtf8(data)));
    if (!staffOnly)
        return false;
    if (mayLogDrop())
        qCWarning(lcServer) << kTag << "Dropped a staff-only frame from the student at"
                            << conn->PeerIpAndPort() << ":" << loggedPayload(data);
    return true;
}

bool SecureGate::dropsVoice(const MAbstractSocket* from)
{
    // Plain voice only opens from a plain member's end, and plain members are staff.
    const quint32 keyId = m_sealer->lastKeyId();
    if (keyId == 0 || m_roleOfKey.value(keyId) == Role::Staff)
        return false;
    if (mayLogDrop())
        qCWarning(lcServer) << kTag << "Dropped voice from the student at" << from->PeerIpAndPort();
    return true;
}

bool SecureGate::mayLogDrop()
{
    const qint64 now = m_clock.elapsed();
    if (m_lastDropLogMs >= 0 && now - m_lastDropLogMs < ClientLimits::kDropLogIntervalMs)
        return false;
    m_lastDropLogMs = now;
    return true;
}
