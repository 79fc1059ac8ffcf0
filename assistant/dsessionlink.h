#pragma once

#include "mabstractsocket.h"

#include <QObject>

class QAbstractButton;
class QLabel;
class QListWidget;
class QWidget;
class DFileReceiver;
class DFileSender;
class DVoiceControl;
class MClientSession;
struct AssistantConfig;

// The window's side of the session: opening and closing the session, the
// handshake answers, the network label and refresh icon, the manual address
// entry and the dispatcher that hands every arriving frame to its handler.
// Owned by DMainWindow, which keeps the session and the configuration it
// works on and outlives it; GUI thread only. In a secure class it opens the
// session securely, shows a refused certificate or a plain server in a
// named box (kSecureBoxName) and, once admitted, the invitation line for
// the students in the chat area.
class DSessionLink : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DSessionLink)

public:
    static const char* const kSecureBoxName;

    struct Widgets
    {
        QWidget* boxParent; // parent of the address dialog and the refusal boxes
        QAbstractButton* refreshButton;
        QLabel* networkLabel;
        QListWidget* clients;
    };
    // Where the dispatcher sends what is not the session's own.
    struct Handlers
    {
        DFileSender* fileSender;
        DFileReceiver* fileReceiver;
        DVoiceControl* voice;
    };

    DSessionLink(
        MClientSession* session, AssistantConfig& config, const Widgets& widgets, QObject* parent);

    void setHandlers(const Handlers& handlers) { m_handlers = handlers; }

    // Sockets to the configured server; the caller ends an open session first.
    void openSession();
    // The refresh icon goes off and the server is told goodbye.
    void closeSession();

    void queryServerProtocol();
    void identifySelf();
    void versionReceived(const QString& version);
    void identifyResultReceived(const QString& result);
    void udpRequestReceived(const QString& token);
    void udpAddressReceived(const QString& addressPort);
    void copyProbeReceived(MAbstractSocket* connection, const QString& token);
    void connectedReceived();
    void requestNumberOfClients();
    void tcpStateChanged(QAbstractSocket::SocketState state);
    void tcpError(QAbstractSocket::SocketError error);
    void udpError(QAbstractSocket::SocketError error);
    void packetReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& payload);
    // The "Server Address" dialog; a confirmed text changes both addresses.
    void askServerAddress();
    // What students are told to run: this class's address, the students' code
    // and the fingerprint of the certificate the window met; empty outside a
    // secure class or without a students' code.
    QString invitationLine() const;

signals:
    void statusLine(const QString& html);
    void tcpConnected();
    // A refused version or identity: the window disconnects before the box.
    void endRequested();
    void addressEntered();
    void textReceived(const QString& senderIdName, const QString& message);

private:
    void secureConnectionRefused(const QString& message);
    void dispatchCommand(
        MAbstractSocket* connection, const QString& command, const QByteArray& payload);

    MClientSession* m_session;
    AssistantConfig& m_config;
    Widgets m_widgets;
    Handlers m_handlers {};
    bool m_invitationShown = false;
};
