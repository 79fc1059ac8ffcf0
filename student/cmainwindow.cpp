#include "cmainwindow.h"
#include "ui_cmainwindow.h"

#include "chatformat.h"
#include "decodertable.h"
#include "mclientsession.h"
#include "mdecoder.h"
#include "mm.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "mvoiceplayback.h"
#include "sessioncommands.h"
#include "studentcommand.h"

#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QCloseEvent>
#include <QDebug>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "studentlog.h"

namespace {

using ChatFormat::statusLine;

template <typename T> QString listText(const QList<T>& values)
{
    QStringList items;
    for (const T& value : values)
        items << QVariant::fromValue(value).toString();
    return QLatin1Char('(') + items.join(QLatin1String(", ")) + QLatin1Char(')');
}

} // namespace

const char* const CMainWindow::kVersionBoxName = "versionRefusedBox";
const char* const CMainWindow::kIdentityBoxName = "identityRefusedBox";
const char* const CMainWindow::kSecureBoxName = "secureConnectionRefusedBox";

CMainWindow::CMainWindow(const StudentConfig& configuration, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::CMainWindow), config(configuration),
      m_session(new MClientSession(this)), m_reconnectTimer(new QTimer(this))
{
    ui->setupUi(this);
    m_session->setUdpConnected(false);
    m_session->setWaitLimits(kUdpReadyTimeoutMs, kFarewellWriteTimeoutMs);
    connect(m_session, &MClientSession::tcpStateChanged, this, &CMainWindow::TStateChanged);
    connect(m_session, &MClientSession::udpStateChanged, this, &CMainWindow::UStateChanged);
    connect(m_session, &MClientSession::tcpError, this, &CMainWindow::Terror);
    connect(m_session, &MClientSession::udpError, this, &CMainWindow::Uerror);
    connect(m_session, &MClientSession::packetReceived, this, &CMainWindow::packetReceived);
    connect(m_session, &MClientSession::secureConnectionRefused, this,
        &CMainWindow::secureConnectionRefused);
    if (config.isSecure())
        m_session->setSecure(config.studentCode, config.serverTrust());
    m_reconnectTimer->setSingleShot(true);
    connect(m_reconnectTimer, &QTimer::timeout, this, &CMainWindow::connectToServer);

    setWindowFlags(Qt::WindowStaysOnTopHint);
    for (int row = 0; row < DecoderTable::kRowCount; ++row)
        ui->cboDecoder->addItem(DecoderTable::itemText(row));
    ui->cboDecoder->setCurrentIndex(DecoderTable::kDefaultIndex);

    tcpStatusLabel = new QLabel(config.advancedView ? QStringLiteral("TCP: Closed.")
                                                    : QStringLiteral("Connection Status: Closed."),
        this);
    tcpStatusLabel->setObjectName(QStringLiteral("tcpStatusLabel"));
    udpStatusLabel = new QLabel(QStringLiteral("UDP: Closed."), this);
    udpStatusLabel->setObjectName(QStringLiteral("udpStatusLabel"));
    localStatusLabel = new QLabel(QStringLiteral("Local: Closed."), this);
    localStatusLabel->setObjectName(QStringLiteral("localStatusLabel"));
    ui->statusBar->addPermanentWidget(tcpStatusLabel, 2);
    ui->statusBar->addPermanentWidget(udpStatusLabel, 2);
    ui->statusBar->addPermanentWidget(localStatusLabel, 2);

    if (!config.advancedView) {
        ui->widAddressRefresh->hide();
        ui->widAudioProperties->hide();
        ui->widConnectButtons->hide();
        udpStatusLabel->hide();
        localStatusLabel->hide();
    }
    // Sized once the hidden rows no longer count towards the minimum.
    placeWindow();

    setWindowTitle(config.windowTitle);
    ui->leServerAddress->setText(
        MAbstractSocket::addressText(config.serverTcpAddress, config.serverTcpPort));

    connectToServer();
    createAudioOutput();
}

CMainWindow::~CMainWindow()
{
    // The sockets are children: cut them off before they report their end.
    reconnectWanted = false;
    m_reconnectTimer->stop();
    endConnection();
    // Playback (with its output and decoder) goes now, while their
    // destroyed() still reaches this window.
    delete playback;
    playback = nullptr;
    delete ui;
}

void CMainWindow::placeWindow()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    // The layout's minimum applies now, so width() below is the real one.
    layout()->activate();
    resize(available.width() / 5, available.height() - available.height() / 20);
    if (config.windowX != -1 && config.windowY != -1) {
        move(config.windowX, config.windowY);
        return;
    }
    // The frame's right edge on the available area's right edge.
    const int frameExtra = frameGeometry().width() - geometry().width();
    move(available.right() + 1 - width() - frameExtra, y());
}

bool CMainWindow::tcpUsable() const
{
    return connectionActive && m_session->tcpUsable();
}

MTcpSocket* CMainWindow::tcpSocket() const
{
    return m_session->tcpSocket();
}

MUdpSocket* CMainWindow::udpSocket() const
{
    return m_session->udpSocket();
}

bool CMainWindow::isReconnectScheduled() const
{
    return m_reconnectTimer->isActive();
}

// ---------------------------------------------------------------- session

void CMainWindow::connectToServer()
{
    m_reconnectTimer->stop();
    if (connectionActive)
        endConnection();
    reconnectWanted = true;
    connectionActive = true;
    // The UDP socket is bound, not connected (see MClientSession): a server
    // or console whose UDP replies leave from another address of its host
    // is still heard. Sends go to the configured UDP end until a
    // "DOYOUCOPY?" says where the server's UDP really is.
    m_session->open(config.serverTcpAddress, config.serverTcpPort, config.serverUdpAddress,
        config.serverUdpPort);
}

void CMainWindow::endConnection()
{
    if (voiceActive)
        stopVoice(true);
    if (connectionActive) {
        connectionActive = false;
        // Says goodbye, closes both sockets and cuts them off first: closing
        // makes a socket report its new state, and either one may be
        // delivering the packet that ended the session.
        m_session->end();
        if (waitServer) {
            releaseLocalSocket();
            disconnect(waitServer, nullptr, this, nullptr);
            waitServer->close();
            waitServer->deleteLater();
            waitServer = nullptr;
            localStatusLabel->setText(QStringLiteral("Local: Closed."));
        }
        // Once per outage, however many attempts it takes.
        if (m_lastTcpState != QAbstractSocket::UnconnectedState && m_pacer.takeOutageNotice())
            appendText(statusLine(QStringLiteral("green"), QStringLiteral("Server disconnected.")));
        showTcpState(QAbstractSocket::UnconnectedState);
    }
    connectionActive = false;
}

void CMainWindow::showTcpState(QAbstractSocket::SocketState state)
{
    tcpStatusLabel->setText(
        (config.advancedView ? QStringLiteral("TCP: ") : QStringLiteral("Connection Status: "))
        + MAbstractSocket::getStateString(state));
    m_lastTcpState = state;
}

void CMainWindow::appendText(const QString& html)
{
    ui->txtMessages->append(html);
}

void CMainWindow::queryServerProtocol()
{
    qCDebug(lcStudent, "queryServerProtocol");
    m_session->queryServerProtocol();
}

void CMainWindow::identifySelf()
{
    qCDebug(lcStudent).noquote() << "identifySelf" << config.identity;
    m_session->identifySelf(config.identity);
}

void CMainWindow::TStateChanged(QAbstractSocket::SocketState state)
{
    // Closing a session on purpose reports its states too; only the live
    // session's count.
    if (!connectionActive)
        return;
    if (state == QAbstractSocket::ConnectedState) {
        m_pacer.connectionMade();
        config.identity = m_session->identityOrLocalEnd(config.identity);
        queryServerProtocol();
        identifySelf();
        appendText(statusLine(QStringLiteral("green"),
            QStringLiteral("Server %1 connected.")
                .arg(config.advancedView ? tcpSocket()->PeerIpAndPort() : QString())));
    } else if (state == QAbstractSocket::UnconnectedState) {
        endConnection();
        if (reconnectWanted)
            scheduleReconnect();
        return;
    }
    showTcpState(state);
}

void CMainWindow::scheduleReconnect()
{
    // Never from inside the dying socket's own signal; the first attempt of
    // an outage still goes on the next turn of the event loop.
    const int delay = m_pacer.nextDelayMs();
    qCDebug(lcStudent).noquote() << "Reconnecting in" << delay << "ms";
    m_reconnectTimer->start(delay);
}

void CMainWindow::UStateChanged(QAbstractSocket::SocketState state)
{
    udpStatusLabel->setText(QStringLiteral("UDP: ") + MAbstractSocket::getStateString(state));
}

void CMainWindow::Terror(QAbstractSocket::SocketError socketError)
{
    qCDebug(lcStudent).noquote() << "Terror: " << socketError;
}

void CMainWindow::Uerror(QAbstractSocket::SocketError socketError)
{
    qCDebug(lcStudent).noquote() << "Uerror: " << socketError;
}

void CMainWindow::Perror(QAbstractSocket::SocketError socketError)
{
    qCDebug(lcStudent).noquote() << "Perror: " << socketError;
}

void CMainWindow::on_btnConnect_clicked()
{
    connectToServer();
}

void CMainWindow::on_btnDisconnect_clicked()
{
    reconnectWanted = false;
    m_reconnectTimer->stop();
    endConnection();
}

void CMainWindow::on_btnRefreshConnection_clicked()
{
    const QString text = ui->leServerAddress->text();
    StudentConfig::parseServerAddress(text, config.serverTcpAddress, config.serverTcpPort);
    StudentConfig::parseServerAddress(text, config.serverUdpAddress, config.serverUdpPort);
    connectToServer();
}

void CMainWindow::closeEvent(QCloseEvent* event)
{
    reconnectWanted = false;
    m_reconnectTimer->stop();
    endConnection();
    event->accept();
}

// -------------------------------------------------------------- dispatch

void CMainWindow::packetReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& payload)
{
    switch (dataType) {
    case CommandData:
        commandReceived(connection, payload);
        break;
    case TextData: {
        QString sender;
        QString message;
        MAbstractSocket::decodeTextPacket(payload, sender, message);
        if (config.udpTextProbe && connection != static_cast<MAbstractSocket*>(tcpSocket()))
            message = QStringLiteral("[Client Confirms UDP] ") + message;
        appendMessage(sender, message);
        break;
    }
    case VoiceData:
        if (!voiceActive)
            startVoice(true);
        playback->voicePacketReceived(payload);
        break;
    case ExtraData:
        extraDataReceived(connection, payload);
        break;
    case UnrecognisedData:
        break;
    }
}

void CMainWindow::commandReceived(MAbstractSocket* connection, const QByteArray& payload)
{
    const QString command = QString::fromUtf8(payload);
    qCDebug(lcStudent).noquote() << "cmd packetReceived" << command << connection->PeerIpAndPort()
                                 << " LOCAL " << connection->LocalIpAndPort();
    const StudentCommand::Parsed parsed = StudentCommand::parse(command);
    switch (parsed.kind) {
    case StudentCommand::Ping:
        connection->ourProtocolSendCommand(SessionCommand::kPong + parsed.rest);
        break;
    case StudentCommand::ProtocolVersion:
        serverProtocolVerReceived(parsed.rest);
        break;
    case StudentCommand::IdentifyResult:
        identifyResultReceived(parsed.rest);
        break;
    case StudentCommand::UdpRequest:
        udpRequestReceived(parsed.rest);
        break;
    case StudentCommand::YourUdpIpPort:
        selfExternalUdpAddressPortReceived(connection, parsed.rest);
        break;
    case StudentCommand::DoYouCopy:
        doYouCopyReceived(connection, parsed.rest);
        break;
    case StudentCommand::Connected:
        connectedReceived();
        break;
    case StudentCommand::VoiceFormat:
        break;
    case StudentCommand::StartVoice:
        startVoice(true);
        break;
    case StudentCommand::StopVoice:
        stopVoice(true);
        break;
    case StudentCommand::ClassFinished:
        reconnectWanted = false;
        m_reconnectTimer->stop();
        endConnection();
        break;
    case StudentCommand::AllowCall:
        onAllowCallReceived(parsed.rest);
        break;
    case StudentCommand::Unknown:
        qCDebug(lcStudent).noquote() << SessionCommand::kUnknownCommand + command;
        break;
    }
}

void CMainWindow::showBox(const char* objectName, const QString& text)
{
    auto* box = new QMessageBox(
        QMessageBox::Critical, QStringLiteral("Connection Error!"), text, QMessageBox::Ok, this);
    box->setObjectName(QLatin1String(objectName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

void CMainWindow::serverProtocolVerReceived(const QString& version)
{
    qCDebug(lcStudent).noquote() << "serverProtocolVerReceived" << version;
    if (version == SessionCommand::kProtocolVersion)
        return;
    reconnectWanted = false;
    m_reconnectTimer->stop();
    endConnection();
    showBox(kVersionBoxName,
        QStringLiteral("The version of the server you are trying to connect to is different "
                       "from the version of this client.\nPlease update your client program."));
}

void CMainWindow::identifyResultReceived(const QString& result)
{
    qCDebug(lcStudent).noquote() << "identifyResultReceived" << result;
    if (result == SessionCommand::kIdentifyOk)
        return;
    reconnectWanted = false;
    m_reconnectTimer->stop();
    endConnection();
    showBox(kIdentityBoxName,
        QStringLiteral("Identification Failed!\nPlease make sure you have permission and "
                       "credentials to join the current class."));
}

void CMainWindow::secureConnectionRefused(const QString& message)
{
    // Trying again would meet the same certificate or the same plain server;
    // the session closes the connection right after, which ends it here.
    reconnectWanted = false;
    m_reconnectTimer->stop();
    appendText(statusLine(QStringLiteral("red"), message.toHtmlEscaped()));
    showBox(kSecureBoxName, message);
}

void CMainWindow::udpRequestReceived(const QString& token)
{
    qCDebug(lcStudent).noquote() << "udpRequestReceived" << token;
    m_session->answerUdpRequest(token);
}

void CMainWindow::selfExternalUdpAddressPortReceived(
    MAbstractSocket* connection, const QString& text)
{
    qCDebug(lcStudent).noquote() << "selfExternalUdpAddressPortReceived" << text;
    QHostAddress address = config.serverUdpAddress;
    quint16 port = config.serverUdpPort;
    MAbstractSocket::parseAddressPort(text, address, port);
    qCDebug(lcStudent).noquote() << "BOUND TO " + MAbstractSocket::addressText(address, port);
    qCDebug(lcStudent).noquote() << "CONN WAS (TCP)" << connection->PeerIpAndPort()
                                 << " LOCAL: " << connection->LocalIpAndPort();
    m_session->answerUdpAddress();
}

void CMainWindow::doYouCopyReceived(MAbstractSocket* connection, const QString& token)
{
    qCDebug(lcStudent).noquote() << "doYouCopyReceived" << token;
    m_session->answerCopyProbe(connection, token);
}

void CMainWindow::connectedReceived()
{
    qCDebug(lcStudent, "connectedReceived");
    m_pacer.reset();
    appendText(statusLine(QStringLiteral("#C00080"), QStringLiteral("Voice Initialized")));
    udpStatusLabel->setText(QStringLiteral("UDP: Voice Initialized."));
    startWaitServer();
}

void CMainWindow::appendMessage(const QString& sender, const QString& message)
{
    appendText(ChatFormat::messageLine(sender, message, config.identity));
}

void CMainWindow::on_btnSend_clicked()
{
    if (!tcpUsable())
        return;
    const QString text = ui->leTextData->text();
    tcpSocket()->ourProtocolSendText(config.identity, text);
    if (config.udpTextProbe)
        udpSocket()->ourProtocolSendText(config.identity, QStringLiteral("[CS-UDP] ") + text);
    ui->leTextData->clear();
}

void CMainWindow::on_btnCallTeacher_clicked()
{
    if (!tcpUsable())
        return;
    tcpSocket()->ourProtocolSendCommand(SessionCommand::kCallTeacher + config.identity);
    ui->btnCallTeacher->setText(QStringLiteral("Calling..."));
    ui->btnCallTeacher->setEnabled(false);
}

void CMainWindow::onAllowCallReceived(const QString& studentIdName)
{
    if (!studentIdName.isEmpty() && studentIdName != config.identity)
        return;
    ui->btnCallTeacher->setText(QStringLiteral("Call Teacher"));
    ui->btnCallTeacher->setEnabled(true);
}

// ------------------------------------------------------------------ voice

void CMainWindow::createAudioOutput()
{
    audioFormat = MM::defaultAudioFormat();
    playback = new MVoicePlayback(
        audioFormat,
        [this](QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
            QObject* parent) { return createDecoder(output, device, format, parent); },
        this);
    connect(playback, &MVoicePlayback::outputStateChanged, this,
        [this](QAudio::State state, QAudio::Error) { audioOutputStateChanged(state); });
    connect(playback->audioOutput(), &QObject::destroyed, this, &CMainWindow::aodel);

    const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
    qCDebug(lcStudent).noquote() << "SR" << listText(device.supportedSampleRates());
    qCDebug(lcStudent).noquote() << "CC" << listText(device.supportedChannelCounts());
    qCDebug(lcStudent).noquote() << "SS" << listText(device.supportedSampleSizes());
    QList<int> types;
    for (QAudioFormat::SampleType type : device.supportedSampleTypes())
        types << int(type);
    qCDebug(lcStudent).noquote() << "ST" << listText(types);
    qCDebug(lcStudent).noquote() << "C/" << listText(device.supportedCodecs());
    QList<int> orders;
    for (QAudioFormat::Endian order : device.supportedByteOrders())
        orders << int(order);
    qCDebug(lcStudent).noquote() << "BO" << listText(orders);
}

MDecoder* CMainWindow::currentDecoder() const
{
    return playback ? playback->decoder() : nullptr;
}

QAudioOutput* CMainWindow::audioOutputObject() const
{
    return playback ? playback->audioOutput() : nullptr;
}

void CMainWindow::startVoice(bool announce)
{
    if (voiceActive)
        return;
    voiceActive = true;
    playback->start();
    if (announce)
        appendText(statusLine(QStringLiteral("red"), QStringLiteral("Voice Started.")));
}

MDecoder* CMainWindow::createDecoder(
    QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent)
{
    // The list is read at each start: a new choice takes effect at the next one.
    const int row
        = config.advancedView ? ui->cboDecoder->currentIndex() : DecoderTable::kDefaultIndex;
    MDecoder* decoder = DecoderTable::create(row, output, device, format, parent);
    if (decoder)
        connect(decoder, &QObject::destroyed, this, &CMainWindow::decdel);
    return decoder;
}

void CMainWindow::stopVoice(bool announce)
{
    if (!voiceActive)
        return;
    voiceActive = false;
    playback->stop();
    if (announce)
        appendText(statusLine(QStringLiteral("red"), QStringLiteral("Voice Stopped.")));
}

void CMainWindow::audioOutputStateChanged(QAudio::State state)
{
    // The 2000 ms look after an error is the playback's own.
    qCDebug(lcStudent).noquote() << "audioOutputStateChanged; "
                                 << "State " << state << " error "
                                 << playback->audioOutput()->error();
}

void CMainWindow::startAudioOutputIfNotAlreadyStarted()
{
    playback->startAudioOutputIfNotAlreadyStarted();
}

void CMainWindow::on_btnResetVoice_clicked() { }

void CMainWindow::aodel()
{
    qCDebug(lcStudent, "AO DEL");
}

void CMainWindow::decdel()
{
    qCDebug(lcStudent, "DEC DEL");
}

// ------------------------------------------------------- local wait server

void CMainWindow::startWaitServer()
{
    if (waitServer) {
        releaseLocalSocket();
        disconnect(waitServer, nullptr, this, nullptr);
        waitServer->close();
        waitServer->deleteLater();
    }
    waitServer = new QTcpServer(this);
    connect(waitServer, &QTcpServer::newConnection, this, &CMainWindow::p_waitserver_newConnection);
    if (!waitServer->listen(config.localListenAddress, config.localListenPort))
        qCDebug(lcStudent).noquote()
            << "Local wait server cannot listen:" << waitServer->errorString();
    localStatusLabel->setText(QStringLiteral("Local: Server Waiting..."));
}

void CMainWindow::releaseLocalSocket()
{
    if (!localSocket)
        return;
    // The socket belongs to its listener and goes with it.
    disconnect(localSocket, nullptr, this, nullptr);
    localSocket->abort();
    localSocket = nullptr;
}

void CMainWindow::p_waitserver_newConnection()
{
    QTcpSocket* pending = waitServer->nextPendingConnection();
    if (!pending)
        return;
    localSocket = pending;
    localStatusLabel->setText(QStringLiteral("Local: ")
        + MAbstractSocket::getStateString(QAbstractSocket::ConnectedState));
    connect(localSocket, &QAbstractSocket::stateChanged, this, &CMainWindow::PStateChanged);
    connect(localSocket, &QAbstractSocket::errorOccurred, this, &CMainWindow::Perror);
    connect(localSocket, &QIODevice::readyRead, this, &CMainWindow::p_sock_readyRead);
    // One companion at a time: nothing listens while it is connected.
    waitServer->close();
}

void CMainWindow::p_sock_readyRead()
{
    if (!localSocket)
        return;
    const qint64 available = localSocket->bytesAvailable();
    if (available == 0)
        return;
    const QByteArray bytes = localSocket->read(available);
    qCDebug(lcStudent).noquote() << "PData Received: " << bytes;
    if (!tcpUsable()) {
        qCDebug(lcStudent).noquote()
            << "PData dropped: no server connection," << bytes.size() << "bytes";
        return;
    }
    tcpSocket()->ourProtocolSendPData(bytes);
}

void CMainWindow::PStateChanged(QAbstractSocket::SocketState state)
{
    qCDebug(lcStudent).noquote() << "S IS " << state;
    localStatusLabel->setText(QStringLiteral("Local: ") + MAbstractSocket::getStateString(state));
    if (state != QAbstractSocket::UnconnectedState)
        return;
    // The companion left: the next one may come in (while in class; out of
    // class the listener is gone and comes back with the next admission).
    if (localSocket) {
        disconnect(localSocket, nullptr, this, nullptr);
        localSocket->deleteLater();
        localSocket = nullptr;
    }
    if (reconnectWanted && waitServer)
        startWaitServer();
}

void CMainWindow::extraDataReceived(MAbstractSocket* connection, const QByteArray& payload)
{
    qCDebug(lcStudent).noquote() << "PData packetReceived" << payload << connection->PeerIpAndPort()
                                 << " LOCAL " << connection->LocalIpAndPort();
    if (!localSocket || localSocket->state() != QAbstractSocket::ConnectedState) {
        qCDebug(lcStudent).noquote()
            << "PData dropped: no local program connected," << payload.size() << "bytes";
        return;
    }
    localSocket->write(payload);
}
