#include "admission.h"

#include "mabstractsocket.h"
#include "sessioncommands.h"

#include <limits>

#include <QRandomGenerator>

int Admission::randomNumber()
{
    // Positive, because clients read the number back as a decimal int.
    return int(QRandomGenerator::system()->bounded(1u, quint32(std::numeric_limits<int>::max())));
}

Admission::Answer Admission::readAnswer(const QString& command, int* number)
{
    using namespace SessionCommand;
    for (const auto& [keyword, answer] :
        { std::pair(kUdpResponse, Answer::UdpResponse), std::pair(kIDoCopy, Answer::CopyAnswer) }) {
        if (command.startsWith(keyword)) {
            *number = command.mid(keyword.size()).toInt();
            return answer;
        }
    }
    return Answer::None;
}

Admission::Admission(NumberSource source) : m_source(std::move(source)) { }

void Admission::add(QObject* client)
{
    NonReadyClient record;
    record.client = client;
    record.seqNumber = newNumber();
    m_clients.insert(client, record);
}

NonReadyClient Admission::take(QObject* client)
{
    return m_clients.take(client);
}

const NonReadyClient* Admission::find(QObject* client) const
{
    const auto it = m_clients.constFind(client);
    return it == m_clients.cend() ? nullptr : &*it;
}

const NonReadyClient* Admission::findByNumber(int number) const
{
    // Numbers are unique among the waiting clients, so at most one matches.
    for (const NonReadyClient& record : m_clients) {
        if (record.seqNumber == number)
            return &record;
    }
    return nullptr;
}

NonReadyClient* Admission::record(QObject* client)
{
    const auto it = m_clients.find(client);
    return it == m_clients.end() ? nullptr : &*it;
}

NonReadyClient* Admission::recordByNumber(int number)
{
    return const_cast<NonReadyClient*>(findByNumber(number));
}

int Admission::newNumber() const
{
    // The record's own number counts as taken: a new step never repeats it.
    for (;;) {
        const int number = m_source();
        if (!findByNumber(number))
            return number;
    }
}

bool Admission::advanceStep(NonReadyClient& client, bool freshNumber, Reply& reply) const
{
    if (client.retryCount == 0) {
        reply.firstOfStep = true;
        if (freshNumber)
            client.seqNumber = newNumber();
    } else if (client.retryCount >= kMaxHandshakeMessages) {
        reply.result = Reply::GaveUp;
        return false;
    }
    ++client.retryCount;
    reply.result = Reply::Done;
    reply.timer = Reply::StartTimer;
    return true;
}

NonReadyClient* Admission::inStep(NonReadyClient* found, UdpState step, Reply& reply) const
{
    if (!found)
        return nullptr;
    reply.client = found->client;
    reply.result = Reply::Ignored;
    return found->udpState == step ? found : nullptr;
}

Admission::Reply Admission::requestStep(QObject* client)
{
    Reply reply;
    NonReadyClient* found = inStep(record(client), UdpState::AwaitingResponse, reply);
    if (!found)
        return reply;
    // The request step keeps the number drawn on arrival.
    if (advanceStep(*found, false, reply))
        reply.tcpCommands << SessionCommand::kUdpRequest + QString::number(found->seqNumber);
    return reply;
}

Admission::Reply Admission::udpResponse(int number, const QHostAddress& address, quint16 port)
{
    Reply reply;
    // A late or repeated answer changes nothing.
    NonReadyClient* found = inStep(recordByNumber(number), UdpState::AwaitingResponse, reply);
    if (!found)
        return reply;
    found->udpState = UdpState::AwaitingCopy;
    found->retryCount = 0;
    found->udpAddress = address;
    found->udpPort = port;
    reply.result = Reply::Done;
    reply.timer = Reply::StopTimer;
    reply.tcpCommands << SessionCommand::kYourUdpIpPort
            + MAbstractSocket::addressText(address, port);
    return reply;
}

Admission::Reply Admission::copyStep(QObject* client)
{
    Reply reply;
    // Only the copy step has a UDP end to probe. Earlier the end is unknown;
    // later a new step could only end in the client's removal.
    NonReadyClient* found = inStep(record(client), UdpState::AwaitingCopy, reply);
    if (!found)
        return reply;
    if (advanceStep(*found, true, reply)) {
        reply.udpCommand = SessionCommand::kDoYouCopy + QString::number(found->seqNumber);
        reply.udpAddress = found->udpAddress;
        reply.udpPort = found->udpPort;
    }
    return reply;
}

Admission::Reply Admission::copyAnswer(int number, const QHostAddress& address, quint16 port)
{
    Reply reply;
    NonReadyClient* found = inStep(recordByNumber(number), UdpState::AwaitingCopy, reply);
    if (!found)
        return reply;
    // The numbers can be learnt (the request travels in the clear): only the
    // UDP end that answered the request step may confirm the path, or a
    // stranger could confirm a path for somebody else's connection.
    if (found->udpAddress != address || found->udpPort != port) {
        reply.result = Reply::Foreign;
        reply.udpAddress = found->udpAddress;
        reply.udpPort = found->udpPort;
        return reply;
    }
    found->udpState = UdpState::Confirmed;
    found->retryCount = 0;
    reply.result = Reply::Done;
    reply.timer = Reply::StopTimer;
    reply.ready = found->identified;
    return reply;
}

Admission::Reply Admission::stepTimedOut(QObject* client)
{
    const NonReadyClient* found = find(client);
    if (found && found->udpState == UdpState::AwaitingResponse)
        return requestStep(client);
    if (found && found->udpState == UdpState::AwaitingCopy)
        return copyStep(client);
    Reply reply;
    if (found) {
        reply.client = client;
        reply.result = Reply::Ignored;
        reply.timer = Reply::StopTimer;
    }
    return reply;
}

Admission::Reply Admission::identify(QObject* client, const QString& name, bool accepted)
{
    Reply reply;
    NonReadyClient* found = record(client);
    if (!found)
        return reply;
    reply.client = client;
    reply.result = Reply::Done;
    found->clientIdName = name;
    using namespace SessionCommand;
    if (!accepted) {
        reply.tcpCommands << kIdentifyReply + kIdentifyFail;
        return reply;
    }
    found->identified = true;
    reply.tcpCommands << kIdentifyReply + kIdentifyOk;
    reply.ready = found->udpState == UdpState::Confirmed;
    return reply;
}
