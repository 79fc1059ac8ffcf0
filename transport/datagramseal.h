#pragma once

#include "wirelib_global.h"

#include <array>
#include <memory>
#include <unordered_map>

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

struct evp_cipher_ctx_st;

// Sealed datagrams of a secure class: every UDP datagram travels as
//   key id (4 bytes BE) || counter (8 bytes BE) || ChaCha20-Poly1305 ciphertext || 16-byte tag
// under the client's session key, with the nonce direction (4 bytes BE) || counter and no
// associated data. The plain datagram inside is exactly what a plain class sends.
namespace SealedDatagram {

inline constexpr int kKeyIdSize = 4;
inline constexpr int kCounterSize = 8;
inline constexpr int kHeaderSize = kKeyIdSize + kCounterSize;
inline constexpr int kAuthTagSize = 16;
// What sealing adds to every datagram: 28 bytes.
inline constexpr int kOverhead = kHeaderSize + kAuthTagSize;
inline constexpr int kKeySize = 32;
inline constexpr int kNonceSize = 12;
// Counters a receiver remembers behind the highest one it has accepted: wide enough for
// any reordering a network produces at voice rates (1024 datagrams are 20 s of one
// speaker), small enough to keep as a 128-byte bitmap per client.
inline constexpr int kReplayWindow = 1024;
// "UDPKEY" carries the key id as 8 hex digits, then the key as 64.
inline constexpr int kUdpKeyArgumentSize = 2 * (kKeyIdSize + kKeySize);

// The first 4 bytes of the nonce: a datagram sealed for one direction never opens in
// the other, so a server's copy cannot be reflected back to it as the client's.
enum class Direction : quint32 { ClientToServer = 0, ServerToClient = 1 };

enum class OpenResult {
    Opened,
    TooShort, // fewer bytes than header and tag
    UnknownKey, // no key under that id (the server's table) or another id (a client)
    Forged, // authentication failed: wrong key, wrong direction, changed bytes
    Replayed, // a counter already accepted
    TooOld, // a counter older than the replay window
};
WIRELIB_EXPORT QString resultText(OpenResult result);

// One datagram sealed under an explicit counter. Allocates a cipher context per call:
// the building block behind DatagramChannel, for known answers and tools. Gives an empty
// array when the key is not 32 bytes.
WIRELIB_EXPORT QByteArray seal(const QByteArray& key, quint32 keyId, Direction direction,
    quint64 counter, const QByteArray& plain);
// The key id of a sealed datagram; false when it is shorter than the id.
WIRELIB_EXPORT bool peekKeyId(const QByteArray& sealed, quint32& keyId);

// A fresh random 32-byte key and the text of "UDPKEY"'s argument and its reading.
WIRELIB_EXPORT QByteArray newKey();
WIRELIB_EXPORT QString udpKeyArgument(quint32 keyId, const QByteArray& key);
// Exactly 8 + 64 hex digits (either case); false leaves both outputs unchanged.
WIRELIB_EXPORT bool parseUdpKeyArgument(const QString& argument, quint32& keyId, QByteArray& key);

} // namespace SealedDatagram

// The receiving side's memory of counters: the highest accepted counter and a bitmap of
// the kReplayWindow counters at and below it. A counter is checked before its datagram
// is authenticated and marked only after, so forged datagrams cannot move the window.
class WIRELIB_EXPORT ReplayWindow
{
public:
    // Opened, Replayed or TooOld.
    SealedDatagram::OpenResult check(quint64 counter) const;
    void mark(quint64 counter);

private:
    bool testBit(quint64 counter) const;

    static constexpr int kWords = SealedDatagram::kReplayWindow / 64;
    std::array<quint64, kWords> m_bits {};
    quint64 m_highest = 0;
    bool m_any = false;
};

// Counts dropped datagrams and writes at most one log line a second about them, so a
// flood of garbage costs the log one line a second, not one per datagram.
class WIRELIB_EXPORT DatagramDropLog
{
public:
    // Counts one drop; gives true when it wrote a line (the first drop, then the first
    // after a second has passed since the last line). nowMs is a monotonic clock.
    bool record(SealedDatagram::OpenResult result, const QString& source, qint64 nowMs);
    bool record(SealedDatagram::OpenResult result, const QString& source);

    quint64 dropped() const { return m_total; }
    quint64 dropped(SealedDatagram::OpenResult result) const;

private:
    std::array<quint64, 6> m_byResult {};
    quint64 m_total = 0;
    quint64 m_sinceLine = 0;
    qint64 m_lastLineMs = 0;
    bool m_logged = false;
    QElapsedTimer m_clock;
};

// One client's sealed path, at either end: it seals in its own direction under a counter
// that starts at 0 and never repeats, and opens the other direction through a replay
// window. Holds its OpenSSL cipher contexts for the channel's life, so a datagram costs
// no allocation inside OpenSSL. Not a QObject; owned by the client's session or by the
// server's DatagramKeyTable; used on the owner's thread.
class WIRELIB_EXPORT DatagramChannel
{
public:
    enum Side { ClientSide, ServerSide };

    // key must be SealedDatagram::kKeySize bytes (isValid() tells).
    DatagramChannel(quint32 keyId, const QByteArray& key, Side side);
    ~DatagramChannel();
    DatagramChannel(DatagramChannel&&) noexcept;
    DatagramChannel& operator=(DatagramChannel&&) noexcept;

    bool isValid() const;
    quint32 keyId() const { return m_keyId; }
    // The counter the next seal() will use.
    quint64 nextCounter() const { return m_nextCounter; }

    // Seals under the next counter; an empty array when the channel is invalid or its
    // 2^64 counters are spent.
    QByteArray seal(const QByteArray& plain);
    // Opens a datagram of any length; plain is set only when the result is Opened.
    SealedDatagram::OpenResult open(const QByteArray& sealed, QByteArray& plain);

private:
    struct CipherContextDeleter
    {
        void operator()(evp_cipher_ctx_st* context) const;
    };
    using CipherContext = std::unique_ptr<evp_cipher_ctx_st, CipherContextDeleter>;

    quint32 m_keyId = 0;
    SealedDatagram::Direction m_sendDirection;
    SealedDatagram::Direction m_receiveDirection;
    quint64 m_nextCounter = 0;
    bool m_spent = false;
    CipherContext m_sealContext;
    CipherContext m_openContext;
    ReplayWindow m_window;
};

// The server's keys, by key id: a datagram is matched to its client's channel by the id
// in its first 4 bytes, so one from an unknown id costs a look-up and no decryption.
// Counts and logs every drop. Owned by the server; used on its thread.
class WIRELIB_EXPORT DatagramKeyTable
{
public:
    // A channel under a fresh random id unused in the table and a fresh random key, for
    // "UDPKEY"; false only when the system's random generator fails.
    bool addClient(quint32& keyId, QByteArray& key);
    // False when the id is taken or the key is not 32 bytes.
    bool add(quint32 keyId, const QByteArray& key);
    void remove(quint32 keyId);
    bool contains(quint32 keyId) const;
    int size() const { return int(m_channels.size()); }

    // Opens a client's datagram; on success keyId names its channel. source (the
    // sender's address text) only goes into the log line of a drop.
    SealedDatagram::OpenResult open(
        const QByteArray& sealed, QByteArray& plain, quint32& keyId, const QString& source);
    // Seals a copy for the client under keyId; empty when the id is unknown.
    QByteArray seal(quint32 keyId, const QByteArray& plain);

    const DatagramDropLog& drops() const { return m_drops; }

private:
    std::unordered_map<quint32, DatagramChannel> m_channels;
    DatagramDropLog m_drops;
};
