#pragma once

#include "mabstractsocket.h"
#include "secureclass.h"
#include "servercertificate.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QString>

#include <memory>

class MTcpSocket;
struct ServerSettings;

// A secure class's door on the server: TLS on every connection it accepts (plain
// only from the operator's plain addresses, as staff), the class code before
// IDENTIFY, the refusal throttle, each member's role and datagram key, and what
// a student may not send. MStudentServer owns one in a secure class, keeps the
// sockets and asks it at each step of a connection's life; main thread.
class SecureGate
{
public:
    // A peer from a plain address that says nothing for this long is taken to be
    // plain: a TLS client sends its hello the moment it connects.
    static constexpr int kFirstByteGraceMs = 2000;

    // Null (logged) when the certificate in the state folder cannot be used.
    static std::unique_ptr<SecureGate> open(const ServerSettings& settings);
    ~SecureGate();
    SecureGate(const SecureGate&) = delete;
    SecureGate& operator=(const SecureGate&) = delete;

    DatagramSealer* sealer() const { return m_sealer.get(); }
    QString fingerprint() const { return m_certificate.fingerprint(); }
    // Datagrams dropped unopened (forged, replayed, too old, unknown key).
    quint64 droppedDatagrams() const { return m_sealer->keys().drops().dropped(); }
    // The line a teacher hands out, for a server listening on address:port; a
    // server on every address names the machine's first non-loopback IPv4 one.
    QString invitation(const QHostAddress& address, quint16 port) const;

    // A new connection: TLS, or for a plain address TLS or plain by its first byte.
    void secure(MTcpSocket* conn);
    // conn chose plain (MTcpSocket::plainChosen): a staff member without code or key.
    void admitPlain(MTcpSocket* conn);
    // "CLASSCODE": remembers the code; false when text is another command.
    bool takeClassCode(MTcpSocket* conn, const QString& text);
    // The verdict on "IDENTIFY" + name; a refusal is logged with the address.
    bool admit(MTcpSocket* conn, const QString& name);
    // Right after "IDENTIFY:OK": "UDPKEY" once per member (a plain member needs
    // none). NotNeeded when conn holds a key or is plain, Failed when none could
    // be made (conn must go).
    enum class Key { Sent, NotNeeded, Failed };
    Key handOutKey(MTcpSocket* conn);
    void becameReady(MTcpSocket* conn, const QHostAddress& udpAddress, quint16 udpPort);
    void forget(MTcpSocket* conn);

    // Whether a ready client's frame is dropped (logged): "UDPKEY" and
    // "CLASSCODE" from anybody, staff-only commands and file chunks from students.
    bool dropsFrame(MTcpSocket* conn, MDataType type, const QByteArray& data);
    // Whether the voice datagram opened last is dropped: a student's (logged).
    bool dropsVoice(const MAbstractSocket* from);

private:
    struct Member
    {
        QString code;
        QString name;
        SecureClass::Role role = SecureClass::Role::None;
        quint32 keyId = 0;
        bool hasKey = false;
        bool plain = false;
        ServerSealer::End udpEnd;
    };

    SecureGate(const ServerSettings& settings, const ServerCertificate& certificate);
    QStringList staffNamesBut(const MTcpSocket* conn) const;
    // One line a second about what students were stopped from sending.
    bool mayLogDrop();

    QString m_staffCode;
    QString m_studentCode;
    ServerCertificate m_certificate;
    std::unique_ptr<ServerSealer> m_sealer;
    QHash<MTcpSocket*, Member> m_members;
    QHash<quint32, SecureClass::Role> m_roleOfKey;
    AdmissionThrottle m_throttle;
    QElapsedTimer m_clock;
    qint64 m_lastDropLogMs = -1;
};
