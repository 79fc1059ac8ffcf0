#include "dmainwindow.h"
#include "ui_dmainwindow.h"

#include "chatformat.h"
#include "daddresspublisher.h"
#include "dfilebrowser.h"
#include "dfilereceiver.h"
#include "dfilesender.h"
#include "dvoiceprocessingmenu.h"
#include "mclientsession.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mopusencoder.h"
#include "mstatistics.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "mvoicecapture.h"
#include "mvoiceplayback.h"
#include "sessioncommands.h"

#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QListWidgetItem>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QStringList>
#include <QTimer>
#include <QUrl>

// The resources live in this static library; a program linking it must still
// register them, which the window does on its first construction.
static void initPodiumResources()
{
    Q_INIT_RESOURCE(podium);
}

namespace {

const QString kNetOn = QStringLiteral(":/img/net-on.png");
const QString kNetOff = QStringLiteral(":/img/net-off.png");
const QString kSpeakerOn = QStringLiteral(":/img/sp-on.png");
const QString kSpeakerOff = QStringLiteral(":/img/sp-off.png");
const QString kMicOn = QStringLiteral(":/img/mic-on.png");
const QString kMicOff = QStringLiteral(":/img/mic-off.png");

// Encoder settings of the assistant's outgoing voice.
constexpr int kEncoderComplexity = 10;
constexpr int kEncoderBitrate = 28000;
constexpr bool kEncoderInbandFec = false;

using ChatFormat::statusLine;

} // namespace

const char* const DMainWindow::kVersionBoxName = "versionRefusedBox";
const char* const DMainWindow::kIdentityBoxName = "identityRefusedBox";
const char* const DMainWindow::kPeerInfoBoxName = "peerInformationBox";
const char* const DMainWindow::kBrowserBoxName = "fileBrowserBox";
const char* const DMainWindow::kAddressDialogName = "serverAddressDialog";

DMainWindow::DMainWindow(const AssistantConfig& configuration, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::DMainWindow), config(configuration)
{
    initPodiumResources();
    ui->setupUi(this);
    audioFormat = MM::defaultAudioFormat();
    // The chat gets most of the width; names are short.
    ui->splitter->setStretchFactor(0, 3);
    ui->splitter->setStretchFactor(1, 1);

    if (config.windowX != -1 && config.windowY != -1)
        move(config.windowX, config.windowY);

    ui->grpFileTransfers->setFixedHeight(100);
    hideFileTransfers(true);

    setWindowTitle(config.windowTitle);
    ui->lblnetstat->setText(QStringLiteral("Network Disconnected"));

    fileSender = new DFileSender(ui->btnSendFile, ui->prgSendFile, ui->btnCancelSendFile,
        nullptr, config.identity, this, this);
    connect(fileSender, &DFileSender::statusLine, this, &DMainWindow::appendText);
    fileReceiver = new DFileReceiver(ui->lwFileTransfers,
        { ui->action_Open, ui->action_Open_Folder, ui->action_Remove_From_List,
            ui->action_Clean_List, ui->action_Cancel },
        this, this);
    connect(fileReceiver, &DFileReceiver::statusLine, this, &DMainWindow::appendText);
    connect(fileReceiver, &DFileReceiver::showTransfersRequested, this,
        &DMainWindow::showFileTransfers);
    connect(fileReceiver, &DFileReceiver::hideTransfersRequested, this,
        qOverload<>(&DMainWindow::hideFileTransfers));
    connect(fileReceiver, &DFileReceiver::showInFolderRequested, this,
        &DMainWindow::selectFileInExplorer);
    connect(fileReceiver, &DFileReceiver::openFileRequested, this,
        [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); });

    statisticsLabel = new QLabel(this);
    statisticsLabel->setObjectName(QStringLiteral("lblStatistics"));
    // The line is wider than the window: wrapped, it cannot widen the window
    // each time a count grows a digit.
    statisticsLabel->setWordWrap(true);
    statusBar()->addPermanentWidget(statisticsLabel, 1);

    connect(ui->actionClearScrollback, &QAction::triggered, ui->txtMessages, &QTextEdit::clear);

    m_session = new MClientSession(this);
    connect(m_session, &MClientSession::tcpStateChanged, this, &DMainWindow::TStateChanged);
    connect(m_session, &MClientSession::udpStateChanged, this, &DMainWindow::UStateChanged);
    connect(m_session, &MClientSession::tcpError, this, &DMainWindow::Terror);
    connect(m_session, &MClientSession::udpError, this, &DMainWindow::Uerror);
    connect(m_session, &MClientSession::packetReceived, this, &DMainWindow::packetReceived);

    addressPublisher = new DAddressPublisher(config.publishingHost, this);
    connect(addressPublisher, &DAddressPublisher::statusLine, this, &DMainWindow::appendText);
    connect(addressPublisher, &DAddressPublisher::addressReceived, this,
        [this](const QHostAddress& address) {
            config.serverTcpAddress = address;
            config.serverUdpAddress = address;
            setUpConnections();
        });
    // A service that fails or stays silent must not leave the window waiting
    // for ever: the configured address is used instead.
    connect(addressPublisher, &DAddressPublisher::addressUnavailable, this,
        &DMainWindow::setUpConnections);
    if (config.publishAddress)
        sendUSetRequest();
    if (config.fetchAddress)
        sendUGetRequest();
    else
        setUpConnections();

    setUpVoice();
    setUpSendVoice();
    DVoiceProcessingMenu::attach(menuBar(), m_playback, m_capture, config.voiceProcessing);

    logAudioDevices();
}

DMainWindow::~DMainWindow()
{
    // Nothing reaches the window's slots from here on: stopping the audio
    // devices below may let packets through, and the voice members go first.
    disconnect(m_session, nullptr, this, nullptr);
    fileSender->setSocket(nullptr);
    // Capture before the session: the encoder's destructor waits on the
    // session's UDP socket. All three before QWidget's destructor deletes the
    // remaining children, when this is no longer a DMainWindow.
    delete m_capture;
    m_capture = nullptr;
    delete m_playback;
    m_playback = nullptr;
    delete m_session;
    m_session = nullptr;
    delete ui;
}

// ---------------------------------------------------------------- session

void DMainWindow::setUpConnections()
{
    if (m_session->isOpen())
        endConnection();
    connecting = true;
    m_session->open(config.serverTcpAddress, config.serverTcpPort, config.serverUdpAddress,
        config.serverUdpPort);
    fileSender->setSocket(m_session->tcpSocket());
}

void DMainWindow::startConnection()
{
    setUpConnections();
}

void DMainWindow::tcpConnectionSucceeded()
{
    config.identity = m_session->identityOrLocalEnd(config.identity);
    fileSender->setSenderName(config.identity);
    queryServerProtocol();
    identifySelf();
}

void DMainWindow::queryServerProtocol()
{
    m_session->queryServerProtocol();
}

void DMainWindow::identifySelf()
{
    m_session->identifySelf(config.identity);
}

void DMainWindow::endConnection()
{
    endVoice();
    endSendVoice();
    fileSender->setSocket(nullptr);

    ui->btnRefreshConnection->setIcon(QIcon(kNetOff));
    connecting = false;
    m_session->end();
}

bool DMainWindow::tcpUsable() const
{
    return m_session->tcpUsable();
}

QMessageBox* DMainWindow::showBox(
    const char* objectName, int icon, const QString& title, const QString& text, bool plainText)
{
    auto* box = new QMessageBox(QMessageBox::Icon(icon), title, text, QMessageBox::Ok, this);
    box->setObjectName(QLatin1String(objectName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (plainText)
        box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return box;
}

void DMainWindow::serverProtocolVerReceived(const QString& version)
{
    if (version == SessionCommand::kProtocolVersion)
        return;
    endConnection();
    showBox(kVersionBoxName, QMessageBox::Critical, QStringLiteral("Connection Error!"),
        QStringLiteral("The version of the server you are trying to connect to is different "
                       "from the version of this client.\nPlease update your client program."),
        true);
}

void DMainWindow::identifyResultReceived(const QString& result)
{
    if (result == SessionCommand::kIdentifyOk)
        return;
    endConnection();
    showBox(kIdentityBoxName, QMessageBox::Critical, QStringLiteral("Connection Error!"),
        QStringLiteral("Identification Failed!\nPlease make sure you have permission and "
                       "credentials to join the current class."),
        true);
}

void DMainWindow::udpRequestReceived(const QString& token)
{
    m_session->answerUdpRequest(token);
}

void DMainWindow::selfExternalUdpAddressPortReceived(
    MAbstractSocket* connection, const QString& addressPort)
{
    Q_UNUSED(connection)
    MTcpSocket* tcp = m_session->tcpSocket();
    if (!tcp)
        return;
    QHostAddress address;
    quint16 port = 0;
    MAbstractSocket::parseAddressPort(addressPort, address, port);
    qDebug().noquote() << "BOUND TO" << MAbstractSocket::addressText(address, port);
    qDebug().noquote() << "TCP PEER" << tcp->PeerIpAndPort() << "TCP LOCAL" << tcp->LocalIpAndPort();
    m_session->answerUdpAddress();
}

void DMainWindow::doYouCopyReceived(MAbstractSocket* connection, const QString& token)
{
    m_session->answerCopyProbe(connection, token);
}

void DMainWindow::connectedReceived()
{
    appendText(statusLine(QStringLiteral("#C00080"), QStringLiteral("Voice Initialized")));
    ui->btnRefreshConnection->setIcon(QIcon(kNetOn));
    requestNumberOfClients();
    ui->lblnetstat->setText(QStringLiteral("Connection OK"));
}

void DMainWindow::requestNumberOfClients()
{
    if (MTcpSocket* tcp = m_session->tcpSocket())
        tcp->ourProtocolSendCommand(SessionCommand::kGetNClients);
}

void DMainWindow::numberOfClientsReceived(int count)
{
    Q_UNUSED(count)
}

void DMainWindow::TStateChanged(QAbstractSocket::SocketState state)
{
    ui->lblnetstat->setText(MAbstractSocket::getStateString(state));
    if (state == QAbstractSocket::ConnectedState) {
        ui->lblnetstat->setText(QStringLiteral("Initializing..."));
        tcpConnectionSucceeded();
        appendText(statusLine(QStringLiteral("green"), QStringLiteral("Server connected.")));
    } else if (state == QAbstractSocket::UnconnectedState) {
        appendText(statusLine(QStringLiteral("green"), QStringLiteral("Server disconnected.")));
    }
}

void DMainWindow::UStateChanged(QAbstractSocket::SocketState state)
{
    Q_UNUSED(state)
}

void DMainWindow::Terror(QAbstractSocket::SocketError error)
{
    const MTcpSocket* tcp = m_session->tcpSocket();
    qDebug().noquote() << "Terror:" << error << (tcp ? tcp->errorString() : QString());
}

void DMainWindow::Uerror(QAbstractSocket::SocketError error)
{
    const MUdpSocket* udp = m_session->udpSocket();
    qDebug().noquote() << "Uerror:" << error << (udp ? udp->errorString() : QString());
}

void DMainWindow::packetReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& payload)
{
    using namespace SessionCommand;

    switch (dataType) {
    case CommandData: {
        const QString command = QString::fromUtf8(payload);
        qDebug().noquote() << QStringLiteral("cmd packetReceived ") + command + QLatin1Char(' ')
                + connection->PeerIpAndPort() + QStringLiteral(" LOCAL ")
                + connection->LocalIpAndPort();
        const auto argument
            = [&command](QLatin1String prefix) { return command.mid(prefix.size()); };

        QString handshakeArgument;
        switch (MClientSession::handshakeStep(command, &handshakeArgument)) {
        case MClientSession::ProtocolVersion:
            serverProtocolVerReceived(handshakeArgument);
            return;
        case MClientSession::IdentifyResult:
            identifyResultReceived(handshakeArgument);
            return;
        case MClientSession::UdpRequest:
            udpRequestReceived(handshakeArgument);
            return;
        case MClientSession::UdpAddress:
            selfExternalUdpAddressPortReceived(connection, handshakeArgument);
            return;
        case MClientSession::CopyProbe:
            doYouCopyReceived(connection, handshakeArgument);
            return;
        case MClientSession::Connected:
            connectedReceived();
            return;
        case MClientSession::NotHandshake:
            break;
        }

        if (command.startsWith(kClientList)) {
            clientListReceived(argument(kClientList));
        } else if (command.startsWith(kXDataId)) {
            fileSender->XDataIDReceived(payload.mid(kXDataId.size()));
        } else if (command.startsWith(kFileX)) {
            fileReceiver->offerReceived(connection->PeerIpAndPort(), payload.mid(kFileX.size()));
        } else if (command.startsWith(kCancelFileX)) {
            fileReceiver->cancelReceived(argument(kCancelFileX).toInt());
        } else if (command.startsWith(kNClients)) {
            numberOfClientsReceived(argument(kNClients).toInt());
        } else if (command.startsWith(kNSpeakingClients)) {
            numberOfSpeakingClientsReceived(argument(kNSpeakingClients).toInt());
        } else if (command == kStartVoice) {
            startVoice();
        } else if (command == kStopVoice) {
            endVoice();
        } else {
            qDebug().noquote() << kUnknownCommand + command;
        }
        break;
    }
    case TextData: {
        QString name;
        QString message;
        MAbstractSocket::decodeTextPacket(payload, name, message);
        if (config.udpTextProbe && connection->socketType() != 1)
            message = QStringLiteral("[Client Confirms UDP] ") + message;
        textDataReceived(name, message);
        break;
    }
    case VoiceData:
        if (!m_playback->isOn())
            startVoice();
        if (voiceAllowed)
            m_playback->voicePacketReceived(payload);
        break;
    case ExtraData:
        fileReceiver->chunkReceived(payload);
        break;
    case UnrecognisedData:
        break;
    }
}

void DMainWindow::on_btnRefreshConnection_clicked()
{
    auto* dialog = new QInputDialog(this);
    dialog->setObjectName(QLatin1String(kAddressDialogName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Server Address"));
    dialog->setLabelText(QStringLiteral("Enter server Address:Port :"));
    dialog->setTextValue(config.serverTcpAddress.toString() + QLatin1Char(':')
        + QString::number(config.serverTcpPort));
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QInputDialog::textValueSelected, this, [this](const QString& text) {
        MAbstractSocket::parseAddressPort(text, config.serverTcpAddress, config.serverTcpPort);
        MAbstractSocket::parseAddressPort(text, config.serverUdpAddress, config.serverUdpPort);
        setUpConnections();
    });
    dialog->open();
}

// ------------------------------------------------------------------ voice

bool DMainWindow::isPlaybackOn() const
{
    return m_playback && m_playback->isOn();
}

bool DMainWindow::isSending() const
{
    return m_capture && m_capture->isSending();
}

QAudioOutput* DMainWindow::audioOutputObject() const
{
    return m_playback ? m_playback->audioOutput() : nullptr;
}

void DMainWindow::setUpVoice()
{
    audioFormat = MM::defaultAudioFormat();
    m_playback = new MVoicePlayback(audioFormat,
        [](QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
            QObject* parent) -> MDecoder* {
            return new MOpusAdvancedDecoder(output, device, format, parent);
        },
        this);
    connect(m_playback, &MVoicePlayback::outputStateChanged, this,
        &DMainWindow::audioOutputStateChanged);
    connect(m_playback, &MVoicePlayback::decoderCreated, this, &DMainWindow::decoderCreated);
    connect(m_playback->audioOutput(), &QObject::destroyed, this, &DMainWindow::aodel);
    ui->lblspstat->setText(QStringLiteral("No Sound"));
}

void DMainWindow::setUpSendVoice()
{
    m_capture = new MVoiceCapture(audioFormat, this);
    connect(m_capture, &MVoiceCapture::encoderCreated, this, [this](MEncoder* encoder) {
        connect(encoder, &MEncoder::statsPropagated, this, &DMainWindow::encoderStatsPropagated);
    });
    ui->lblVoiceStat->setText(QStringLiteral("Voice\nNot Initialized."));
}

void DMainWindow::decoderCreated(MDecoder* decoder)
{
    connect(decoder, &MDecoder::statsPropagated, this, &DMainWindow::decoderStatsPropagated);
    connect(decoder, &QObject::destroyed, this, &DMainWindow::decdel);
}

MEncoder* DMainWindow::createEncoder(
    QAudioInput* input, QIODevice* device, const QAudioFormat& format, QObject* parent) const
{
    MUdpSocket* udp = m_session->udpSocket();
    if (!udp)
        return nullptr;
    return new MOpusEncoder(input, device, format, udp, kEncoderComplexity, kEncoderBitrate,
        kEncoderInbandFec, parent);
}

void DMainWindow::startVoice()
{
    if (m_playback->isOn() || !voiceAllowed)
        return;
    m_playback->start();
    ui->lblspimg->setPixmap(QPixmap(kSpeakerOn));
    ui->lblspstat->setText(QStringLiteral("Sound Started"));
}

void DMainWindow::endVoice()
{
    if (!m_playback->stop())
        return;
    ui->lblspimg->setPixmap(QPixmap(kSpeakerOff));
    ui->lblspstat->setText(QStringLiteral("No Sound"));
}

void DMainWindow::startSendVoice()
{
    if (m_capture->isSending() || !voiceAllowed || !tcpUsable())
        return;
    MTcpSocket* tcp = m_session->tcpSocket();
    tcp->ourProtocolSendCommand(SessionCommand::kStartVoice);
    tcp->ourProtocolSendCommand(SessionCommand::kForSpyStartVoice + config.identity);
    m_capture->start([this](QAudioInput* input, QIODevice* device, const QAudioFormat& format,
                         QObject* parent) { return createEncoder(input, device, format, parent); });
    ui->btnToggleVoice->setIcon(QIcon(kMicOn));
    ui->lblVoiceStat->setText(QStringLiteral("Sending Voice.\nClick to mute."));
}

void DMainWindow::endSendVoice()
{
    if (!m_capture->stop())
        return;
    if (tcpUsable()) {
        MTcpSocket* tcp = m_session->tcpSocket();
        tcp->ourProtocolSendCommand(SessionCommand::kStopVoice);
        tcp->ourProtocolSendCommand(SessionCommand::kForSpyStopVoice + config.identity);
    }
    ui->btnToggleVoice->setIcon(QIcon(kMicOff));
    ui->lblVoiceStat->setText(QStringLiteral("Muted. Click\nto send voice."));
}

void DMainWindow::aodel()
{
    qDebug("AO DEL");
}

void DMainWindow::decdel()
{
    qDebug("DEC DEL");
}

void DMainWindow::numberOfSpeakingClientsReceived(int count)
{
    qDebug() << "SPCL: " << count;
    m_lastSpeakerCount = count;
    const DVoiceRules::SpeakerDecision decision
        = DVoiceRules::decideSpeakerLimit(count, m_capture->isSending(), wasSpeaker);
    wasSpeaker = decision.wasSpeaker;
    if (decision.allowed) {
        voiceAllowed = true;
        ui->btnToggleVoice->setEnabled(true);
        if (autoStartSending)
            startSendVoice();
    } else if (decision.refused) {
        voiceAllowed = false;
        ui->btnToggleVoice->setEnabled(false);
        endVoice();
        endSendVoice();
        ui->lblspimg->setPixmap(QPixmap(kSpeakerOff));
        ui->lblspstat->setText(QStringLiteral("No Sound"));
        appendText(statusLine(QStringLiteral("#8000FF"),
            QStringLiteral("Two clients are already speaking. You can't send or receive voice "
                           "until they are finished.")));
    }
    autoStartSending = false;
}

void DMainWindow::audioOutputStateChanged(QAudio::State state)
{
    // The playback object looks at the output again after an error.
    qDebug() << "audioOutputStateChanged; "
             << "State " << state << " error " << m_playback->audioOutput()->error();
}

void DMainWindow::startAudioOutputIfNotAlreadyStarted()
{
    m_playback->startAudioOutputIfNotAlreadyStarted();
}

void DMainWindow::encoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    encoderCounts = { sFlowPacketCount, sFlowPacketSize, sSuccessfulPackets, sFailedPackets };
    updateStatistics();
}

void DMainWindow::decoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    decoderCounts = { sFlowPacketCount, sFlowPacketSize, sSuccessfulPackets, sFailedPackets };
    updateStatistics();
    fileSender->decoderStatsPropagated(
        sFlowPacketCount, sFlowPacketSize, sSuccessfulPackets, sFailedPackets);
}

void DMainWindow::updateStatistics()
{
    statisticsLabel->setText(DVoiceRules::statisticsText(encoderCounts, decoderCounts));
}

void DMainWindow::on_btnToggleVoice_clicked()
{
    if (m_capture->isSending())
        endSendVoice();
    else
        startSendVoice();
}

void DMainWindow::logAudioDevices() const
{
    const auto describe = [](const char* what, const QAudioDeviceInfo& info) {
        QStringList rates;
        for (int r : info.supportedSampleRates())
            rates << QString::number(r);
        QStringList channels;
        for (int c : info.supportedChannelCounts())
            channels << QString::number(c);
        QStringList sizes;
        for (int s : info.supportedSampleSizes())
            sizes << QString::number(s);
        QStringList types;
        for (QAudioFormat::SampleType t : info.supportedSampleTypes())
            types << QString::number(int(t));
        QStringList orders;
        for (QAudioFormat::Endian e : info.supportedByteOrders())
            orders << QString::number(int(e));
        qDebug().noquote() << what << info.deviceName() << "rates" << rates.join(QLatin1Char(','))
                           << "channels" << channels.join(QLatin1Char(',')) << "sizes"
                           << sizes.join(QLatin1Char(',')) << "types"
                           << types.join(QLatin1Char(',')) << "codecs"
                           << info.supportedCodecs().join(QLatin1Char(',')) << "byte orders"
                           << orders.join(QLatin1Char(','));
    };
    describe("Default output device:", QAudioDeviceInfo::defaultOutputDevice());
    describe("Default input device:", QAudioDeviceInfo::defaultInputDevice());
}

// ------------------------------------------------------------ chat window

void DMainWindow::appendText(const QString& text)
{
    ui->txtMessages->append(text);
}

void DMainWindow::sendTextData()
{
    if (!tcpUsable())
        return;
    const QString text = ui->leTextData->text();
    m_session->tcpSocket()->ourProtocolSendText(config.identity, text);
    if (config.udpTextProbe && m_session->udpSocket())
        m_session->udpSocket()->ourProtocolSendText(
            config.identity, QStringLiteral("[CS-UDP] ") + text);
    ui->leTextData->clear();
}

void DMainWindow::on_btnSend_clicked()
{
    sendTextData();
}

void DMainWindow::textDataReceived(const QString& senderIdName, const QString& message)
{
    appendText(ChatFormat::messageLine(senderIdName, message, config.identity));
}

void DMainWindow::on_txtMessages_customContextMenuRequested(const QPoint& pos)
{
    auto* menu = new QMenu(QStringLiteral("Item Menu"), this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(ui->actionClearScrollback);
    menu->popup(ui->txtMessages->viewport()->mapToGlobal(pos));
}

void DMainWindow::clientListReceived(const QString& list)
{
    const int row = ui->lwClients->currentRow();
    ui->lwClients->clear();
    if (list.isEmpty())
        return;

    const QStringList entries = list.split(SessionCommand::kListSeparator, Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        const QStringList fields = entry.split(SessionCommand::kFieldSeparator, Qt::SkipEmptyParts);
        // An entry needs its two connection texts and a name; a shorter one
        // cannot be shown or looked up and is left out.
        if (fields.size() < 3) {
            qDebug().noquote() << "Client list entry without three fields ignored:" << entry;
            continue;
        }
        auto* item = new QListWidgetItem(fields.at(2), ui->lwClients);
        item->setData(Qt::UserRole, QString(fields.at(0) + QLatin1Char('#') + fields.at(1)));
    }

    if (row >= 0 && row < ui->lwClients->count())
        ui->lwClients->setCurrentRow(row);
}

void DMainWindow::on_lwClients_itemActivated(QListWidgetItem* item)
{
    if (!item)
        return;
    const QStringList parts = item->data(Qt::UserRole).toString().split(QLatin1Char('#'));
    // Plain text: the name is whatever the client chose.
    showBox(kPeerInfoBoxName, QMessageBox::Information, QStringLiteral("Peer Information"),
        QStringLiteral("Peer: %1\nTCP Connection: %2\nUDP Connection: %3")
            .arg(item->text(), parts.value(0), parts.value(1)),
        true);
}

void DMainWindow::selectFileInExplorer(const QString& filePath)
{
    if (DFileBrowser::showFile(filePath))
        return;
#if defined(Q_OS_WIN)
    showBox(kBrowserBoxName, QMessageBox::Warning,
        QStringLiteral("Launching Windows Explorer failed"),
        QStringLiteral("Could not find explorer.exe in path to launch Windows Explorer."), true);
#else
    showBox(kBrowserBoxName, QMessageBox::Warning, QStringLiteral("Launching file browser failed"),
        QStringLiteral("Could not open the folder of \"%1\" in a file browser.").arg(filePath),
        true);
#endif
}

void DMainWindow::hideFileTransfers(bool force)
{
    if (ui->grpFileTransfers->isHidden() && !force)
        return;
    ui->grpFileTransfers->hide();
    if (isMaximized())
        return;
    setFixedSize(width(), height() - ui->grpFileTransfers->height());
    setMinimumSize(centralWidget()->minimumSize());
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

void DMainWindow::hideFileTransfers()
{
    hideFileTransfers(false);
}

void DMainWindow::showFileTransfers()
{
    if (!ui->grpFileTransfers->isHidden())
        return;
    if (!isMaximized()) {
        setFixedSize(width(), height() + ui->grpFileTransfers->height() + 2);
        setMinimumSize(centralWidget()->minimumSize());
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    ui->grpFileTransfers->show();
}

void DMainWindow::closeEvent(QCloseEvent* event)
{
    endConnection();
    QMainWindow::closeEvent(event);
}

// ---------------------------------------------------------- file transfer

void DMainWindow::removeTransfer(bool completed, int index)
{
    fileReceiver->removeTransfer(completed, index);
}

void DMainWindow::on_lwFileTransfers_customContextMenuRequested(const QPoint& pos)
{
    fileReceiver->contextMenuRequested(pos);
}

void DMainWindow::on_lwFileTransfers_itemActivated(QListWidgetItem* item)
{
    fileReceiver->itemActivated(item);
}

// ---------------------------------------------------- address publishing

void DMainWindow::sendUSetRequest()
{
    addressPublisher->sendUSetRequest();
}

void DMainWindow::sendUGetRequest()
{
    addressPublisher->sendUGetRequest();
}
