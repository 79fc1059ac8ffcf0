#include "dmainwindow.h"
#include "ui_dmainwindow.h"

#include "assistantcommand.h"
#include "chatformat.h"
#include "clientlist.h"
#include "daudiodevices.h"
#include "daddresspublisher.h"
#include "dfilebrowser.h"
#include "dfilereceiver.h"
#include "dfilesender.h"
#include "dmessagebox.h"
#include "dvoicecontrol.h"
#include "dvoiceprocessingmenu.h"
#include "mdecoder.h"
#include "mclientsession.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "mvoiceplayback.h"
#include "sessioncommands.h"

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
#include <QStringList>
#include <QUrl>

#include "assistantlog.h"

// The resources live in this static library; a program linking it must still
// register them, which the window does on its first construction.
static void initPodiumResources()
{
    Q_INIT_RESOURCE(podium);
}

namespace {

const QString kNetOn = QStringLiteral(":/img/net-on.png");
const QString kNetOff = QStringLiteral(":/img/net-off.png");

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
    // The chat gets most of the width; names are short.
    ui->splitter->setStretchFactor(0, 3);
    ui->splitter->setStretchFactor(1, 1);

    if (config.windowX != -1 && config.windowY != -1)
        move(config.windowX, config.windowY);

    ui->grpFileTransfers->setFixedHeight(100);
    hideFileTransfers(true);

    setWindowTitle(config.windowTitle);
    ui->lblnetstat->setText(QStringLiteral("Network Disconnected"));

    fileSender = new DFileSender(ui->btnSendFile, ui->prgSendFile, ui->btnCancelSendFile, nullptr,
        config.identity, this, this);
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
    DVoiceProcessingMenu::attach(
        menuBar(), m_voice->playback(), m_voice->capture(), config.voiceProcessing);

    DAudioDevices::logDefaults();
}

DMainWindow::~DMainWindow()
{
    // Nothing reaches the window's slots from here on: stopping the audio
    // devices below may let packets through, and the voice members go first.
    disconnect(m_session, nullptr, this, nullptr);
    fileSender->setSocket(nullptr);
    // Voice before the session: the encoder's destructor waits on the
    // session's UDP socket. Both before QWidget's destructor deletes the
    // remaining children, when this is no longer a DMainWindow.
    delete m_voice;
    m_voice = nullptr;
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
    m_voice->setIdentity(config.identity);
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

void DMainWindow::serverProtocolVerReceived(const QString& version)
{
    if (version == SessionCommand::kProtocolVersion)
        return;
    endConnection();
    DMessageBox::open(this, kVersionBoxName, QMessageBox::Critical,
        QStringLiteral("Connection Error!"),
        QStringLiteral("The version of the server you are trying to connect to is different "
                       "from the version of this client.\nPlease update your client program."),
        QMessageBox::Ok, Qt::PlainText);
}

void DMainWindow::identifyResultReceived(const QString& result)
{
    if (result == SessionCommand::kIdentifyOk)
        return;
    endConnection();
    DMessageBox::open(this, kIdentityBoxName, QMessageBox::Critical,
        QStringLiteral("Connection Error!"),
        QStringLiteral("Identification Failed!\nPlease make sure you have permission and "
                       "credentials to join the current class."),
        QMessageBox::Ok, Qt::PlainText);
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
    qCDebug(lcAssistant).noquote() << "BOUND TO" << MAbstractSocket::addressText(address, port);
    qCDebug(lcAssistant).noquote()
        << "TCP PEER" << tcp->PeerIpAndPort() << "TCP LOCAL" << tcp->LocalIpAndPort();
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
    qCDebug(lcAssistant).noquote() << "Terror:" << error << (tcp ? tcp->errorString() : QString());
}

void DMainWindow::Uerror(QAbstractSocket::SocketError error)
{
    const MUdpSocket* udp = m_session->udpSocket();
    qCDebug(lcAssistant).noquote() << "Uerror:" << error << (udp ? udp->errorString() : QString());
}

void DMainWindow::dispatchCommand(
    MAbstractSocket* connection, const QString& command, const QByteArray& payload)
{
    const AssistantCommand::Parsed parsed = AssistantCommand::parse(command);
    switch (parsed.kind) {
    case AssistantCommand::ProtocolVersion:
        serverProtocolVerReceived(parsed.rest);
        break;
    case AssistantCommand::IdentifyResult:
        identifyResultReceived(parsed.rest);
        break;
    case AssistantCommand::UdpRequest:
        udpRequestReceived(parsed.rest);
        break;
    case AssistantCommand::YourUdpIpPort:
        selfExternalUdpAddressPortReceived(connection, parsed.rest);
        break;
    case AssistantCommand::DoYouCopy:
        doYouCopyReceived(connection, parsed.rest);
        break;
    case AssistantCommand::Connected:
        connectedReceived();
        break;
    case AssistantCommand::ClientList:
        clientListReceived(parsed.rest);
        break;
    case AssistantCommand::XDataId:
        fileSender->XDataIDReceived(payload.mid(parsed.keywordSize));
        break;
    case AssistantCommand::FileOffer:
        fileReceiver->offerReceived(connection->PeerIpAndPort(), payload.mid(parsed.keywordSize));
        break;
    case AssistantCommand::FileCancel:
        fileReceiver->cancelReceived(parsed.rest.toInt());
        break;
    case AssistantCommand::ClientCount:
        numberOfClientsReceived(parsed.rest.toInt());
        break;
    case AssistantCommand::SpeakerCount:
        numberOfSpeakingClientsReceived(parsed.rest.toInt());
        break;
    case AssistantCommand::StartVoice:
        startVoice();
        break;
    case AssistantCommand::StopVoice:
        endVoice();
        break;
    case AssistantCommand::Unknown:
        qCDebug(lcAssistant).noquote() << SessionCommand::kUnknownCommand + command;
        break;
    }
}

void DMainWindow::packetReceived(
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
        if (config.udpTextProbe && connection->socketType() != 1)
            message = QStringLiteral("[Client Confirms UDP] ") + message;
        textDataReceived(name, message);
        break;
    }
    case VoiceData:
        m_voice->voicePacketReceived(payload);
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
    return m_voice && m_voice->isPlaybackOn();
}

bool DMainWindow::isSending() const
{
    return m_voice && m_voice->isSending();
}

bool DMainWindow::isVoiceAllowed() const
{
    return m_voice->isVoiceAllowed();
}

bool DMainWindow::hasBeenSpeaker() const
{
    return m_voice->hasBeenSpeaker();
}

int DMainWindow::lastSpeakerCount() const
{
    return m_voice->lastSpeakerCount();
}

MVoicePlayback* DMainWindow::playback() const
{
    return m_voice ? m_voice->playback() : nullptr;
}

MVoiceCapture* DMainWindow::capture() const
{
    return m_voice ? m_voice->capture() : nullptr;
}

QAudioOutput* DMainWindow::audioOutputObject() const
{
    return m_voice ? m_voice->playback()->audioOutput() : nullptr;
}

void DMainWindow::setUpVoice()
{
    m_voice = new DVoiceControl(
        { ui->btnToggleVoice, ui->lblVoiceStat, ui->lblspimg, ui->lblspstat, statisticsLabel },
        m_session, this);
    m_voice->setIdentity(config.identity);
    connect(m_voice, &DVoiceControl::statusLine, this, &DMainWindow::appendText);
    MVoicePlayback* voicePlayback = m_voice->playback();
    connect(voicePlayback, &MVoicePlayback::outputStateChanged, this,
        &DMainWindow::audioOutputStateChanged);
    connect(voicePlayback, &MVoicePlayback::decoderCreated, this, &DMainWindow::decoderCreated);
    connect(voicePlayback->audioOutput(), &QObject::destroyed, this, &DMainWindow::aodel);
}

void DMainWindow::setUpSendVoice()
{
    connect(m_voice, &DVoiceControl::encoderStatsPropagated, this,
        &DMainWindow::encoderStatsPropagated);
}

void DMainWindow::decoderCreated(MDecoder* decoder)
{
    connect(decoder, &MDecoder::statsPropagated, this, &DMainWindow::decoderStatsPropagated);
    connect(decoder, &QObject::destroyed, this, &DMainWindow::decdel);
}

void DMainWindow::startVoice()
{
    m_voice->startPlayback();
}

void DMainWindow::endVoice()
{
    m_voice->stopPlayback();
}

void DMainWindow::startSendVoice()
{
    m_voice->startSending();
}

void DMainWindow::endSendVoice()
{
    m_voice->stopSending();
}

void DMainWindow::aodel()
{
    qCDebug(lcAssistant, "AO DEL");
}

void DMainWindow::decdel()
{
    qCDebug(lcAssistant, "DEC DEL");
}

void DMainWindow::numberOfSpeakingClientsReceived(int count)
{
    m_voice->speakerCountReceived(count);
}

void DMainWindow::audioOutputStateChanged(QAudio::State state)
{
    // The playback object looks at the output again after an error.
    qCDebug(lcAssistant) << "audioOutputStateChanged; "
                         << "State " << state << " error " << audioOutputObject()->error();
}

void DMainWindow::startAudioOutputIfNotAlreadyStarted()
{
    m_voice->playback()->startAudioOutputIfNotAlreadyStarted();
}

void DMainWindow::encoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    m_voice->showEncoderCounts(
        { sFlowPacketCount, sFlowPacketSize, sSuccessfulPackets, sFailedPackets });
}

void DMainWindow::decoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    m_voice->showDecoderCounts(
        { sFlowPacketCount, sFlowPacketSize, sSuccessfulPackets, sFailedPackets });
    fileSender->decoderStatsPropagated(
        sFlowPacketCount, sFlowPacketSize, sSuccessfulPackets, sFailedPackets);
}

void DMainWindow::on_btnToggleVoice_clicked()
{
    m_voice->toggleSending();
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

    // An entry needs its two connection texts and a name; a shorter one
    // cannot be shown or looked up and is left out.
    QStringList rejected;
    const QVector<ClientList::Entry> entries = ClientList::parse(list, &rejected);
    for (const QString& entry : qAsConst(rejected))
        qCDebug(lcAssistant).noquote()
            << "Client list entry without three fields ignored:" << entry;
    for (const ClientList::Entry& entry : entries) {
        auto* item = new QListWidgetItem(entry.name, ui->lwClients);
        item->setData(Qt::UserRole, QString(entry.tcpEnd + QLatin1Char('#') + entry.udpEnd));
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
    DMessageBox::open(this, kPeerInfoBoxName, QMessageBox::Information,
        QStringLiteral("Peer Information"),
        QStringLiteral("Peer: %1\nTCP Connection: %2\nUDP Connection: %3")
            .arg(item->text(), parts.value(0), parts.value(1)),
        QMessageBox::Ok, Qt::PlainText);
}

void DMainWindow::selectFileInExplorer(const QString& filePath)
{
    if (DFileBrowser::showFile(filePath))
        return;
#if defined(Q_OS_WIN)
    DMessageBox::open(this, kBrowserBoxName, QMessageBox::Warning,
        QStringLiteral("Launching Windows Explorer failed"),
        QStringLiteral("Could not find explorer.exe in path to launch Windows Explorer."),
        QMessageBox::Ok, Qt::PlainText);
#else
    DMessageBox::open(this, kBrowserBoxName, QMessageBox::Warning,
        QStringLiteral("Launching file browser failed"),
        QStringLiteral("Could not open the folder of \"%1\" in a file browser.").arg(filePath),
        QMessageBox::Ok, Qt::PlainText);
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
