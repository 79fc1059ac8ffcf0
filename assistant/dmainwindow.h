#pragma once

#include "assistantconfig.h"
#include "dvoicecontrol.h"
#include "mabstractsocket.h"

#include <QAudio>
#include <QMainWindow>

class QAudioOutput;
class QCloseEvent;
class QListWidgetItem;
class QPoint;
class DAddressPublisher;
class DFileReceiver;
class DFileSender;
class DSessionLink;
class DTransferPanel;
class MClientSession;
class MVoiceCapture;
class MVoicePlayback;

namespace Ui {
class DMainWindow;
}

// podium's chat window, a full client of a classroom server. The window wires
// its widgets to the pieces: the session's handshake and dispatcher are
// DSessionLink's, the class list's rows DClientRows', voice under the
// two-speaker limit DVoiceControl's, file transfer and its panel
// DTransferPanel's (DFileSender, DFileReceiver), the server address at start
// DAddressPublisher's; it keeps the chat area. It owns its sockets and codec
// objects through MClientSession and DVoiceControl; main() creates it and
// hands it the in-process server and the log file as children. GUI thread.
//
// Message boxes never block (DMessageBox): each is a named, window-modal
// child (kVersionBoxName, kIdentityBoxName, kPeerInfoBoxName,
// kBrowserBoxName), so callers (and tests) find it with findChild and close
// it like a user would. The server address entry is a QInputDialog of the
// same kind (kAddressDialogName).
class DMainWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(DMainWindow)

public:
    static const char* const kVersionBoxName;
    static const char* const kIdentityBoxName;
    static const char* const kPeerInfoBoxName;
    static const char* const kBrowserBoxName;
    static const char* const kAddressDialogName;

    explicit DMainWindow(const AssistantConfig& config, QWidget* parent = nullptr);
    ~DMainWindow() override;

    // Read-only views for the program and its tests.
    const AssistantConfig& configuration() const { return config; }
    bool isConnecting() const { return connecting; }
    bool isPlaybackOn() const { return m_voice && m_voice->isPlaybackOn(); }
    bool isSending() const { return m_voice && m_voice->isSending(); }
    bool isVoiceAllowed() const { return m_voice->isVoiceAllowed(); }
    bool hasBeenSpeaker() const { return m_voice->hasBeenSpeaker(); }
    // The last speaker count from the server; -1 before the first.
    int lastSpeakerCount() const { return m_voice->lastSpeakerCount(); }
    QAudioOutput* audioOutputObject() const { return m_voice ? m_voice->audioOutput() : nullptr; }
    MClientSession* session() const { return m_session; }
    MVoicePlayback* playback() const { return m_voice ? m_voice->playback() : nullptr; }
    MVoiceCapture* capture() const { return m_voice ? m_voice->capture() : nullptr; }
    DFileSender* fileSenderObject() const { return fileSender; }
    DFileReceiver* fileReceiverObject() const { return fileReceiver; }
    DAddressPublisher* addressPublisherObject() const { return addressPublisher; }

public slots:
    // Session
    void setUpConnections();
    void tcpConnectionSucceeded();
    void startConnection();
    void endConnection();
    void queryServerProtocol();
    void serverProtocolVerReceived(const QString& version);
    void identifySelf();
    void identifyResultReceived(const QString& result);
    void udpRequestReceived(const QString& token);
    void selfExternalUdpAddressPortReceived(
        MAbstractSocket* connection, const QString& addressPort);
    void doYouCopyReceived(MAbstractSocket* connection, const QString& token);
    void connectedReceived();
    void requestNumberOfClients();
    void numberOfClientsReceived(int count);
    void TStateChanged(QAbstractSocket::SocketState state);
    void UStateChanged(QAbstractSocket::SocketState state);
    void Terror(QAbstractSocket::SocketError error);
    void Uerror(QAbstractSocket::SocketError error);
    void packetReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& payload);
    void on_btnRefreshConnection_clicked();

    // Voice
    void setUpVoice();
    void startVoice();
    void endVoice();
    void setUpSendVoice();
    void startSendVoice();
    void endSendVoice();
    void aodel();
    void decdel();
    void numberOfSpeakingClientsReceived(int count);
    void audioOutputStateChanged(QAudio::State state);
    void startAudioOutputIfNotAlreadyStarted();
    void encoderStatsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);
    void decoderStatsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);
    void on_btnToggleVoice_clicked();

    // Chat window
    void appendText(const QString& text);
    void sendTextData();
    void textDataReceived(const QString& senderIdName, const QString& message);
    void on_btnSend_clicked();
    void on_txtMessages_customContextMenuRequested(const QPoint& pos);
    void on_lwClients_itemActivated(QListWidgetItem* item);
    void selectFileInExplorer(const QString& filePath);
    void hideFileTransfers(bool force);
    void hideFileTransfers();
    void showFileTransfers();

    // File transfer (DFileSender sends, DFileReceiver receives)
    void removeTransfer(bool completed, int index);
    void on_lwFileTransfers_customContextMenuRequested(const QPoint& pos);
    void on_lwFileTransfers_itemActivated(QListWidgetItem* item);

    // Server address publishing (DAddressPublisher)
    void sendUSetRequest();
    void sendUGetRequest();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Ui::DMainWindow* ui;
    AssistantConfig config;

    // Session: the sockets live in m_session while it is open.
    MClientSession* m_session = nullptr;
    DSessionLink* m_link = nullptr;
    bool connecting = false;

    // Voice: playback and capture under the speaker limit, with their controls.
    DVoiceControl* m_voice = nullptr;

    // The send controls and the transfers list, with their group box.
    DTransferPanel* m_transfers = nullptr;
    DFileSender* fileSender = nullptr;
    DFileReceiver* fileReceiver = nullptr;
    DAddressPublisher* addressPublisher = nullptr;
};
