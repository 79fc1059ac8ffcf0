#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>

class QFile;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTimer;
class MTcpSocket;

// The sending side of a file transfer: asks the server for a transfer
// identity, lets the user pick a file, offers it to the class and streams it
// in extra-data chunks of DTransferRules::kChunkBytes on a 125 ms tick at a
// rate that backs off when the voice decoder's packet count drops. It drives
// the window's send button, progress bar and cancel button; the window owns
// it and hands it the session's TCP socket (null while there is none).
// Dialogs are named, window-modal children of the owner shown with open().
// GUI thread.
class DFileSender : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DFileSender)

public:
    static const char* const kOpenDialogName;
    static const char* const kCancelBoxName;
    static const char* const kOpenErrorBoxName;

    DFileSender(QPushButton* sendButton, QProgressBar* progressBar, QPushButton* cancelButton,
        MTcpSocket* socket, const QString& senderName, QWidget* owner, QObject* parent = nullptr);
    ~DFileSender() override;

    bool isSending() const { return transferId != -1; }
    int currentTransferId() const { return transferId; }
    int currentRateLevel() const { return rateLevel; }
    qint64 bytesSent() const { return m_bytesSent; }
    void setSenderName(const QString& name) { senderName = name; }
    // Offers path under transfer identity id and starts sending it, as
    // choosing the file in the dialog does. False when nothing was started.
    bool startTransfer(int id, const QString& path);

signals:
    // An HTML status line for the chat area.
    void statusLine(const QString& html);
    void rateLevelChanged(int level);
    void transferFinished(int id, bool cancelled);

public slots:
    void switchToSendUI();
    void switchToSendingUI();
    void TStateChanged(QAbstractSocket::SocketState state);
    void on_btnSendFile_clicked();
    void setSocket(MTcpSocket* tcpSocket);
    void XDataIDReceived(const QByteArray& iddata);
    void sendNextFileChunk();
    void endSendFile();
    void on_btnCancelSendFile_clicked();
    void decoderStatsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);

private:
    void stopAsLocalCancel(const QString& why);
    bool socketUsable() const;

    QPushButton* sendButton;
    QProgressBar* progressBar;
    QPushButton* cancelButton;
    MTcpSocket* socket = nullptr;
    QString senderName;
    QWidget* owner;
    QTimer* chunkTimer;
    QFile* file = nullptr;
    qint64 fileSize = 0;
    int transferId = -1;
    int chunkNumber = 0;
    int rateLevel = 6;
    int tick = 0;
    int previousVoiceCount = 0;
    int currentVoiceCount = 0;

    bool m_waitingForId = false;
    qint64 m_credit = 0;
    qint64 m_bytesSent = 0;
    QString m_fileName;
    QPointer<QMessageBox> m_cancelBox;
};
