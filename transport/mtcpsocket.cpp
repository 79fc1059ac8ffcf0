#include "mtcpsocket.h"

#include "servercertificate.h"
#include "servertrust.h"
#include "tcpframereader.h"
#include "wireformat.h"
#include "transportlog.h"

#include <QSslConfiguration>
#include <QTimer>

namespace {

// The first byte of every TLS record that starts a handshake (a ClientHello); a plain
// frame starts with the high byte of its length, which is 0 for any frame a peer sends.
constexpr char kTlsHandshakeRecord = 0x16;

} // namespace

MTcpSocket::MTcpSocket(QObject* parent) : QSslSocket(parent)
{
    qRegisterMetaType<MDataType>("MDataType");
    qRegisterMetaType<MAbstractSocket*>("MAbstractSocket*");
    connect(
        this, &QTcpSocket::readyRead, this, &MTcpSocket::processReadyRead, Qt::DirectConnection);
    // Connected first, so it runs before any owner's slot.
    connect(this, &QAbstractSocket::stateChanged, this, &MTcpSocket::takeEndpoints,
        Qt::DirectConnection);
}

void MTcpSocket::takeEndpoints(QAbstractSocket::SocketState state)
{
    // The TLS layer runs over an inner TCP socket and passes its "connected" state on
    // before it copies the inner socket's addresses; owners read their ends in that
    // very signal, so the addresses are taken here first.
    if (state != ConnectedState)
        return;
    const auto* inner = findChild<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly);
    if (!inner || inner->state() != ConnectedState)
        return;
    setLocalAddress(inner->localAddress());
    setLocalPort(inner->localPort());
    setPeerAddress(inner->peerAddress());
    setPeerPort(inner->peerPort());
}

MTcpSocket::~MTcpSocket()
{
    MTcpSocket::close();
    // The TLS layer's destructor still signals state changes, by then to a half-destroyed
    // object: its own slots must not hear them.
    disconnect(this, nullptr, this, nullptr);
}

int MTcpSocket::socketType()
{
    return 1;
}

QString MTcpSocket::LocalIpAndPort() const
{
    return addressText(localAddress(), localPort());
}

QString MTcpSocket::PeerIpAndPort() const
{
    return addressText(peerAddress(), peerPort());
}

bool MTcpSocket::usable() const
{
    const SocketState current = state();
    return current == ConnectedState || current == BoundState;
}

QHostAddress MTcpSocket::peerAddress() const
{
    return QTcpSocket::peerAddress();
}

quint16 MTcpSocket::peerPort() const
{
    return QTcpSocket::peerPort();
}

QAbstractSocket::SocketState MTcpSocket::state() const
{
    return QTcpSocket::state();
}

void MTcpSocket::connectToHost(const QHostAddress& address, quint16 port, QIODevice::OpenMode mode)
{
    connectToHost(address.toString(), port, mode, AnyIPProtocol);
}

void MTcpSocket::connectToHost(
    const QString& hostName, quint16 port, OpenMode mode, NetworkLayerProtocol protocol)
{
    // connectToHostEncrypted comes back through here with its handshake armed.
    if (m_trust && !m_arming) {
        QHostAddress address;
        m_peerText = address.setAddress(hostName)
            ? addressText(address, port)
            : hostName + QLatin1Char(':') + QString::number(port);
        m_arming = true;
        QSslSocket::connectToHostEncrypted(hostName, port, mode, protocol);
        m_arming = false;
        return;
    }
    QSslSocket::connectToHost(hostName, port, mode, protocol);
}

void MTcpSocket::close()
{
    QSslSocket::close();
}

void MTcpSocket::configureTls(const QSslConfiguration& configuration)
{
    m_tls = true;
    setSslConfiguration(configuration);
    connect(this, &QSslSocket::encrypted, this, &MTcpSocket::tlsEncrypted);
    connect(this, &QAbstractSocket::errorOccurred, this, &MTcpSocket::tlsFailed);
}

void MTcpSocket::startServerTls(const ServerCertificate& identity)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_3OrLater);
    configuration.setLocalCertificate(identity.certificate());
    configuration.setPrivateKey(identity.privateKey());
    // Clients prove themselves with the class code inside TLS, not with certificates.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configureTls(configuration);
    m_peerText = PeerIpAndPort();
    startServerEncryption();
}

void MTcpSocket::startServerTlsOrPlain(const ServerCertificate& identity, int graceMs)
{
    m_offeredIdentity = std::make_unique<ServerCertificate>(identity);
    QTimer::singleShot(graceMs, this, [this] {
        if (m_offeredIdentity)
            choosePlain();
    });
}

bool MTcpSocket::chooseByFirstByte()
{
    // The byte is peeked on the socket under the TLS layer, so that a TLS handshake
    // started now still reads it.
    auto* inner = findChild<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly);
    char first = 0;
    if (!inner || inner->peek(&first, 1) != 1)
        return false;
    if (first != kTlsHandshakeRecord) {
        choosePlain();
        return true;
    }
    const std::unique_ptr<ServerCertificate> identity = std::move(m_offeredIdentity);
    startServerTls(*identity);
    return false;
}

void MTcpSocket::choosePlain()
{
    m_offeredIdentity.reset();
    emit plainChosen();
}

void MTcpSocket::setClientTls(const ServerTrust& trust)
{
    m_trust = std::make_unique<ServerTrust>(trust);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_3OrLater);
    // No authority is trusted, so every certificate reaches checkServerCertificate
    // as an error, and only the pin or the known-servers file can accept it.
    configuration.setCaCertificates({});
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    configureTls(configuration);
    connect(this, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
        &MTcpSocket::checkServerCertificate);
}

void MTcpSocket::checkServerCertificate()
{
    const QString fingerprint = ServerCertificate::fingerprintOf(peerCertificate());
    const ServerTrust::Verdict verdict = m_trust->check(m_peerText, fingerprint);
    if (verdict.decision == ServerTrust::Refused) {
        // Not ignoring the errors makes the handshake fail: tlsFailed reports it.
        m_refusal = verdict.message;
        return;
    }
    m_acceptedFingerprint = fingerprint;
    m_firstMeeting = verdict.decision == ServerTrust::FirstMeeting;
    ignoreSslErrors();
}

void MTcpSocket::tlsEncrypted()
{
    if (!m_trust)
        return;
    const QString fingerprint = ServerCertificate::fingerprintOf(peerCertificate());
    if (fingerprint.isEmpty() || fingerprint != m_acceptedFingerprint) {
        // A certificate that no check accepted: never let a frame through.
        refuse(QStringLiteral("The server at %1 presented the certificate %2, which was not "
                              "checked: connection refused.")
                   .arg(m_peerText, fingerprint));
        return;
    }
    if (m_firstMeeting) {
        QString error;
        if (!m_trust->remember(m_peerText, fingerprint, &error))
            qCWarning(lcTransport, "%s", qPrintable(error));
        else
            qCWarning(lcTransport, "Remembered the certificate %s of the server at %s in %s.",
                qPrintable(fingerprint), qPrintable(m_peerText),
                qPrintable(m_trust->knownServersPath()));
        m_firstMeeting = false;
    }
}

void MTcpSocket::tlsFailed(QAbstractSocket::SocketError)
{
    // Once encrypted, errors are the connection's own and go to the owner as always.
    if (m_refused || isEncrypted())
        return;
    if (!m_refusal.isEmpty())
        refuse(m_refusal);
    else if (m_trust)
        refuse(QStringLiteral("No secure connection to the server at %1 (%2): it may not be a "
                              "secure server. The connection is not retried without TLS.")
                   .arg(m_peerText, errorString()));
    else
        refuse(QStringLiteral("Dropped a connection from %1 that did not complete TLS (%2).")
                   .arg(m_peerText, errorString()));
}

void MTcpSocket::refuse(const QString& message)
{
    if (m_refused)
        return;
    m_refused = true;
    qCWarning(lcTransport, "%s", qPrintable(message));
    emit tlsRefused(message);
    abort();
}

qint64 MTcpSocket::ourProtocolSend(const QByteArray& tag, const QByteArray& payload)
{
    const int length = WireFormat::kNumberSize + tag.size() + payload.size();
    QByteArray frame = intToByteArray(quint32(length));
    frame.reserve(length);
    frame.append(tag);
    frame.append(payload);
    return write(frame);
}

void MTcpSocket::processReadyRead()
{
    QByteArray tag;
    QByteArray payload;
    quint32 length = 0;
    if (m_offeredIdentity && !chooseByFirstByte())
        return;
    // A receiver may close the socket inside the signal; closing empties the
    // read buffer, so the next round finds an incomplete frame and stops.
    for (;;) {
        switch (TcpFrameReader::readFrame(*this, tag, payload, length)) {
        case TcpFrameReader::Incomplete:
            return;
        case TcpFrameReader::BadLength:
            qCWarning(lcTransport, "Bad frame length %u from %s: connection aborted.", length,
                qPrintable(PeerIpAndPort()));
            abort();
            return;
        case TcpFrameReader::FrameRead:
            emit packetReceived(this, dataTypeFromTag(tag), payload);
            break;
        }
    }
}
