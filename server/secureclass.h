#pragma once

#include "datagramseal.h"
#include "mudpsocket.h"

#include <QHash>
#include <QHostAddress>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

// The rules of a secure class, socket-free: which code makes whom staff or a
// student, which names a student may not take, which commands only staff may
// send, and how often an address may fail before it is refused unheard.
namespace SecureClass {

enum class Role { None, Staff, Student };

// The role a code grants; None for a missing or wrong code. An empty code set
// on the server grants nothing.
Role roleOfCode(const QString& code, const QString& staffCode, const QString& studentCode);
// Whether a student may identify as name: never as a fixed sender, never as
// staff already in the class.
bool studentMayTake(const QString& name, const QStringList& staffNames);
// Commands that act on others or on the lesson: accepted from staff only.
bool isStaffOnlyCommand(const QString& command);
// The line a teacher hands to students: where the class is, the students'
// code and the server's certificate fingerprint, as the options pupil takes.
// Without a students' code only staff can join, and the line says so.
QString invitationLine(
    const QString& addressPort, const QString& studentCode, const QString& fingerprint);
// The address students are told for a server listening on address: for every
// address, this machine's first IPv4 address other than loopback (loopback
// when it has none).
QHostAddress addressForStudents(const QHostAddress& address);

} // namespace SecureClass

// Failed admissions by address: five within a minute and the address is refused
// for 30 s without its code being checked, so codes cannot be guessed at
// network speed. Plain value kept by the server; times are a monotonic clock.
class AdmissionThrottle
{
public:
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kFailureWindowMs = 60 * 1000;
    static constexpr qint64 kRefusalMs = 30 * 1000;
    // Records kept before stale ones are swept.
    static constexpr int kSweepSize = 1024;

    bool refused(const QHostAddress& address, qint64 nowMs) const;
    void failed(const QHostAddress& address, qint64 nowMs);
    int size() const { return m_records.size(); }

private:
    struct Record
    {
        QVector<qint64> failures;
        qint64 refusedUntilMs = -1;
    };
    QHash<QString, Record> m_records;
};

// The server's side of sealed datagrams: opens each by its key id, learns which
// UDP end uses which key, and seals what goes to an end under that end's key.
// An end that has not yet sent a datagram that opened gets nothing. From the
// operator's plain addresses, datagrams that begin with a plain tag pass as they
// are: handshake answers always, anything else only from an end marked as a
// plain member's (no key id is ever a tag's value, so the two never mix).
// Owned by the secure class's gate; main thread.
class ServerSealer : public DatagramSealer
{
public:
    using End = QPair<QHostAddress, quint16>;

    explicit ServerSealer(const QVector<QHostAddress>& plainAddresses = {});

    // A fresh key for a client, for "UDPKEY"; false when randomness fails.
    bool addClient(quint32& keyId, QByteArray& key);
    void removeClient(quint32 keyId);
    // A plain member's ready UDP end, whose plain voice and text are taken.
    void addPlainEnd(const End& end) { m_plainMemberEnds.insert(end); }
    void removePlainEnd(const End& end);
    // The key id of the datagram opened last, 0 when it came plain (valid right
    // after open()).
    quint32 lastKeyId() const { return m_lastKeyId; }
    bool isPlainAddress(const QHostAddress& address) const;

    QByteArray seal(const QByteArray& plain, const QHostAddress& address, quint16 port) override;
    // The same for an end at hand, without copying its address: the fan-out's
    // path, once per relayed copy.
    QByteArray sealTo(const End& end, const QByteArray& plain);
    bool open(const QByteArray& sealed, const QHostAddress& address, quint16 port,
        QByteArray& plain) override;

    const DatagramKeyTable& keys() const { return m_keys; }

private:
    DatagramKeyTable m_keys;
    QVector<QHostAddress> m_plainAddresses;
    QHash<End, quint32> m_keyOfEnd;
    // Ends that answered the handshake in plain, and the ready ends of plain members.
    QSet<End> m_plainEnds;
    QSet<End> m_plainMemberEnds;
    quint32 m_lastKeyId = 0;
};
