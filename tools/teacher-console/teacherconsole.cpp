#include "teacherconsole.h"

#include "handshaketimers.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "opusencoderwrapper.h"
#include "sessioncommands.h"
#include "wireformat.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTimer>

namespace {

constexpr int kMaxPacketBytes = 4000;

// A TCP packet socket that may also send a frame of any tag and payload:
// the console's extra data is the companion's bytes, without the file
// transfer's two header numbers.
class ConsoleTcpSocket : public MTcpSocket
{
public:
    using MTcpSocket::MTcpSocket;
    qint64 sendFrame(const QByteArray& tag, const QByteArray& payload)
    {
        return ourProtocolSend(tag, payload);
    }
};

// Hands out every accepted connection as a ConsoleTcpSocket.
class ConsoleListener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new ConsoleTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        addPendingConnection(socket);
    }
};

} // namespace

// One student's connection; where its handshake stands is the admission's.
class TeacherConsole::Student : public QObject
{
public:
    using QObject::QObject;

    ConsoleTcpSocket* tcp = nullptr;
    QString identity;
    bool ready = false;
};

TeacherConsole::TeacherConsole(QObject* parent)
    : QObject(parent), m_timers(new HandshakeTimers(kHandshakeRetryMs, 0, this))
{
    connect(m_timers, &HandshakeTimers::stepTimedOut, this, &TeacherConsole::stepTimedOut);
}

TeacherConsole::~TeacherConsole() = default;

bool TeacherConsole::listen(
    const QHostAddress& tcpAddress, quint16 port, const QHostAddress& udpAddress)
{
    close();
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto* listener = new ConsoleListener(this);
        auto* udp = new MUdpSocket(this);
        if (listener->listen(tcpAddress, port) && udp->bind(udpAddress, listener->serverPort())) {
            m_listener = listener;
            m_udp = udp;
            break;
        }
        delete listener;
        delete udp;
        if (port != 0)
            return false;
    }
    if (!m_listener)
        return false;
    connect(m_listener, &QTcpServer::newConnection, this, &TeacherConsole::acceptConnections);
    connect(m_udp, &MUdpSocket::packetReceived, this, &TeacherConsole::udpPacket);
    return true;
}

void TeacherConsole::close()
{
    stopVoice();
    dropAll();
    delete m_listener;
    m_listener = nullptr;
    delete m_udp;
    m_udp = nullptr;
}

quint16 TeacherConsole::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

quint16 TeacherConsole::udpPort() const
{
    return m_udp ? m_udp->localPort() : 0;
}

void TeacherConsole::acceptConnections()
{
    while (QTcpSocket* pending = m_listener->nextPendingConnection()) {
        auto* tcp = static_cast<ConsoleTcpSocket*>(pending);
        auto* student = new Student(this);
        tcp->setParent(student);
        student->tcp = tcp;
        m_students << student;
        ++m_accepted;
        connect(tcp, &MTcpSocket::packetReceived, student,
            [this, student](MAbstractSocket*, MDataType type, const QByteArray& data) {
                tcpPacket(student, type, data);
            });
        connect(tcp, &QAbstractSocket::disconnected, student,
            [this, student] { removeStudent(student); });
        m_admission.add(tcp);
        m_timers->add(tcp);
        carryOut(student, m_admission.requestStep(tcp));
    }
}

void TeacherConsole::record(Student* student, bool overUdp, MDataType type, const QByteArray& data)
{
    const QString identity = student ? student->identity : QString();
    m_received.append({ identity, overUdp, type, data });
    emit packetArrived(identity, overUdp, type, data);
}

void TeacherConsole::tcpPacket(Student* student, MDataType type, const QByteArray& data)
{
    record(student, false, type, data);
    if (type != CommandData)
        return;
    const QString command = QString::fromUtf8(data);
    if (command == SessionCommand::kGetProtocol) {
        student->tcp->ourProtocolSendCommand(SessionCommand::kProtocolVer + m_protocolVersion);
    } else if (command.startsWith(SessionCommand::kIdentify)
        && !command.startsWith(SessionCommand::kIdentifyReply)) {
        student->identity = command.mid(SessionCommand::kIdentify.size());
        // Refused or not, the record keeps the name the student gave.
        m_received.last().identity = student->identity;
        const Admission::Reply reply = m_admission.identify(
            student->tcp, student->identity, !m_refused.contains(student->identity));
        carryOut(student, reply);
        if (reply.ready)
            becomeReady(student);
    } else if (command == SessionCommand::kUdpIpPortBound) {
        carryOut(student, m_admission.copyStep(student->tcp));
    } else if (command == SessionCommand::kClientExit) {
        removeStudent(student);
    }
}

void TeacherConsole::udpPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data)
{
    Student* student = nullptr;
    for (Student* candidate : qAsConst(m_students)) {
        const NonReadyClient* known = m_admission.find(candidate->tcp);
        if (known && known->udpState != UdpState::AwaitingResponse
            && known->udpAddress == connection->peerAddress()
            && known->udpPort == connection->peerPort())
            student = candidate;
    }
    record(student, true, type, data);
    if (type != CommandData)
        return;
    int number = 0;
    const QString command = QString::fromUtf8(data);
    Admission::Reply reply;
    switch (Admission::readAnswer(command, &number)) {
    case Admission::Answer::UdpResponse:
        reply = m_admission.udpResponse(number, connection->peerAddress(), connection->peerPort());
        break;
    case Admission::Answer::CopyAnswer:
        reply = m_admission.copyAnswer(number, connection->peerAddress(), connection->peerPort());
        break;
    case Admission::Answer::None:
        return;
    }
    Student* asked = studentOf(reply.client);
    if (!asked || reply.result != Admission::Reply::Done)
        return;
    carryOut(asked, reply);
    if (reply.ready)
        becomeReady(asked);
}

TeacherConsole::Student* TeacherConsole::studentOf(QObject* connection) const
{
    for (Student* student : m_students) {
        if (student->tcp == connection)
            return student;
    }
    return nullptr;
}

void TeacherConsole::stepTimedOut(QObject* connection)
{
    if (Student* student = studentOf(connection))
        carryOut(student, m_admission.stepTimedOut(connection));
}

void TeacherConsole::carryOut(Student* student, const Admission::Reply& reply)
{
    if (reply.result == Admission::Reply::GaveUp) {
        student->tcp->abort();
        return;
    }
    for (const QString& command : reply.tcpCommands)
        student->tcp->ourProtocolSendCommand(command);
    if (!reply.udpCommand.isEmpty()) {
        m_udp->setPeerHostAndPort(reply.udpAddress, reply.udpPort);
        m_udp->ourProtocolSendCommand(reply.udpCommand);
    }
    m_timers->follow(student->tcp, reply);
}

void TeacherConsole::becomeReady(Student* student)
{
    if (student->ready || !m_sendConnected)
        return;
    student->ready = true;
    student->tcp->ourProtocolSendCommand(SessionCommand::kConnected);
    emit studentReady(student->identity);
}

void TeacherConsole::removeStudent(Student* student)
{
    if (!m_students.removeOne(student))
        return;
    m_admission.take(student->tcp);
    m_timers->end(student->tcp);
    // The socket may be delivering the packet that ended it.
    disconnect(student->tcp, nullptr, student, nullptr);
    student->tcp->abort();
    student->deleteLater();
    emit studentLeft(student->identity);
}

QList<TeacherConsole::Student*> TeacherConsole::readyStudents() const
{
    QList<Student*> ready;
    for (Student* student : m_students) {
        if (student->ready)
            ready << student;
    }
    return ready;
}

QStringList TeacherConsole::readyIdentities() const
{
    QStringList names;
    for (const Student* student : readyStudents())
        names << student->identity;
    return names;
}

void TeacherConsole::sendCommand(const QString& command)
{
    for (Student* student : readyStudents())
        student->tcp->ourProtocolSendCommand(command);
}

void TeacherConsole::sendUdpCommand(const QString& command)
{
    for (Student* student : readyStudents()) {
        const NonReadyClient* end = m_admission.find(student->tcp);
        m_udp->setPeerHostAndPort(end->udpAddress, end->udpPort);
        m_udp->ourProtocolSendCommand(command);
    }
}

void TeacherConsole::sendText(const QString& message)
{
    for (Student* student : readyStudents())
        student->tcp->ourProtocolSendText(SessionCommand::kTeacherSender, message);
}

void TeacherConsole::sendExtraData(const QByteArray& bytes)
{
    const QByteArray tag(WireFormat::kExtraDataTag.data(), WireFormat::kExtraDataTag.size());
    for (Student* student : readyStudents())
        static_cast<ConsoleTcpSocket*>(student->tcp)->sendFrame(tag, bytes);
}

void TeacherConsole::sendVoicePacket(int sequenceNumber, const QByteArray& payload)
{
    for (Student* student : readyStudents()) {
        const NonReadyClient* end = m_admission.find(student->tcp);
        m_udp->setPeerHostAndPort(end->udpAddress, end->udpPort);
        m_udp->ourProtocolSendVoice(payload, sequenceNumber);
    }
}

void TeacherConsole::allowCall(const QString& identity)
{
    sendCommand(SessionCommand::kAllowCall + identity);
}

void TeacherConsole::finishClass()
{
    stopVoice();
    sendCommand(SessionCommand::kClassFinished);
}

void TeacherConsole::dropAll()
{
    const QList<Student*> students = m_students;
    for (Student* student : students)
        removeStudent(student);
}

bool TeacherConsole::startVoice(const QByteArray& pcm, bool loop)
{
    if (pcm.size() < kFrameBytes)
        return false;
    if (!m_encoder) {
        m_encoder = new OpusEncoderWrapper(this);
        if (m_encoder->initializeEncoder(kSampleRate, kChannels, kComplexity, kBitrate, kInbandFec)
            != 0) {
            delete m_encoder;
            m_encoder = nullptr;
            return false;
        }
    }
    if (!m_streamTimer) {
        sendCommand(SessionCommand::kStartVoice);
        m_streamTimer = new QTimer(this);
        m_streamTimer->setTimerType(Qt::PreciseTimer);
        m_streamTimer->setInterval(kFrameMs / 2);
        connect(m_streamTimer, &QTimer::timeout, this, &TeacherConsole::sendNextFrames);
        m_streamTimer->start();
    }
    m_pcm = pcm;
    m_loop = loop;
    m_frameIndex = 0;
    m_streamClock.start();
    m_streamStartedAt = QDateTime::currentMSecsSinceEpoch();
    sendNextFrames();
    return true;
}

void TeacherConsole::stopVoice()
{
    if (!m_streamTimer)
        return;
    // May run inside the timer's own timeout.
    m_streamTimer->stop();
    m_streamTimer->deleteLater();
    m_streamTimer = nullptr;
    sendCommand(SessionCommand::kStopVoice);
    emit streamFinished();
}

void TeacherConsole::sendNextFrames()
{
    // Frames are due by the wall clock, so a late timer sends what it owes.
    const qint64 due = m_streamClock.elapsed() / kFrameMs + 1;
    const int frames = m_pcm.size() / kFrameBytes;
    unsigned char packet[kMaxPacketBytes];
    while (m_frameIndex < due) {
        if (m_frameIndex % frames == 0 && m_frameIndex > 0 && !m_loop) {
            stopVoice();
            return;
        }
        const char* pcm = m_pcm.constData() + (m_frameIndex % frames) * kFrameBytes;
        const int size = m_encoder->encode(pcm, kFrameBytes, packet, kMaxPacketBytes);
        ++m_frameIndex;
        if (size < 0)
            continue;
        sendVoicePacket(++m_sequence, QByteArray(reinterpret_cast<const char*>(packet), size));
    }
}

QStringList TeacherConsole::commands(bool overUdp) const
{
    QStringList list;
    for (const Received& item : m_received) {
        if (item.type == CommandData && item.overUdp == overUdp)
            list << item.identity + QLatin1Char(':') + QString::fromUtf8(item.data);
    }
    return list;
}

QList<QByteArray> TeacherConsole::passThroughData() const
{
    QList<QByteArray> list;
    for (const Received& item : m_received) {
        if (item.type == UnrecognisedData && !item.overUdp)
            list << item.data;
    }
    return list;
}
