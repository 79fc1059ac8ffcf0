#include "datagramseal.h"

#include <cstring>
#include <limits>

#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "transportlog.h"

using SealedDatagram::Direction;
using SealedDatagram::OpenResult;

namespace {

using Nonce = std::array<unsigned char, SealedDatagram::kNonceSize>;

Nonce makeNonce(Direction direction, quint64 counter)
{
    Nonce nonce {};
    qToBigEndian(quint32(direction), nonce.data());
    qToBigEndian(counter, nonce.data() + 4);
    return nonce;
}

const unsigned char* bytes(const QByteArray& array)
{
    return reinterpret_cast<const unsigned char*>(array.constData());
}

unsigned char* bytes(QByteArray& array)
{
    return reinterpret_cast<unsigned char*>(array.data());
}

evp_cipher_ctx_st* newContext(const QByteArray& key, bool forSealing)
{
    if (key.size() != SealedDatagram::kKeySize)
        return nullptr;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (!context)
        return nullptr;
    // The key is set once; each datagram only sets its nonce.
    const int ok = forSealing
        ? EVP_EncryptInit_ex(context, EVP_chacha20_poly1305(), nullptr, bytes(key), nullptr)
        : EVP_DecryptInit_ex(context, EVP_chacha20_poly1305(), nullptr, bytes(key), nullptr);
    if (ok != 1) {
        EVP_CIPHER_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Writes header, ciphertext and tag into out, which the caller sized to plain + overhead.
bool sealInto(evp_cipher_ctx_st* context, quint32 keyId, Direction direction, quint64 counter,
    const QByteArray& plain, QByteArray& out)
{
    out.resize(plain.size() + SealedDatagram::kOverhead);
    unsigned char* header = bytes(out);
    qToBigEndian(keyId, header);
    qToBigEndian(counter, header + SealedDatagram::kKeyIdSize);
    unsigned char* cipherText = header + SealedDatagram::kHeaderSize;
    const Nonce nonce = makeNonce(direction, counter);
    int written = 0;
    if (EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, nonce.data()) != 1)
        return false;
    if (!plain.isEmpty()
        && EVP_EncryptUpdate(context, cipherText, &written, bytes(plain), plain.size()) != 1)
        return false;
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context, cipherText + written, &finalWritten) != 1)
        return false;
    return EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, SealedDatagram::kAuthTagSize,
               cipherText + plain.size())
        == 1;
}

bool openInto(evp_cipher_ctx_st* context, Direction direction, quint64 counter,
    const QByteArray& sealed, QByteArray& plain)
{
    const int cipherSize = sealed.size() - SealedDatagram::kOverhead;
    const unsigned char* cipherText = bytes(sealed) + SealedDatagram::kHeaderSize;
    // OpenSSL takes the expected tag through a non-const pointer.
    std::array<unsigned char, SealedDatagram::kAuthTagSize> tag {};
    std::memcpy(tag.data(), cipherText + cipherSize, tag.size());
    const Nonce nonce = makeNonce(direction, counter);
    plain.resize(cipherSize);
    int written = 0;
    int finalWritten = 0;
    const bool ok = EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, nonce.data()) == 1
        && (cipherSize == 0
            || EVP_DecryptUpdate(context, bytes(plain), &written, cipherText, cipherSize) == 1)
        && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, int(tag.size()), tag.data()) == 1
        && EVP_DecryptFinal_ex(context, bytes(plain) + written, &finalWritten) == 1;
    if (!ok)
        plain.clear(); // never hand on bytes that failed authentication
    return ok;
}

quint64 counterOf(const QByteArray& sealed)
{
    return qFromBigEndian<quint64>(bytes(sealed) + SealedDatagram::kKeyIdSize);
}

} // namespace

QString SealedDatagram::resultText(OpenResult result)
{
    switch (result) {
    case OpenResult::Opened:
        return QStringLiteral("opened");
    case OpenResult::TooShort:
        return QStringLiteral("too short");
    case OpenResult::UnknownKey:
        return QStringLiteral("unknown key id");
    case OpenResult::Forged:
        return QStringLiteral("failed authentication");
    case OpenResult::Replayed:
        return QStringLiteral("replayed counter");
    case OpenResult::TooOld:
        return QStringLiteral("counter older than the replay window");
    }
    return QString();
}

QByteArray SealedDatagram::seal(const QByteArray& key, quint32 keyId, Direction direction,
    quint64 counter, const QByteArray& plain)
{
    EVP_CIPHER_CTX* context = newContext(key, true);
    if (!context)
        return QByteArray();
    QByteArray out;
    const bool ok = sealInto(context, keyId, direction, counter, plain, out);
    EVP_CIPHER_CTX_free(context);
    return ok ? out : QByteArray();
}

bool SealedDatagram::peekKeyId(const QByteArray& sealed, quint32& keyId)
{
    if (sealed.size() < kKeyIdSize)
        return false;
    keyId = qFromBigEndian<quint32>(bytes(sealed));
    return true;
}

QByteArray SealedDatagram::newKey()
{
    QByteArray key(kKeySize, '\0');
    // RAND_bytes only fails when the system's generator cannot be seeded; a key of
    // zeros must then never be used, so the caller gets nothing.
    if (RAND_bytes(bytes(key), key.size()) != 1)
        return QByteArray();
    return key;
}

QString SealedDatagram::udpKeyArgument(quint32 keyId, const QByteArray& key)
{
    QByteArray id(kKeyIdSize, '\0');
    qToBigEndian(keyId, bytes(id));
    return QString::fromLatin1(id.toHex() + key.toHex());
}

bool SealedDatagram::parseUdpKeyArgument(const QString& argument, quint32& keyId, QByteArray& key)
{
    if (argument.size() != kUdpKeyArgumentSize)
        return false;
    for (const QChar c : argument) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
                || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    const QByteArray raw = QByteArray::fromHex(argument.toLatin1());
    keyId = qFromBigEndian<quint32>(bytes(raw));
    key = raw.mid(kKeyIdSize);
    return true;
}

OpenResult ReplayWindow::check(quint64 counter) const
{
    if (!m_any || counter > m_highest)
        return OpenResult::Opened;
    if (m_highest - counter >= quint64(SealedDatagram::kReplayWindow))
        return OpenResult::TooOld;
    return testBit(counter) ? OpenResult::Replayed : OpenResult::Opened;
}

bool ReplayWindow::testBit(quint64 counter) const
{
    const quint64 slot = counter % SealedDatagram::kReplayWindow;
    return (m_bits[slot / 64] >> (slot % 64)) & 1u;
}

void ReplayWindow::mark(quint64 counter)
{
    if (!m_any || counter > m_highest) {
        // The slots of the counters the window slides over belong to counters that were
        // never seen: clear them before they are reused.
        const quint64 gap = m_any ? counter - m_highest : quint64(SealedDatagram::kReplayWindow);
        if (gap >= quint64(SealedDatagram::kReplayWindow)) {
            m_bits.fill(0);
        } else {
            for (quint64 c = m_highest + 1; c <= counter; ++c) {
                const quint64 slot = c % SealedDatagram::kReplayWindow;
                m_bits[slot / 64] &= ~(quint64(1) << (slot % 64));
            }
        }
        m_highest = counter;
        m_any = true;
    }
    const quint64 slot = counter % SealedDatagram::kReplayWindow;
    m_bits[slot / 64] |= quint64(1) << (slot % 64);
}

bool DatagramDropLog::record(OpenResult result, const QString& source, qint64 nowMs)
{
    ++m_total;
    ++m_sinceLine;
    ++m_byResult[size_t(result)];
    if (m_logged && nowMs - m_lastLineMs < 1000)
        return false;
    qCWarning(lcTransport,
        "Dropped %llu sealed datagram(s) since the last report, %llu in all; the last "
        "from %s: %s.",
        static_cast<unsigned long long>(m_sinceLine), static_cast<unsigned long long>(m_total),
        qPrintable(source), qPrintable(SealedDatagram::resultText(result)));
    m_logged = true;
    m_lastLineMs = nowMs;
    m_sinceLine = 0;
    return true;
}

bool DatagramDropLog::record(OpenResult result, const QString& source)
{
    if (!m_clock.isValid())
        m_clock.start();
    return record(result, source, m_clock.elapsed());
}

quint64 DatagramDropLog::dropped(OpenResult result) const
{
    return m_byResult[size_t(result)];
}

void DatagramChannel::CipherContextDeleter::operator()(evp_cipher_ctx_st* context) const
{
    EVP_CIPHER_CTX_free(context);
}

DatagramChannel::DatagramChannel(quint32 keyId, const QByteArray& key, Side side)
    : m_keyId(keyId),
      m_sendDirection(side == ClientSide ? Direction::ClientToServer : Direction::ServerToClient),
      m_receiveDirection(
          side == ClientSide ? Direction::ServerToClient : Direction::ClientToServer),
      m_sealContext(newContext(key, true)), m_openContext(newContext(key, false))
{ }

DatagramChannel::~DatagramChannel() = default;
DatagramChannel::DatagramChannel(DatagramChannel&&) noexcept = default;
DatagramChannel& DatagramChannel::operator=(DatagramChannel&&) noexcept = default;

bool DatagramChannel::isValid() const
{
    return m_sealContext && m_openContext;
}

QByteArray DatagramChannel::seal(const QByteArray& plain)
{
    if (!isValid() || m_spent)
        return QByteArray();
    QByteArray out;
    if (!sealInto(m_sealContext.get(), m_keyId, m_sendDirection, m_nextCounter, plain, out))
        return QByteArray();
    // A counter is used once whatever happens to the datagram after this.
    if (m_nextCounter == std::numeric_limits<quint64>::max())
        m_spent = true;
    else
        ++m_nextCounter;
    return out;
}

OpenResult DatagramChannel::open(const QByteArray& sealed, QByteArray& plain)
{
    if (sealed.size() < SealedDatagram::kOverhead)
        return OpenResult::TooShort;
    quint32 keyId = 0;
    SealedDatagram::peekKeyId(sealed, keyId);
    if (keyId != m_keyId || !isValid())
        return OpenResult::UnknownKey;
    const quint64 counter = counterOf(sealed);
    const OpenResult seen = m_window.check(counter);
    if (seen != OpenResult::Opened)
        return seen;
    QByteArray opened;
    if (!openInto(m_openContext.get(), m_receiveDirection, counter, sealed, opened))
        return OpenResult::Forged;
    m_window.mark(counter);
    plain = opened;
    return OpenResult::Opened;
}

bool DatagramKeyTable::addClient(quint32& keyId, QByteArray& key)
{
    const QByteArray fresh = SealedDatagram::newKey();
    if (fresh.isEmpty())
        return false;
    quint32 id = 0;
    do {
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1)
            return false;
    } while (!add(id, fresh));
    keyId = id;
    key = fresh;
    return true;
}

bool DatagramKeyTable::add(quint32 keyId, const QByteArray& key)
{
    if (key.size() != SealedDatagram::kKeySize || contains(keyId))
        return false;
    DatagramChannel channel(keyId, key, DatagramChannel::ServerSide);
    if (!channel.isValid())
        return false;
    m_channels.emplace(keyId, std::move(channel));
    return true;
}

void DatagramKeyTable::remove(quint32 keyId)
{
    m_channels.erase(keyId);
}

bool DatagramKeyTable::contains(quint32 keyId) const
{
    return m_channels.find(keyId) != m_channels.end();
}

OpenResult DatagramKeyTable::open(
    const QByteArray& sealed, QByteArray& plain, quint32& keyId, const QString& source)
{
    OpenResult result = OpenResult::TooShort;
    quint32 id = 0;
    if (sealed.size() >= SealedDatagram::kOverhead && SealedDatagram::peekKeyId(sealed, id)) {
        const auto found = m_channels.find(id);
        result = found == m_channels.end() ? OpenResult::UnknownKey
                                           : found->second.open(sealed, plain);
    }
    if (result == OpenResult::Opened)
        keyId = id;
    else
        m_drops.record(result, source);
    return result;
}

QByteArray DatagramKeyTable::seal(quint32 keyId, const QByteArray& plain)
{
    const auto found = m_channels.find(keyId);
    return found == m_channels.end() ? QByteArray() : found->second.seal(plain);
}
