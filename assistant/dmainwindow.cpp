#include "dmainwindow.h"
#include "ui_dmainwindow.h"

#include "chatformat.h"
#include "daudiodevices.h"
#include "daddresspublisher.h"
#include "dclientrows.h"
#include "dfilereceiver.h"
#include "dfilesender.h"
#include "dsessionlink.h"
#include "dtransferpanel.h"
#include "dvoiceprocessingmenu.h"
#include "mdecoder.h"
#include "mclientsession.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "mvoiceplayback.h"

#include <QAudioOutput>
#include <QCloseEvent>
#include <QMenu>

#include "assistantlog.h"

// The resources live in this static library; a program linking it must still
// register them, which the window does on its first construction.
static void initPodiumResources()
{
    Q_INIT_RESOURCE(podium);
}

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

    m_transfers = new DTransferPanel(
        { this, ui->grpFileTransfers, ui->btnSendFile, ui->prgSendFile, ui->btnCancelSendFile,
            ui->lwFileTransfers,
            { ui->action_Open, ui->action_Open_Folder, ui->action_Remove_From_List,
                ui->action_Clean_List, ui->action_Cancel } },
        config.identity, kBrowserBoxName, this);
    connect(m_transfers, &DTransferPanel::statusLine, this, &DMainWindow::appendText);
    fileSender = m_transfers->sender();
    fileReceiver = m_transfers->receiver();

    setWindowTitle(config.windowTitle);
    ui->lblnetstat->setText(QStringLiteral("Network Disconnected"));

    connect(ui->actionClearScrollback, &QAction::triggered, ui->txtMessages, &QTextEdit::clear);

    m_session = new MClientSession(this);
    m_link = new DSessionLink(
        m_session, config, { this, ui->btnRefreshConnection, ui->lblnetstat, ui->lwClients }, this);
    connect(m_link, &DSessionLink::statusLine, this, &DMainWindow::appendText);
    connect(m_link, &DSessionLink::tcpConnected, this, &DMainWindow::tcpConnectionSucceeded);
    connect(m_link, &DSessionLink::endRequested, this, &DMainWindow::endConnection);
    connect(m_link, &DSessionLink::addressEntered, this, &DMainWindow::setUpConnections);
    connect(m_link, &DSessionLink::textReceived, this, &DMainWindow::textDataReceived);
    connect(m_session, &MClientSession::tcpStateChanged, this, &DMainWindow::TStateChanged);
    connect(m_session, &MClientSession::udpStateChanged, this, &DMainWindow::UStateChanged);
    connect(m_session, &MClientSession::tcpError, this, &DMainWindow::Terror);
    connect(m_session, &MClientSession::udpError, this, &DMainWindow::Uerror);
    connect(m_session, &MClientSession::packetReceived, this, &DMainWindow::packetReceived);

    addressPublisher = new DAddressPublisher(config.publishingHost, this);
    connect(addressPublisher, &DAddressPublisher::statusLine, this, &DMainWindow::appendText);
    connect(addressPublisher, &DAddressPublisher::serverAddressChosen, this,
        [this](const QHostAddress& address) {
            if (!address.isNull())
                config.serverTcpAddress = config.serverUdpAddress = address;
            setUpConnections();
        });
    addressPublisher->start(config.publishAddress, config.fetchAddress);

    setUpVoice();
    setUpSendVoice();
    m_link->setHandlers({ fileSender, fileReceiver, m_voice });
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
    m_link->openSession();
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
    m_link->queryServerProtocol();
}

void DMainWindow::identifySelf()
{
    m_link->identifySelf();
}

void DMainWindow::endConnection()
{
    endVoice();
    endSendVoice();
    fileSender->setSocket(nullptr);
    connecting = false;
    m_link->closeSession();
}

void DMainWindow::serverProtocolVerReceived(const QString& version)
{
    m_link->versionReceived(version);
}

void DMainWindow::identifyResultReceived(const QString& result)
{
    m_link->identifyResultReceived(result);
}

void DMainWindow::udpRequestReceived(const QString& token)
{
    m_link->udpRequestReceived(token);
}

void DMainWindow::selfExternalUdpAddressPortReceived(
    MAbstractSocket* connection, const QString& addressPort)
{
    Q_UNUSED(connection)
    m_link->udpAddressReceived(addressPort);
}

void DMainWindow::doYouCopyReceived(MAbstractSocket* connection, const QString& token)
{
    m_link->copyProbeReceived(connection, token);
}

void DMainWindow::connectedReceived()
{
    m_link->connectedReceived();
}

void DMainWindow::requestNumberOfClients()
{
    m_link->requestNumberOfClients();
}

void DMainWindow::numberOfClientsReceived(int count)
{
    Q_UNUSED(count)
}

void DMainWindow::TStateChanged(QAbstractSocket::SocketState state)
{
    m_link->tcpStateChanged(state);
}

void DMainWindow::UStateChanged(QAbstractSocket::SocketState state)
{
    Q_UNUSED(state)
}

void DMainWindow::Terror(QAbstractSocket::SocketError error)
{
    m_link->tcpError(error);
}

void DMainWindow::Uerror(QAbstractSocket::SocketError error)
{
    m_link->udpError(error);
}

void DMainWindow::packetReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& payload)
{
    m_link->packetReceived(connection, dataType, payload);
}

void DMainWindow::on_btnRefreshConnection_clicked()
{
    m_link->askServerAddress();
}

// ------------------------------------------------------------------ voice

void DMainWindow::setUpVoice()
{
    m_voice = new DVoiceControl({ ui->btnToggleVoice, ui->lblVoiceStat, ui->lblspimg, ui->lblspstat,
                                    DVoiceControl::addStatisticsLine(statusBar()) },
        m_session, this);
    m_voice->setIdentity(config.identity);
    connect(m_voice, &DVoiceControl::statusLine, this, &DMainWindow::appendText);
    connect(m_voice, &DVoiceControl::decoderStatsPropagated, this,
        &DMainWindow::decoderStatsPropagated);
    MVoicePlayback* voicePlayback = m_voice->playback();
    connect(voicePlayback, &MVoicePlayback::outputStateChanged, this,
        &DMainWindow::audioOutputStateChanged);
    connect(voicePlayback, &MVoicePlayback::decoderCreated, this, [this](MDecoder* decoder) {
        connect(decoder, &QObject::destroyed, this, &DMainWindow::decdel);
    });
    connect(voicePlayback->audioOutput(), &QObject::destroyed, this, &DMainWindow::aodel);
}

void DMainWindow::setUpSendVoice()
{
    connect(m_voice, &DVoiceControl::encoderStatsPropagated, this,
        &DMainWindow::encoderStatsPropagated);
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
    if (!m_session->tcpUsable())
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

void DMainWindow::on_lwClients_itemActivated(QListWidgetItem* item)
{
    DClientRows::showPeer(this, kPeerInfoBoxName, item);
}

void DMainWindow::selectFileInExplorer(const QString& filePath)
{
    m_transfers->selectInBrowser(filePath);
}

void DMainWindow::hideFileTransfers(bool force)
{
    m_transfers->hide(force);
}

void DMainWindow::hideFileTransfers()
{
    hideFileTransfers(false);
}

void DMainWindow::showFileTransfers()
{
    m_transfers->show();
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
