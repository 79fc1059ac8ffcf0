#pragma once

#include "admission.h"
#include "mabstractsocket.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>

class HandshakeTimers;
class QTcpServer;
class QTimer;
class MTcpSocket;
class MUdpSocket;
class OpusEncoderWrapper;

// Stands in for the teacher console, the program outside the system that
// runs a class of students directly: it admits students the way a classroom
// server does (protocol, identity, the UDP handshake), sends them commands,
// text as "|Teacher|", extra data for their companion program and Opus voice
// paced in real time from PCM, and records everything they send back. Used
// by the student tests, the benchmark and people trying a class by hand.
// One TCP listener and one UDP socket; main thread; owned by its parent.
class TeacherConsole : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TeacherConsole)

public:
    // What arrived from a student, in arrival order.
    struct Received
    {
        QString identity; // empty until the student identified itself
        bool overUdp = false;
        MDataType type = UnrecognisedData;
        QByteArray data;
    };

    // The handshake's retry interval: students answer at once, so one
    // second only matters when a datagram was lost. A step gives up after
    // the classroom server's number of messages.
    static constexpr int kHandshakeRetryMs = 1000;
    // The console's voice: what a teacher's microphone path would send.
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr int kComplexity = 10;
    static constexpr int kBitrate = 28000;
    static constexpr bool kInbandFec = true;
    static constexpr int kFrameMs = 20;
    static constexpr int kFrameBytes = 3840; // 20 ms at 48000 Hz, stereo, 16-bit

    explicit TeacherConsole(QObject* parent = nullptr);
    ~TeacherConsole() override;

    // TCP on tcpAddress, UDP on udpAddress, both on one port (0: a free port
    // for both is chosen). False when either cannot be opened.
    bool listen(const QHostAddress& tcpAddress, quint16 port, const QHostAddress& udpAddress);
    bool listen(const QHostAddress& address, quint16 port)
    {
        return listen(address, port, address);
    }
    void close();
    quint16 port() const;
    quint16 udpPort() const;

    // Behaviour of the admission.
    void setProtocolVersion(const QString& version) { m_protocolVersion = version; }
    void setRefusedIdentities(const QStringList& names) { m_refused = names; }
    // Whether admitted students get "CONNECTED" (off: the handshake stops
    // after the UDP check, to test what a student does before admission).
    void setSendConnected(bool on) { m_sendConnected = on; }

    // Actions on every admitted student.
    void sendCommand(const QString& command);
    void sendUdpCommand(const QString& command);
    void sendText(const QString& message);
    // The bytes are the whole extra-data payload; a student hands them on
    // to its companion program unchanged.
    void sendExtraData(const QByteArray& bytes);
    void sendVoicePacket(int sequenceNumber, const QByteArray& payload);
    void allowCall(const QString& identity = QString());
    void finishClass();
    // Drops every student's connection at once, without a word.
    void dropAll();

    // "STARTVOICE", then pcm (48000 Hz, stereo, signed 16-bit LE) as Opus
    // voice in 20 ms packets paced in real time, then "STOPVOICE" unless
    // looping. Replaces a stream already running.
    bool startVoice(const QByteArray& pcm, bool loop = false);
    void stopVoice();
    bool isStreaming() const { return m_streamTimer != nullptr; }
    int packetsSent() const { return m_sequence; }
    // When the first frame of the current stream went out (for delay figures).
    qint64 streamStartedMsecsSinceEpoch() const { return m_streamStartedAt; }

    QStringList readyIdentities() const;
    int connectionCount() const { return m_students.size(); }
    const QList<Received>& received() const { return m_received; }
    // Commands received, "identity:command", in order.
    QStringList commands(bool overUdp = false) const;
    QList<QByteArray> passThroughData() const;
    void clearReceived() { m_received.clear(); }
    // Number of TCP connections accepted so far.
    int acceptedCount() const { return m_accepted; }

signals:
    void studentReady(const QString& identity);
    void studentLeft(const QString& identity);
    void packetArrived(
        const QString& identity, bool overUdp, MDataType type, const QByteArray& data);
    void streamFinished();

private:
    class Student;

    void acceptConnections();
    void tcpPacket(Student* student, MDataType type, const QByteArray& data);
    void udpPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data);
    // Sends what an admission transition asks for; drops a student whose
    // step gave up.
    void carryOut(Student* student, const Admission::Reply& reply);
    void stepTimedOut(QObject* connection);
    void becomeReady(Student* student);
    void removeStudent(Student* student);
    void sendNextFrames();
    Student* studentOf(QObject* connection) const;
    QList<Student*> readyStudents() const;
    void record(Student* student, bool overUdp, MDataType type, const QByteArray& data);

    QTcpServer* m_listener = nullptr;
    MUdpSocket* m_udp = nullptr;
    QList<Student*> m_students;
    QList<Received> m_received;
    QString m_protocolVersion = QStringLiteral("1");
    QStringList m_refused;
    bool m_sendConnected = true;
    int m_accepted = 0;
    // The classroom server's admission rule. A student's record stays until
    // it leaves: its UDP end is where its datagrams go.
    Admission m_admission;
    HandshakeTimers* m_timers;

    OpusEncoderWrapper* m_encoder = nullptr;
    QTimer* m_streamTimer = nullptr;
    QElapsedTimer m_streamClock;
    QByteArray m_pcm;
    bool m_loop = false;
    int m_frameIndex = 0;
    int m_sequence = 0;
    qint64 m_streamStartedAt = 0;
};
