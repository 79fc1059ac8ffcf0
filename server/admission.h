#pragma once

#include "nonreadyclient.h"

#include <QHash>
#include <QHostAddress>
#include <QStringList>

#include <functional>

// The admission of connections that want to join a class: identification and
// the UDP binding handshake (UDPREQUEST / UDPRESPONSE / YOURUDPI:P /
// UDPI:PBOUND / DOYOUCOPY? / IDOCOPY) as records and transitions. It owns no
// socket and no timer: each transition returns what the owner must send and
// whether its step timer runs, so the classroom server and the teacher console
// stand-in follow one rule. Plain value, kept by its owner on the main thread.
class Admission
{
public:
    // Messages sent in one step before the client is given up.
    static constexpr int kMaxHandshakeMessages = 20;

    // What a transition asks of the owner.
    struct Reply
    {
        enum Result {
            // No waiting client has this key or number.
            NoSuchClient,
            // The client is in another step: nothing changes.
            Ignored,
            // A copy answer from another UDP end than the one recorded.
            Foreign,
            // The step has used up its messages: the owner drops the client.
            GaveUp,
            // The transition happened; send what follows.
            Done,
        };
        enum Timer { KeepTimer, StartTimer, StopTimer };

        Result result = NoSuchClient;
        // Whom it concerns (also when ignored), null for NoSuchClient.
        QObject* client = nullptr;
        // Commands for the client's TCP connection, in order.
        QStringList tcpCommands;
        // A command for the client's recorded UDP end (empty: none).
        QString udpCommand;
        QHostAddress udpAddress;
        quint16 udpPort = 0;
        // The first message of a step.
        bool firstOfStep = false;
        Timer timer = KeepTimer;
        // Identified and UDP confirmed: the owner makes the client ready.
        bool ready = false;
    };

    // A handshake answer over UDP, as its receiver reads it.
    enum class Answer { None, UdpResponse, CopyAnswer };
    // The kind of answer a UDP command is; number gets its decimal argument
    // (0 when it is none).
    static Answer readAnswer(const QString& command, int* number);

    // Draws a handshake number; Admission draws again while it is in use.
    using NumberSource = std::function<int()>;
    // Positive random numbers, so that nobody can answer for a client by
    // guessing its number.
    static int randomNumber();

    explicit Admission(NumberSource source = &Admission::randomNumber);

    // A new waiting client in the request step, with a fresh number. Its
    // first UDPREQUEST goes out with requestStep(), when the owner chooses:
    // today at once, so that identification and the handshake run side by
    // side.
    void add(QObject* client);
    // The record leaves (the client is removed or made ready).
    NonReadyClient take(QObject* client);
    bool contains(QObject* client) const { return m_clients.contains(client); }
    const NonReadyClient* find(QObject* client) const;
    const NonReadyClient* findByNumber(int number) const;
    const QHash<QObject*, NonReadyClient>& clients() const { return m_clients; }

    // The request step's next UDPREQUEST, at the start and on each timeout.
    Reply requestStep(QObject* client);
    // UDPRESPONSE with number from a UDP end: that end becomes the client's.
    Reply udpResponse(int number, const QHostAddress& address, quint16 port);
    // UDPI:PBOUND, and each timeout of the copy step: the next DOYOUCOPY?.
    Reply copyStep(QObject* client);
    // IDOCOPY with number from a UDP end.
    Reply copyAnswer(int number, const QHostAddress& address, quint16 port);
    // The step a running step timer belongs to, for its timeout.
    Reply stepTimedOut(QObject* client);
    // IDENTIFY with the owner's verdict on the name. A refused client stays
    // and may identify again; the record keeps the name either way.
    Reply identify(QObject* client, const QString& name, bool accepted);

private:
    NonReadyClient* record(QObject* client);
    NonReadyClient* recordByNumber(int number);
    // found when it is in step; else null, with the reply naming the client
    // (Ignored) if there is one.
    NonReadyClient* inStep(NonReadyClient* found, UdpState step, Reply& reply) const;
    int newNumber() const;
    // The message of a step: a fresh number on its first, GaveUp after the last.
    bool advanceStep(NonReadyClient& client, bool freshNumber, Reply& reply) const;

    NumberSource m_source;
    QHash<QObject*, NonReadyClient> m_clients;
};
