#include "dsessionlink.h"

#include <QAbstractButton>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>

#include "assistantcommand.h"
#include "assistantconfig.h"
#include "assistantlog.h"
#include "chatformat.h"
#include "dclientrows.h"
#include "dfilereceiver.h"
#include "dfilesender.h"
#include "dmainwindow.h"
#include "dmessagebox.h"
#include "dvoicecontrol.h"
#include "mclientsession.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "secureclass.h"
#include "servercertificate.h"
#include "sessioncommands.h"

namespace {

const QString kNetOn = QStringLiteral(":/img/net-on.png");
const QString kNetOff = QStringLiteral(":/img/net-off.png");

// Where students reach a class the window joined over loopback: a server of
// this machine that listens on every address is reached at another address of
// it; otherwise the address joined is the only one known.
QHostAddress invitationAddress(const AssistantConfig& config)
{
    const QHostAddress joined = config.serverTcpAddress;
    if (!joined.isLoopback() || !config.internalServer
        || config.listenAddress != QHostAddress(QHostAddress::AnyIPv4))
        return joined;
    return SecureClass::addressForStudents(config.listenAddress);
}

} // namespace

const char* const DSessionLink::kSecureBoxName = "secureConnectionRefusedBox";

DSessionLink::DSessionLink(
    MClientSession* session, AssistantConfig& config, const Widgets& widgets, QObject* parent)
    : QObject(parent), m_session(session), m_config(config), m_widgets(widgets)
{
    connect(m_session, &MClientSession::secureConnectionRefused, this,
        &DSessionLink::secureConnectionRefused);
}

void DSessionLink::secureConnectionRefused(const QString& message)
{
    // The session closes the connection right after; the window never
    // retries on its own, so nothing else is to be stopped.
    emit statusLine(ChatFormat::statusLine(QStringLiteral("red"), message.toHtmlEscaped()));
    DMessageBox::open(m_widgets.boxParent, kSecureBoxName, QMessageBox::Critical,
        QStringLiteral("Connection Error!"), message, QMessageBox::Ok, Qt::PlainText);
}

QString DSessionLink::invitationLine() const
{
    const MTcpSocket* tcp = m_session->tcpSocket();
    if (!m_session->isSecure() || m_config.studentCode.isEmpty() || !tcp || !tcp->isEncrypted())
        return QString();
    return SecureClass::invitationLine(
        MAbstractSocket::addressText(invitationAddress(m_config), m_config.serverTcpPort),
        m_config.studentCode, ServerCertificate::fingerprintOf(tcp->peerCertificate()));
}

void DSessionLink::openSession()
{
    if (m_config.joinsSecurely())
        m_session->setSecure(m_config.joinCode(), m_config.serverTrust());
    m_session->open(m_config.serverTcpAddress, m_config.serverTcpPort, m_config.serverUdpAddress,
        m_config.serverUdpPort);
}

void DSessionLink::closeSession()
{
    m_widgets.refreshButton->setIcon(QIcon(kNetOff));
    m_session->end();
}

void DSessionLink::queryServerProtocol()
{
    m_session->queryServerProtocol();
}

void DSessionLink::identifySelf()
{
    m_session->identifySelf(m_config.identity);
}

void DSessionLink::versionReceived(const QString& version)
{
    if (version == SessionCommand::kProtocolVersion)
        return;
    emit endRequested();
    DMessageBox::open(m_widgets.boxParent, DMainWindow::kVersionBoxName, QMessageBox::Critical,
        QStringLiteral("Connection Error!"),
        QStringLiteral("The version of the server you are trying to connect to is different "
                       "from the version of this client.\nPlease update your client program."),
        QMessageBox::Ok, Qt::PlainText);
}

void DSessionLink::identifyResultReceived(const QString& result)
{
    if (result == SessionCommand::kIdentifyOk)
        return;
    emit endRequested();
    DMessageBox::open(m_widgets.boxParent, DMainWindow::kIdentityBoxName, QMessageBox::Critical,
        QStringLiteral("Connection Error!"),
        QStringLiteral("Identification Failed!\nPlease make sure you have permission and "
                       "credentials to join the current class."),
        QMessageBox::Ok, Qt::PlainText);
}

void DSessionLink::udpRequestReceived(const QString& token)
{
    m_session->answerUdpRequest(token);
}

void DSessionLink::udpAddressReceived(const QString& addressPort)
{
    MTcpSocket* tcp = m_session->tcpSocket();
    if (!tcp)
        return;
    QHostAddress address;
    quint16 port = 0;
    MAbstractSocket::parseAddressPort(addressPort, address, port);
    qCDebug(lcAssistant).noquote() << "BOUND TO" << MAbstractSocket::addressText(address, port);
    qCDebug(lcAssistant).noquote()
        << "TCP PEER" << tcp->PeerIpAndPort() << "TCP LOCAL" << tcp->LocalIpAndPort();
    m_session->answerUdpAddress();
}

void DSessionLink::copyProbeReceived(MAbstractSocket* connection, const QString& token)
{
    m_session->answerCopyProbe(connection, token);
}

void DSessionLink::connectedReceived()
{
    emit statusLine(
        ChatFormat::statusLine(QStringLiteral("#C00080"), QStringLiteral("Voice Initialized")));
    m_widgets.refreshButton->setIcon(QIcon(kNetOn));
    requestNumberOfClients();
    m_widgets.networkLabel->setText(QStringLiteral("Connection OK"));
    // Once per window: a teacher reads it out or copies it to the students.
    const QString invitation = m_invitationShown ? QString() : invitationLine();
    if (!invitation.isEmpty()) {
        m_invitationShown = true;
        qCInfo(lcAssistant).noquote() << invitation;
        emit statusLine(
            ChatFormat::statusLine(QStringLiteral("#006080"), invitation.toHtmlEscaped()));
    }
}

void DSessionLink::requestNumberOfClients()
{
    if (MTcpSocket* tcp = m_session->tcpSocket())
        tcp->ourProtocolSendCommand(SessionCommand::kGetNClients);
}

void DSessionLink::tcpStateChanged(QAbstractSocket::SocketState state)
{
    m_widgets.networkLabel->setText(MAbstractSocket::getStateString(state));
    if (state == QAbstractSocket::ConnectedState) {
        m_widgets.networkLabel->setText(QStringLiteral("Initializing..."));
        emit tcpConnected();
        emit statusLine(
            ChatFormat::statusLine(QStringLiteral("green"), QStringLiteral("Server connected.")));
    } else if (state == QAbstractSocket::UnconnectedState) {
        emit statusLine(ChatFormat::statusLine(
            QStringLiteral("green"), QStringLiteral("Server disconnected.")));
    }
}

void DSessionLink::tcpError(QAbstractSocket::SocketError error)
{
    const MTcpSocket* tcp = m_session->tcpSocket();
    qCDebug(lcAssistant).noquote() << "Terror:" << error << (tcp ? tcp->errorString() : QString());
}

void DSessionLink::udpError(QAbstractSocket::SocketError error)
{
    const MUdpSocket* udp = m_session->udpSocket();
    qCDebug(lcAssistant).noquote() << "Uerror:" << error << (udp ? udp->errorString() : QString());
}

void DSessionLink::dispatchCommand(
    MAbstractSocket* connection, const QString& command, const QByteArray& payload)
{
    const AssistantCommand::Parsed parsed = AssistantCommand::parse(command);
    switch (parsed.kind) {
    case AssistantCommand::ProtocolVersion:
        versionReceived(parsed.rest);
        break;
    case AssistantCommand::IdentifyResult:
        identifyResultReceived(parsed.rest);
        break;
    case AssistantCommand::UdpRequest:
        udpRequestReceived(parsed.rest);
        break;
    case AssistantCommand::YourUdpIpPort:
        udpAddressReceived(parsed.rest);
        break;
    case AssistantCommand::DoYouCopy:
        copyProbeReceived(connection, parsed.rest);
        break;
    case AssistantCommand::Connected:
        connectedReceived();
        break;
    case AssistantCommand::ClientList:
        DClientRows::fill(m_widgets.clients, parsed.rest);
        break;
    case AssistantCommand::XDataId:
        m_handlers.fileSender->XDataIDReceived(payload.mid(parsed.keywordSize));
        break;
    case AssistantCommand::FileOffer:
        m_handlers.fileReceiver->offerReceived(
            connection->PeerIpAndPort(), payload.mid(parsed.keywordSize));
        break;
    case AssistantCommand::FileCancel:
        m_handlers.fileReceiver->cancelReceived(parsed.rest.toInt());
        break;
    case AssistantCommand::ClientCount:
        // The class size is not shown anywhere.
        break;
    case AssistantCommand::SpeakerCount:
        m_handlers.voice->speakerCountReceived(parsed.rest.toInt());
        break;
    case AssistantCommand::StartVoice:
        m_handlers.voice->startPlayback();
        break;
    case AssistantCommand::StopVoice:
        m_handlers.voice->stopPlayback();
        break;
    case AssistantCommand::Unknown:
        qCDebug(lcAssistant).noquote() << SessionCommand::kUnknownCommand + command;
        break;
    }
}

void DSessionLink::packetReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& payload)
{
    switch (dataType) {
    case CommandData: {
        const QString command = QString::fromUtf8(payload);
        qCDebug(lcAssistant).noquote() << QStringLiteral("cmd packetReceived ") + command
                + QLatin1Char(' ') + connection->PeerIpAndPort() + QStringLiteral(" LOCAL ")
                + connection->LocalIpAndPort();
        dispatchCommand(connection, command, payload);
        break;
    }
    case TextData: {
        QString name;
        QString message;
        MAbstractSocket::decodeTextPacket(payload, name, message);
        if (m_config.udpTextProbe && connection->socketType() != 1)
            message = QStringLiteral("[Client Confirms UDP] ") + message;
        emit textReceived(name, message);
        break;
    }
    case VoiceData:
        m_handlers.voice->voicePacketReceived(payload);
        break;
    case ExtraData:
        m_handlers.fileReceiver->chunkReceived(payload);
        break;
    case UnrecognisedData:
        break;
    }
}

void DSessionLink::askServerAddress()
{
    auto* dialog = new QInputDialog(m_widgets.boxParent);
    dialog->setObjectName(QLatin1String(DMainWindow::kAddressDialogName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Server Address"));
    dialog->setLabelText(QStringLiteral("Enter server Address:Port :"));
    dialog->setTextValue(m_config.serverTcpAddress.toString() + QLatin1Char(':')
        + QString::number(m_config.serverTcpPort));
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QInputDialog::textValueSelected, this, [this](const QString& text) {
        MAbstractSocket::parseAddressPort(text, m_config.serverTcpAddress, m_config.serverTcpPort);
        MAbstractSocket::parseAddressPort(text, m_config.serverUdpAddress, m_config.serverUdpPort);
        emit addressEntered();
    });
    dialog->open();
}
