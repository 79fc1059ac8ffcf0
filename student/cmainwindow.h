#pragma once

#include "mabstractsocket.h"
#include "reconnectpacer.h"
#include "studentconfig.h"

#include <QAudio>
#include <QAudioFormat>
#include <QMainWindow>
#include <QPointer>
#include <QTcpSocket>

class QAudioOutput;
class QCloseEvent;
class QLabel;
class QTcpServer;
class QTimer;
class MClientSession;
class MDecoder;
class MTcpSocket;
class MUdpSocket;
class MVoicePlayback;

namespace Ui {
class CMainWindow;
}

// pupil's only window and the owner of everything the student client does:
// the session with a classroom server or the teacher console (handshake
// answers, command table, chat, "Call Teacher"), voice playback with the
// decoder chosen in its list, and the local wait server that bridges a
// companion program's bytes to the class. main() creates it and hands it the
// log file as a child. GUI thread only.
//
// Message boxes are window-modal QMessageBox children with object names
// (kVersionBoxName, kIdentityBoxName, kSecureBoxName), opened without
// blocking, so tests find and close them like a user would. With a code or a
// fingerprint the session is secure: a refused certificate or a plain server
// is shown in kSecureBoxName and, like a refused identity, not retried.
class CMainWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(CMainWindow)

public:
    static const char* const kVersionBoxName;
    static const char* const kIdentityBoxName;
    static const char* const kSecureBoxName;
    // How long a live socket may hold the window: the UDP socket to become
    // ready before "UDPRESPONSE" (bound at once here), and "CLIENTEXIT" (18
    // bytes) to be written. Both take microseconds on a live socket; a dead
    // peer must not freeze the window for half a minute.
    static constexpr int kUdpReadyTimeoutMs = 1000;
    static constexpr int kFarewellWriteTimeoutMs = 1000;

    explicit CMainWindow(const StudentConfig& config, QWidget* parent = nullptr);
    ~CMainWindow() override;

    // Read-only views for the program and its tests.
    const StudentConfig& configuration() const { return config; }
    bool isConnectionActive() const { return connectionActive; }
    bool isReconnectWanted() const { return reconnectWanted; }
    bool isVoiceActive() const { return voiceActive; }
    bool isReconnectScheduled() const;
    MDecoder* currentDecoder() const;
    QAudioOutput* audioOutputObject() const;
    MVoicePlayback* voicePlayback() const { return playback; }
    MClientSession* session() const { return m_session; }
    QTcpServer* waitServerObject() const { return waitServer; }
    const ReconnectPacer& reconnectPacer() const { return m_pacer; }

    // Session
    void connectToServer();
    void endConnection();
    void queryServerProtocol();
    void identifySelf();
    void udpRequestReceived(const QString& token);
    void selfExternalUdpAddressPortReceived(MAbstractSocket* connection, const QString& text);
    void doYouCopyReceived(MAbstractSocket* connection, const QString& token);
    void connectedReceived();
    void serverProtocolVerReceived(const QString& version);
    void identifyResultReceived(const QString& result);
    void secureConnectionRefused(const QString& message);
    void appendMessage(const QString& sender, const QString& message);

    // Voice
    void startVoice(bool announce);
    void stopVoice(bool announce);
    // The decoder of the row chosen in the list, for the playback's factory.
    MDecoder* createDecoder(
        QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent);

    // Local wait server
    void startWaitServer();

public slots:
    void aodel();
    void decdel();
    void on_btnConnect_clicked();
    void on_btnDisconnect_clicked();
    void TStateChanged(QAbstractSocket::SocketState state);
    void UStateChanged(QAbstractSocket::SocketState state);
    void PStateChanged(QAbstractSocket::SocketState state);
    void p_waitserver_newConnection();
    void p_sock_readyRead();
    void Terror(QAbstractSocket::SocketError socketError);
    void Uerror(QAbstractSocket::SocketError socketError);
    void Perror(QAbstractSocket::SocketError socketError);
    void on_btnSend_clicked();
    void packetReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& payload);
    void on_btnCallTeacher_clicked();
    void onAllowCallReceived(const QString& studentIdName);
    void on_btnRefreshConnection_clicked();
    void on_btnResetVoice_clicked();
    void audioOutputStateChanged(QAudio::State state);
    void startAudioOutputIfNotAlreadyStarted();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void commandReceived(MAbstractSocket* connection, const QByteArray& payload);
    void extraDataReceived(MAbstractSocket* connection, const QByteArray& payload);
    void scheduleReconnect();
    void appendText(const QString& html);
    void showTcpState(QAbstractSocket::SocketState state);
    void releaseLocalSocket();
    void createAudioOutput();
    void placeWindow();
    bool tcpUsable() const;
    MTcpSocket* tcpSocket() const;
    MUdpSocket* udpSocket() const;
    void showBox(const char* objectName, const QString& text);

    Ui::CMainWindow* ui;
    StudentConfig config;
    QLabel* tcpStatusLabel = nullptr;
    QLabel* udpStatusLabel = nullptr;
    QLabel* localStatusLabel = nullptr;
    bool connectionActive = false;
    bool reconnectWanted = false;
    // Owns the TCP and UDP packet sockets while connected.
    MClientSession* m_session = nullptr;
    QPointer<QTcpSocket> localSocket;
    QTcpServer* waitServer = nullptr;
    bool voiceActive = false;
    QAudioFormat audioFormat;
    // Owns the audio output and the current decoder.
    MVoicePlayback* playback = nullptr;

    ReconnectPacer m_pacer;
    QTimer* m_reconnectTimer = nullptr;
    // The TCP state seen last; -1 before the first.
    int m_lastTcpState = -1;
};
