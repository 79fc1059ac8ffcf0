#include "dfilesender.h"

#include "chatformat.h"
#include "dmessagebox.h"
#include "dtransferrules.h"
#include "mtcpsocket.h"
#include "sessioncommands.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "assistantlog.h"

using namespace DTransferRules;

const char* const DFileSender::kOpenDialogName = "selectFileToSendDialog";
const char* const DFileSender::kCancelBoxName = "cancelSendingBox";
const char* const DFileSender::kOpenErrorBoxName = "fileToSendErrorBox";

DFileSender::DFileSender(QPushButton* sendButton_, QProgressBar* progressBar_,
    QPushButton* cancelButton_, MTcpSocket* socket_, const QString& senderName_, QWidget* owner_,
    QObject* parent)
    : QObject(parent), sendButton(sendButton_), progressBar(progressBar_),
      cancelButton(cancelButton_), senderName(senderName_), owner(owner_),
      chunkTimer(new QTimer(this))
{
    chunkTimer->setInterval(kTickMs);
    connect(chunkTimer, &QTimer::timeout, this, &DFileSender::sendNextFileChunk);
    connect(sendButton, &QPushButton::clicked, this, &DFileSender::on_btnSendFile_clicked);
    connect(cancelButton, &QPushButton::clicked, this, &DFileSender::on_btnCancelSendFile_clicked);
    switchToSendUI();
    setSocket(socket_);
}

DFileSender::~DFileSender() = default;

void DFileSender::switchToSendUI()
{
    sendButton->show();
    progressBar->hide();
    cancelButton->hide();
}

void DFileSender::switchToSendingUI()
{
    sendButton->hide();
    progressBar->show();
    cancelButton->show();
}

void DFileSender::setSocket(MTcpSocket* tcpSocket)
{
    if (socket)
        disconnect(socket, &QAbstractSocket::stateChanged, this, &DFileSender::TStateChanged);
    // The old socket is on its way out: a transfer that used it ends here, as
    // if cancelled locally, and never writes to it again.
    if (socket != tcpSocket) {
        m_waitingForId = false;
        if (isSending())
            stopAsLocalCancel(QStringLiteral("the session ended"));
    }
    socket = tcpSocket;
    if (socket)
        connect(socket, &QAbstractSocket::stateChanged, this, &DFileSender::TStateChanged);
    sendButton->setEnabled(socket && socket->state() == QAbstractSocket::ConnectedState);
}

void DFileSender::TStateChanged(QAbstractSocket::SocketState state)
{
    if (state != QAbstractSocket::ConnectedState && isSending())
        stopAsLocalCancel(QStringLiteral("the connection was lost"));
    if (state != QAbstractSocket::ConnectedState)
        m_waitingForId = false;
    sendButton->setEnabled(state == QAbstractSocket::ConnectedState && !isSending());
}

bool DFileSender::socketUsable() const
{
    return socket && socket->usable();
}

void DFileSender::on_btnSendFile_clicked()
{
    qCDebug(lcAssistant, "TEST...........");
    if (!socketUsable() || isSending())
        return;
    sendButton->setEnabled(false);
    m_waitingForId = true;
    socket->ourProtocolSendCommand(SessionCommand::kGetUniqueXDataId);
}

void DFileSender::XDataIDReceived(const QByteArray& iddata)
{
    // Identities answer our own request only; a stray one starts nothing.
    if (!m_waitingForId)
        return;
    m_waitingForId = false;
    const int id = QString::fromLatin1(iddata).trimmed().toInt();

    auto* dialog = new QFileDialog(owner, QStringLiteral("Select File To Send"));
    dialog->setObjectName(QLatin1String(kOpenDialogName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::fileSelected, this,
        [this, id](const QString& path) { startTransfer(id, path); });
    connect(dialog, &QDialog::rejected, this, [this] {
        if (!isSending())
            sendButton->setEnabled(socket && socket->state() == QAbstractSocket::ConnectedState);
    });
    dialog->open();
}

bool DFileSender::startTransfer(int id, const QString& path)
{
    if (isSending() || !socketUsable()) {
        sendButton->setEnabled(socketUsable() && !isSending());
        return false;
    }
    // Opened before the offer goes out: an unreadable file is offered to nobody.
    auto* opened = new QFile(path, this);
    if (!opened->open(QIODevice::ReadOnly)) {
        delete opened;
        DMessageBox::open(owner, kOpenErrorBoxName, QMessageBox::Critical, QStringLiteral("Error"),
            QStringLiteral("Could not open file \"%1\" for reading.").arg(path), QMessageBox::Ok,
            Qt::PlainText);
        sendButton->setEnabled(true);
        return false;
    }

    m_fileName = QFileInfo(path).fileName();
    fileSize = opened->size();
    const QString sep = SessionCommand::kListSeparator;
    socket->ourProtocolSendCommand(SessionCommand::kFileX + QString::number(id) + sep + m_fileName
        + sep + QString::number(fileSize) + sep + senderName);
    m_bytesSent = 0;

    if (fileSize == 0) {
        delete opened;
        socket->ourProtocolSendXData(QByteArray(), id, 0);
        sendButton->setEnabled(true);
        emit transferFinished(id, false);
        return true;
    }

    file = opened;
    progressBar->setValue(0);
    switchToSendingUI();
    transferId = id;
    chunkNumber = 0;
    rateLevel = kStartLevel;
    tick = 0;
    m_credit = 0;
    emit rateLevelChanged(rateLevel);
    chunkTimer->start();
    return true;
}

void DFileSender::sendNextFileChunk()
{
    if (transferId == -1)
        return;
    if (!socketUsable()) {
        stopAsLocalCancel(QStringLiteral("the connection was lost"));
        return;
    }
    const qint64 remaining = fileSize - m_bytesSent;
    if (remaining <= 0 || file->atEnd()) {
        const int id = transferId;
        endSendFile();
        emit transferFinished(id, false);
        return;
    }

    const int allowance = tableBytes(rateLevel, tick);
    tick = (tick + 1) % kTicksPerSecond;
    if (tick == 0) {
        const int level = nextRateLevel(rateLevel, previousVoiceCount, currentVoiceCount);
        if (level != rateLevel) {
            rateLevel = level;
            emit rateLevelChanged(rateLevel);
        }
    }

    const int chunks = chunksForTick(m_credit, allowance, remaining);
    for (int i = 0; i < chunks; ++i) {
        const QByteArray data = file->read(qMin<qint64>(kChunkBytes, fileSize - m_bytesSent));
        if (data.isEmpty())
            break;
        socket->ourProtocolSendXData(data, transferId, chunkNumber);
        ++chunkNumber;
        m_bytesSent += data.size();
    }
    progressBar->setValue(int(file->pos() * 100 / fileSize));
}

void DFileSender::endSendFile()
{
    switchToSendUI();
    sendButton->setEnabled(socket && socket->state() == QAbstractSocket::ConnectedState);
    if (file) {
        file->close();
        delete file;
        file = nullptr;
    }
    transferId = -1;
    chunkTimer->stop();
    if (m_cancelBox)
        m_cancelBox->close();
}

void DFileSender::stopAsLocalCancel(const QString& why)
{
    const int id = transferId;
    qCDebug(lcAssistant).noquote() << "File transfer" << id << "stopped:" << why;
    emit statusLine(
        ChatFormat::noticeLine(QStringLiteral("Sending %1 stopped: %2.").arg(m_fileName, why)));
    endSendFile();
    emit transferFinished(id, true);
}

void DFileSender::on_btnCancelSendFile_clicked()
{
    if (!isSending() || m_cancelBox)
        return;
    QMessageBox* box = DMessageBox::open(owner, kCancelBoxName, QMessageBox::Question,
        QStringLiteral("Cancel file transfer?"),
        QStringLiteral("Are you sure you want to cancel sending <b>") + m_fileName.toHtmlEscaped()
            + QStringLiteral("</b>?"),
        QMessageBox::Yes | QMessageBox::No);
    const int id = transferId;
    connect(box, &QMessageBox::finished, this, [this, box, id](int) {
        // The transfer may have ended while the question was open.
        if (box->standardButton(box->clickedButton()) != QMessageBox::Yes || transferId != id)
            return;
        if (socketUsable())
            socket->ourProtocolSendCommand(SessionCommand::kCancelFileX + QString::number(id));
        endSendFile();
        emit transferFinished(id, true);
    });
    m_cancelBox = box;
}

void DFileSender::decoderStatsPropagated(
    int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets)
{
    Q_UNUSED(sFlowPacketSize)
    Q_UNUSED(sSuccessfulPackets)
    Q_UNUSED(sFailedPackets)
    previousVoiceCount = currentVoiceCount;
    currentVoiceCount = sFlowPacketCount;
}
