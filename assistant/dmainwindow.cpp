#include "dmainwindow.h"
#include "ui_dmainwindow.h"

#include "mcapturegate.h"
#include "dfilebrowser.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mopusencoder.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "sessioncommands.h"

#include <QAudioDeviceInfo>
#include <QAudioInput>
#include <QAudioOutput>
#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QListWidgetItem>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QStringList>
#include <QTimer>

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

// Sender names with a role of their own in the chat area.
const QString kTeacherName = QStringLiteral("|Teacher|");
const QString kServerName = QStringLiteral("|Server|");

// Encoder settings of the assistant's outgoing voice.
constexpr int kEncoderComplexity = 10;
constexpr int kEncoderBitrate = 28000;
constexpr bool kEncoderInbandFec = false;

// An audio output error is looked at again after this long.
constexpr int kAudioRestartDelayMs = 2000;
constexpr int kFarewellWriteTimeoutMs = 30000;
constexpr int kUdpReadyTimeoutMs = 30000;

QString statusLine(const QString& colour, const QString& text)
{
    return QStringLiteral("<span style='color: ") + colour + QStringLiteral(";'><b>") + text
        + QStringLiteral("</b></span>\r\n");
}

QString percentText(int successful, int failed)
{
    // 0 of 0 prints as the formatting gives it ("nan"), as the label always did.
    return QString::number(100.0 * successful / double(successful + failed), 'f', 2);
}

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

    // File sending is not part of this build yet: its controls keep their
    // places, idle and disabled.
    ui->btnSendFile->setEnabled(false);
    ui->prgSendFile->hide();
    ui->btnCancelSendFile->hide();

    statisticsLabel = new QLabel(this);
    statisticsLabel->setObjectName(QStringLiteral("lblStatistics"));
    // The line is wider than the window: wrapped, it cannot widen the window
    // each time a count grows a digit.
    statisticsLabel->setWordWrap(true);
    statusBar()->addPermanentWidget(statisticsLabel, 1);

    connect(ui->actionClearScrollback, &QAction::triggered, ui->txtMessages, &QTextEdit::clear);

    // Publishing and fetching the server's address come later; until then a
    // configuration that asks for them connects to the configured address.
    if (config.publishAddress || config.fetchAddress)
        qDebug("Address publishing is not available; using the configured server address.");
    setUpConnections();

    setUpVoice();
    setUpSendVoice();

    logAudioDevices();
}

DMainWindow::~DMainWindow()
{
    // Codec objects first: the encoder waits on the UDP socket and the
    // decoder follows the audio output, older children that QWidget's
    // destructor would delete before them.
    const QList<MEncoder*> encoders
        = findChildren<MEncoder*>(QString(), Qt::FindDirectChildrenOnly);
    for (MEncoder* e : encoders)
        delete e;
    const QList<MDecoder*> decoders
        = findChildren<MDecoder*>(QString(), Qt::FindDirectChildrenOnly);
    for (MDecoder* d : decoders)
        delete d;
    // Children still signal while QWidget's destructor deletes them, when
    // this is no longer a DMainWindow: devices and sockets go now.
    delete audioInput;
    delete audioOutput;
    for (QAbstractSocket* socket :
        { static_cast<QAbstractSocket*>(tcpSocket), static_cast<QAbstractSocket*>(udpSocket) }) {
        if (socket) {
            disconnect(socket, nullptr, this, nullptr);
            delete socket;
        }
    }
    delete ui;
}

// ---------------------------------------------------------------- session

void DMainWindow::setUpConnections()
{
    if (socketsSetUp)
        endConnection();

    connecting = true;

    tcpSocket = new MTcpSocket(this);
    connect(tcpSocket, &QAbstractSocket::stateChanged, this, &DMainWindow::TStateChanged);
    connect(tcpSocket, &MTcpSocket::packetReceived, this, &DMainWindow::packetReceived);
    connect(tcpSocket, &QAbstractSocket::errorOccurred, this, &DMainWindow::Terror);

    udpSocket = new MUdpSocket(this);
    connect(udpSocket, &QAbstractSocket::stateChanged, this, &DMainWindow::UStateChanged);
    connect(udpSocket, &MUdpSocket::packetReceived, this, &DMainWindow::packetReceived);
    connect(udpSocket, &QAbstractSocket::errorOccurred, this, &DMainWindow::Uerror);

    tcpSocket->connectToHost(config.serverTcpAddress, config.serverTcpPort);
    udpSocket->connectToHost(config.serverUdpAddress, config.serverUdpPort);

    socketsSetUp = true;
}

void DMainWindow::startConnection()
{
    setUpConnections();
}

void DMainWindow::tcpConnectionSucceeded()
{
    if (config.identity.isEmpty())
        config.identity = tcpSocket->LocalIpAndPort();
    queryServerProtocol();
    identifySelf();
}

void DMainWindow::queryServerProtocol()
{
    if (tcpSocket)
        tcpSocket->ourProtocolSendCommand(SessionCommand::kGetProtocol);
}

void DMainWindow::identifySelf()
{
    if (tcpSocket)
        tcpSocket->ourProtocolSendCommand(SessionCommand::kIdentify + config.identity);
}

void DMainWindow::endConnection()
{
    endVoice();
    endSendVoice();

    ui->btnRefreshConnection->setIcon(QIcon(kNetOff));
    connecting = false;

    if (socketsSetUp) {
        if (tcpSocket->usable()) {
            qDebug("===endConnection===");
            tcpSocket->ourProtocolSendCommand(SessionCommand::kClientExit);
            tcpSocket->waitForBytesWritten(kFarewellWriteTimeoutMs);
        }
        tcpSocket->close();
        // The socket may be delivering the very packet that ended the
        // session: cut it off and let the event loop delete it.
        disconnect(tcpSocket, nullptr, this, nullptr);
        tcpSocket->deleteLater();
        tcpSocket = nullptr;

        udpSocket->close();
        disconnect(udpSocket, nullptr, this, nullptr);
        udpSocket->deleteLater();
        udpSocket = nullptr;
    }
    socketsSetUp = false;
}

bool DMainWindow::tcpUsable() const
{
    return socketsSetUp && tcpSocket && tcpSocket->usable();
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
    if (!udpSocket)
        return;
    if (udpSocket->state() != QAbstractSocket::ConnectedState)
        udpSocket->waitForConnected(kUdpReadyTimeoutMs);
    udpSocket->ourProtocolSendCommand(SessionCommand::kUdpResponse + token);
}

void DMainWindow::selfExternalUdpAddressPortReceived(
    MAbstractSocket* connection, const QString& addressPort)
{
    Q_UNUSED(connection)
    if (!tcpSocket)
        return;
    QHostAddress address;
    quint16 port = 0;
    MAbstractSocket::parseAddressPort(addressPort, address, port);
    qDebug().noquote() << "BOUND TO" << MAbstractSocket::addressText(address, port);
    qDebug().noquote() << "TCP PEER" << tcpSocket->PeerIpAndPort() << "TCP LOCAL"
                       << tcpSocket->LocalIpAndPort();
    tcpSocket->ourProtocolSendCommand(SessionCommand::kUdpIpPortBound);
}

void DMainWindow::doYouCopyReceived(MAbstractSocket* connection, const QString& token)
{
    if (!udpSocket)
        return;
    udpSocket->setPeerHostAndPort(connection->peerAddress(), connection->peerPort());
    udpSocket->ourProtocolSendCommand(SessionCommand::kIDoCopy + token);
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
    if (tcpSocket)
        tcpSocket->ourProtocolSendCommand(SessionCommand::kGetNClients);
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
    qDebug().noquote() << "Terror:" << error << (tcpSocket ? tcpSocket->errorString() : QString());
}

void DMainWindow::Uerror(QAbstractSocket::SocketError error)
{
    qDebug().noquote() << "Uerror:" << error << (udpSocket ? udpSocket->errorString() : QString());
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

        if (command.startsWith(kProtocolVer)) {
            serverProtocolVerReceived(argument(kProtocolVer));
        } else if (command.startsWith(kIdentifyReply)) {
            identifyResultReceived(argument(kIdentifyReply));
        } else if (command.startsWith(kUdpRequest)) {
            udpRequestReceived(argument(kUdpRequest));
        } else if (command.startsWith(kYourUdpIpPort)) {
            selfExternalUdpAddressPortReceived(connection, argument(kYourUdpIpPort));
        } else if (command.startsWith(kDoYouCopy)) {
            doYouCopyReceived(connection, argument(kDoYouCopy));
        } else if (command.startsWith(kConnected)) {
            connectedReceived();
        } else if (command.startsWith(kClientList)) {
            clientListReceived(argument(kClientList));
        } else if (command.startsWith(kXDataId) || command.startsWith(kFileX)
            || command.startsWith(kCancelFileX)) {
            // File transfer is not part of this build: offers, identities and
            // cancels are recognised and left alone.
            qDebug().noquote() << "File transfer command ignored:" << command;
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
        if (!playbackOn)
            startVoice();
        // A voice packet starts with its 4-byte sequence number; anything
        // shorter carries nothing to play.
        if (voiceAllowed && decoder && payload.size() >= 4)
            decoder->voicePacketReceived(payload);
        break;
    case ExtraData:
        // File chunks: not part of this build.
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

void DMainWindow::setUpVoice()
{
    audioFormat = MM::defaultAudioFormat();
    audioOutput = new QAudioOutput(MM::deviceAudioFormat(audioFormat), this);
    connect(audioOutput, &QAudioOutput::stateChanged, this, &DMainWindow::audioOutputStateChanged);
    connect(audioOutput, &QObject::destroyed, this, &DMainWindow::aodel);
    ui->lblspstat->setText(QStringLiteral("No Sound"));
}

void DMainWindow::setUpSendVoice()
{
    audioInput = new QAudioInput(MM::deviceAudioFormat(audioFormat), this);
    ui->lblVoiceStat->setText(QStringLiteral("Voice\nNot Initialized."));
}

void DMainWindow::startVoice()
{
    if (playbackOn || !voiceAllowed)
        return;
    playbackOn = true;
    outputDevice = audioOutput->start();
    initializeDecoder();
    ui->lblspimg->setPixmap(QPixmap(kSpeakerOn));
    ui->lblspstat->setText(QStringLiteral("Sound Started"));
}

void DMainWindow::endVoice()
{
    if (!playbackOn)
        return;
    playbackOn = false;
    deleteDecoder();
    audioOutput->stop();
    outputDevice = nullptr;
    ui->lblspimg->setPixmap(QPixmap(kSpeakerOff));
    ui->lblspstat->setText(QStringLiteral("No Sound"));
}

void DMainWindow::initializeDecoder()
{
    if (!outputDevice) {
        qWarning("The audio output could not be started; no voice will be played.");
        return;
    }
    decoder = new MOpusAdvancedDecoder(audioOutput, outputDevice, audioFormat, this);
    connect(decoder, &MDecoder::statsPropagated, this, &DMainWindow::decoderStatsPropagated);
    connect(decoder, &QObject::destroyed, this, &DMainWindow::decdel);
}

void DMainWindow::deleteDecoder()
{
    if (!decoder)
        return;
    // Deleted at once, not deferred: the decoder follows the audio output's
    // state and would write into the output's old device after a stop and
    // restart. It is never on the call stack here (endVoice runs from socket
    // packets, timers and the user).
    disconnect(decoder, &MDecoder::statsPropagated, this, &DMainWindow::decoderStatsPropagated);
    delete decoder;
    decoder = nullptr;
}

void DMainWindow::startSendVoice()
{
    if (sending || !voiceAllowed || !tcpUsable())
        return;
    tcpSocket->ourProtocolSendCommand(SessionCommand::kStartVoice);
    tcpSocket->ourProtocolSendCommand(SessionCommand::kForSpyStartVoice + config.identity);
    sending = true;
    inputDevice = audioInput->start();
    initializeEncoder();
    ui->btnToggleVoice->setIcon(QIcon(kMicOn));
    ui->lblVoiceStat->setText(QStringLiteral("Sending Voice.\nClick to mute."));
}

void DMainWindow::endSendVoice()
{
    if (!sending)
        return;
    sending = false;
    audioInput->stop();
    inputDevice = nullptr;
    deleteEncoder();
    if (tcpUsable()) {
        tcpSocket->ourProtocolSendCommand(SessionCommand::kStopVoice);
        tcpSocket->ourProtocolSendCommand(SessionCommand::kForSpyStopVoice + config.identity);
    }
    ui->btnToggleVoice->setIcon(QIcon(kMicOff));
    ui->lblVoiceStat->setText(QStringLiteral("Muted. Click\nto send voice."));
}

void DMainWindow::initializeEncoder()
{
    if (!inputDevice || !udpSocket) {
        qWarning("The microphone could not be started; no voice will be sent.");
        return;
    }
    // The gate keeps at most kCaptureBacklogMs of audio (and never less than
    // two capture periods) between the microphone and the encoder.
    const int period = audioInput->periodSize();
    const int backlog = qMax(audioFormat.bytesForDuration(kCaptureBacklogMs * 1000), 2 * period);
    captureGate = new MCaptureGate(inputDevice, backlog, audioFormat.bytesPerFrame(), this);
    encoder = new MOpusEncoder(audioInput, captureGate, audioFormat, udpSocket, kEncoderComplexity,
        kEncoderBitrate, kEncoderInbandFec, this);
    captureGate->setReadChunk(encoder->periodBytes());
    connect(encoder, &MEncoder::statsPropagated, this, &DMainWindow::encoderStatsPropagated);
}

void DMainWindow::deleteEncoder()
{
    // Deleted at once like the decoder: the encoder's destructor waits on the
    // UDP socket, which must still be open, and neither object is ever on the
    // call stack when sending stops.
    delete encoder;
    encoder = nullptr;
    delete captureGate;
    captureGate = nullptr;
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
    if (sending && count <= 2)
        wasSpeaker = true;

    const bool allowed = (sending && count <= 2) || (!sending && count <= 1);
    if (allowed) {
        voiceAllowed = true;
        ui->btnToggleVoice->setEnabled(true);
        if (autoStartSending)
            startSendVoice();
    } else if (!wasSpeaker) {
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
    qDebug() << "audioOutputStateChanged; "
             << "State " << state << " error " << audioOutput->error();
    if (audioOutput->error() != QAudio::NoError)
        QTimer::singleShot(
            kAudioRestartDelayMs, this, &DMainWindow::startAudioOutputIfNotAlreadyStarted);
}

void DMainWindow::startAudioOutputIfNotAlreadyStarted()
{
    if (!playbackOn)
        return;
    // A stopped output is dead; an idle one ran dry and, two seconds on, has
    // still not been fed again. Both get a fresh device and decoder.
    const QAudio::State state = audioOutput->state();
    if (state != QAudio::StoppedState && state != QAudio::IdleState)
        return;
    qDebug() << "Restarting the audio output from state" << state;
    endVoice();
    startVoice();
}

void DMainWindow::encoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    encoderPackets = sFlowPacketCount;
    encoderBytes = sFlowPacketSize;
    encoderSuccessful = sSuccessfulPackets;
    encoderFailed = sFailedPackets;
    updateStatistics();
}

void DMainWindow::decoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    decoderPackets = sFlowPacketCount;
    decoderBytes = sFlowPacketSize;
    decoderSuccessful = sSuccessfulPackets;
    decoderFailed = sFailedPackets;
    updateStatistics();
}

void DMainWindow::updateStatistics()
{
    statisticsLabel->setText(
        QStringLiteral("Encoder: %1 packets, %2 bytes, %3% success; "
                       "Decoder: %4 packets, %5 bytes, %6% success.")
            .arg(QString::number(encoderPackets), QString::number(encoderBytes),
                percentText(encoderSuccessful, encoderFailed), QString::number(decoderPackets),
                QString::number(decoderBytes), percentText(decoderSuccessful, decoderFailed)));
}

void DMainWindow::on_btnToggleVoice_clicked()
{
    if (sending)
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
    tcpSocket->ourProtocolSendText(config.identity, text);
    if (config.udpTextProbe && udpSocket)
        udpSocket->ourProtocolSendText(config.identity, QStringLiteral("[CS-UDP] ") + text);
    ui->leTextData->clear();
}

void DMainWindow::on_btnSend_clicked()
{
    sendTextData();
}

void DMainWindow::textDataReceived(const QString& senderIdName, const QString& message)
{
    QString shownName;
    QString style;
    if (senderIdName == kTeacherName) {
        shownName = QStringLiteral("Teacher");
        style = QStringLiteral("style='color: #FF4000;'");
    } else if (senderIdName == kServerName) {
        shownName = QStringLiteral("Server");
        style = QStringLiteral("style='color: #800020;'");
    } else if (senderIdName == config.identity) {
        shownName = QStringLiteral("Me");
        style = QStringLiteral("style='color: blue;'");
    } else {
        shownName = senderIdName;
    }
    // Names and messages come from other clients: shown as text, never as
    // markup, so nobody can put images, links or fake status lines into
    // everybody's chat area.
    appendText(QStringLiteral("<span %3><b>%1: </b></span>%2\r\n")
                   .arg(shownName.toHtmlEscaped(), message.toHtmlEscaped(), style));
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
