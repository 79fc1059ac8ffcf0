#include "admission.h"
#include "mabstractsocket.h"

#include <QtTest>

// The admission rule without sockets: sequences of handshake events in,
// what each transition asks its owner to do out.
class TstAdmission : public QObject
{
    Q_OBJECT

private slots:
    void sequences_data();
    void sequences();
    void answersAreRead_data();
    void answersAreRead();
};

namespace {

const QString kEndA = QStringLiteral("10.0.0.1:5000");
const QString kEndB = QStringLiteral("10.0.0.2:6000");

// The events of one step repeated: the 20 messages of a step, for example.
QStringList times(int count, const QString& event)
{
    QStringList events;
    for (int i = 0; i < count; ++i)
        events << event;
    return events;
}

// Runs events of the form "<client> <what> [arguments]" (clients "a", "b")
// or "response|copy <number> from <address:port>", and writes down each reply.
class Script
{
public:
    explicit Script(const QList<int>& numbers)
        : m_admission(numbers.isEmpty() ? Admission::NumberSource([this] { return ++m_counter; })
                                        : Admission::NumberSource([this, numbers] {
                                              return numbers.value(m_counter++, -1);
                                          }))
    {
        m_clients.insert(QStringLiteral("a"), &m_a);
        m_clients.insert(QStringLiteral("b"), &m_b);
    }

    QString run(const QString& event)
    {
        const QStringList words = event.split(QLatin1Char(' '));
        const QString& what = words.value(1);
        if (words.first() == QLatin1String("response") || words.first() == QLatin1String("copy")) {
            QHostAddress address;
            quint16 port = 0;
            MAbstractSocket::parseAddressPort(words.value(3), address, port);
            const int number = words.value(1).toInt();
            return show(words.first() == QLatin1String("response")
                    ? m_admission.udpResponse(number, address, port)
                    : m_admission.copyAnswer(number, address, port));
        }
        QObject* client = m_clients.value(words.first());
        if (what == QLatin1String("add")) {
            m_admission.add(client);
            return QString();
        }
        if (what == QLatin1String("request"))
            return show(m_admission.requestStep(client));
        if (what == QLatin1String("timeout"))
            return show(m_admission.stepTimedOut(client));
        if (what == QLatin1String("bound"))
            return show(m_admission.copyStep(client));
        if (what == QLatin1String("identify"))
            return show(m_admission.identify(
                client, words.value(2), words.value(3) == QLatin1String("ok")));
        if (what == QLatin1String("remove")) {
            m_admission.take(client);
            return QString();
        }
        if (what == QLatin1String("state"))
            return state(client);
        return QStringLiteral("bad event ") + event;
    }

private:
    QString nameOf(const QObject* client) const
    {
        return m_clients.key(const_cast<QObject*>(client));
    }

    QString show(const Admission::Reply& reply) const
    {
        switch (reply.result) {
        case Admission::Reply::NoSuchClient:
            return QStringLiteral("nobody");
        case Admission::Reply::Ignored:
            return nameOf(reply.client) + QStringLiteral(" ignored")
                + (reply.timer == Admission::Reply::StopTimer ? QStringLiteral(" -timer")
                                                              : QString());
        case Admission::Reply::Foreign:
            return nameOf(reply.client) + QStringLiteral(" foreign, recorded ")
                + MAbstractSocket::addressText(reply.udpAddress, reply.udpPort);
        case Admission::Reply::GaveUp:
            return nameOf(reply.client) + QStringLiteral(" gives up");
        case Admission::Reply::Done:
            break;
        }
        QString text = nameOf(reply.client);
        for (const QString& command : reply.tcpCommands)
            text += QStringLiteral(" tcp:") + command;
        if (!reply.udpCommand.isEmpty()) {
            text += QStringLiteral(" udp:")
                + MAbstractSocket::addressText(reply.udpAddress, reply.udpPort) + QLatin1Char(':')
                + reply.udpCommand;
        }
        if (reply.firstOfStep)
            text += QStringLiteral(" first");
        if (reply.timer == Admission::Reply::StartTimer)
            text += QStringLiteral(" +timer");
        else if (reply.timer == Admission::Reply::StopTimer)
            text += QStringLiteral(" -timer");
        if (reply.ready)
            text += QStringLiteral(" ready");
        return text;
    }

    QString state(QObject* client) const
    {
        const NonReadyClient* record = m_admission.find(client);
        if (!record)
            return QStringLiteral("gone");
        QString text = QStringLiteral("state %1 number %2 sent %3")
                           .arg(int(record->udpState))
                           .arg(record->seqNumber)
                           .arg(record->retryCount);
        if (record->udpPort != 0)
            text += QStringLiteral(" end ")
                + MAbstractSocket::addressText(record->udpAddress, record->udpPort);
        if (!record->clientIdName.isEmpty())
            text += QStringLiteral(" name ") + record->clientIdName;
        if (record->identified)
            text += QStringLiteral(" identified");
        return text;
    }

    int m_counter = 0;
    QObject m_a;
    QObject m_b;
    QHash<QString, QObject*> m_clients;
    Admission m_admission;
};

} // namespace

void TstAdmission::sequences_data()
{
    QTest::addColumn<QList<int>>("numbers"); // drawn in this order; empty: 1, 2, 3...
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("replies"); // one per event

    const QString request1 = QStringLiteral("a tcp:UDPREQUEST1 first +timer");
    const QString learnt = QStringLiteral("a tcp:YOURUDPI:P") + kEndA + QStringLiteral(" -timer");
    const QString probe2 = QStringLiteral("a udp:") + kEndA + QStringLiteral(":DOYOUCOPY?2");
    const QString toA = QStringLiteral(" from ") + kEndA;
    const QStringList start { QStringLiteral("a add"), QStringLiteral("a request") };
    const QStringList started { QString(), request1 };
    const QStringList copying
        = start + QStringList { QStringLiteral("response 1") + toA, QStringLiteral("a bound") };
    const QStringList probing
        = started + QStringList { learnt, probe2 + QStringLiteral(" first +timer") };

    QTest::newRow("in order, identified first") << QList<int>()
                                                << start
            + QStringList { QStringLiteral("a identify ann ok"), QStringLiteral("response 1") + toA,
                  QStringLiteral("a bound"), QStringLiteral("copy 2") + toA }
                                                << started
            + QStringList { QStringLiteral("a tcp:IDENTIFY:OK"), learnt,
                  probe2 + QStringLiteral(" first +timer"), QStringLiteral("a -timer ready") };
    QTest::newRow("UDP confirmed before the identification") << QList<int>()
                                                             << copying
            + QStringList { QStringLiteral("copy 2") + toA, QStringLiteral("a state"),
                  QStringLiteral("a identify ann ok") }
                                                             << probing
            + QStringList { QStringLiteral("a -timer"),
                  QStringLiteral("state 3 number 2 sent 0 end ") + kEndA,
                  QStringLiteral("a tcp:IDENTIFY:OK ready") };
    QTest::newRow("a repeated UDPRESPONSE changes nothing") << QList<int>()
                                                            << start
            + QStringList { QStringLiteral("response 1") + toA,
                  QStringLiteral("response 1 from ") + kEndB, QStringLiteral("a state") }
                                                            << started
            + QStringList { learnt, QStringLiteral("a ignored"),
                  QStringLiteral("state 2 number 1 sent 0 end ") + kEndA };
    QTest::newRow("UDPRESPONSE without a number or with a wrong one matches nobody") << QList<int>()
                                                                                     << start
            + QStringList { QStringLiteral("response 0") + toA, QStringLiteral("response 7") + toA,
                  QStringLiteral("a state") }
                                                                                     << started
            + QStringList { QStringLiteral("nobody"), QStringLiteral("nobody"),
                  QStringLiteral("state 1 number 1 sent 1") };
    QTest::newRow("IDOCOPY in the request step is out of order")
        << QList<int>()
        << start + QStringList { QStringLiteral("copy 1") + toA, QStringLiteral("a state") }
        << started
            + QStringList { QStringLiteral("a ignored"),
                  QStringLiteral("state 1 number 1 sent 1") };
    QTest::newRow("UDPI:PBOUND before the UDP end is known is ignored") << QList<int>()
                                                                        << start
            + QStringList { QStringLiteral("a bound"), QStringLiteral("a state"),
                  QStringLiteral("response 1") + toA, QStringLiteral("a bound") }
                                                                        << started
            + QStringList { QStringLiteral("a ignored"), QStringLiteral("state 1 number 1 sent 1"),
                  learnt, probe2 + QStringLiteral(" first +timer") };
    QTest::newRow("UDPI:PBOUND again repeats the probe with its number")
        << QList<int>()
        << copying + QStringList { QStringLiteral("a bound"), QStringLiteral("a state") }
        << probing
            + QStringList { probe2 + QStringLiteral(" +timer"),
                  QStringLiteral("state 2 number 2 sent 2 end ") + kEndA };
    QTest::newRow("after the confirmation UDPI:PBOUND starts no step") << QList<int>()
                                                                       << copying
            + QStringList { QStringLiteral("copy 2") + toA, QStringLiteral("a bound"),
                  QStringLiteral("a timeout"), QStringLiteral("a state") }
                                                                       << probing
            + QStringList { QStringLiteral("a -timer"), QStringLiteral("a ignored"),
                  QStringLiteral("a ignored -timer"),
                  QStringLiteral("state 3 number 2 sent 0 end ") + kEndA };
    QTest::newRow("a copy answer from another end is foreign and uses nothing up") << QList<int>()
                                                                                   << copying
            + QStringList { QStringLiteral("a identify ann ok"),
                  QStringLiteral("copy 2 from ") + kEndB, QStringLiteral("copy 2") + toA }
                                                                                   << probing
            + QStringList { QStringLiteral("a tcp:IDENTIFY:OK"),
                  QStringLiteral("a foreign, recorded ") + kEndA,
                  QStringLiteral("a -timer ready") };
    QTest::newRow("a late or repeated IDOCOPY is ignored") << QList<int>()
                                                           << copying
            + QStringList { QStringLiteral("copy 2") + toA, QStringLiteral("copy 2") + toA,
                  QStringLiteral("copy 1") + toA }
                                                           << probing
            + QStringList { QStringLiteral("a -timer"), QStringLiteral("a ignored"),
                  QStringLiteral("nobody") };
    QTest::newRow("the request step gives up after 20 messages; a later answer finds nobody")
        << QList<int>()
        << start + times(19, QStringLiteral("a timeout"))
            + QStringList { QStringLiteral("a timeout"), QStringLiteral("a remove"),
                  QStringLiteral("response 1") + toA }
        << started + times(19, QStringLiteral("a tcp:UDPREQUEST1 +timer"))
            + QStringList { QStringLiteral("a gives up"), QString(), QStringLiteral("nobody") };
    QTest::newRow("the copy step gives up after 20 probes")
        << QList<int>()
        << copying + times(19, QStringLiteral("a timeout"))
            + QStringList { QStringLiteral("a timeout") }
        << probing + times(19, probe2 + QStringLiteral(" +timer"))
            + QStringList { QStringLiteral("a gives up") };
    QTest::newRow("a refused name leaves the client waiting, free to try again") << QList<int>()
                                                                                 << copying
            + QStringList { QStringLiteral("copy 2") + toA,
                  QStringLiteral("a identify eve refused"), QStringLiteral("a state"),
                  QStringLiteral("a identify ann ok") }
                                                                                 << probing
            + QStringList { QStringLiteral("a -timer"), QStringLiteral("a tcp:IDENTIFY:FAIL"),
                  QStringLiteral("state 3 number 2 sent 0 end ") + kEndA
                      + QStringLiteral(" name eve"),
                  QStringLiteral("a tcp:IDENTIFY:OK ready") };
    QTest::newRow("two clients' answers reach their own records")
        << QList<int>()
        << QStringList { QStringLiteral("a add"), QStringLiteral("b add"),
               QStringLiteral("b request"), QStringLiteral("a request"),
               QStringLiteral("response 2 from ") + kEndB, QStringLiteral("b bound"),
               QStringLiteral("copy 3") + toA, QStringLiteral("a state") }
        << QStringList { QString(), QString(), QStringLiteral("b tcp:UDPREQUEST2 first +timer"),
               request1, QStringLiteral("b tcp:YOURUDPI:P") + kEndB + QStringLiteral(" -timer"),
               QStringLiteral("b udp:") + kEndB + QStringLiteral(":DOYOUCOPY?3 first +timer"),
               QStringLiteral("b foreign, recorded ") + kEndB,
               QStringLiteral("state 1 number 1 sent 1") };
    QTest::newRow("a number in use is drawn again, also for a new step")
        << QList<int> { 7, 7, 9, 9, 7, 11 }
        << QStringList { QStringLiteral("a add"), QStringLiteral("b add"),
               QStringLiteral("b state"), QStringLiteral("a request"),
               QStringLiteral("response 7") + toA, QStringLiteral("a bound") }
        << QStringList { QString(), QString(), QStringLiteral("state 1 number 9 sent 0"),
               QStringLiteral("a tcp:UDPREQUEST7 first +timer"),
               QStringLiteral("a tcp:YOURUDPI:P") + kEndA + QStringLiteral(" -timer"),
               QStringLiteral("a udp:") + kEndA + QStringLiteral(":DOYOUCOPY?11 first +timer") };
    QTest::newRow("a removed client answers nothing") << QList<int>()
                                                      << start
            + QStringList { QStringLiteral("a remove"), QStringLiteral("a request"),
                  QStringLiteral("a identify ann ok"), QStringLiteral("a timeout"),
                  QStringLiteral("a state") }
                                                      << started
            + QStringList { QString(), QStringLiteral("nobody"), QStringLiteral("nobody"),
                  QStringLiteral("nobody"), QStringLiteral("gone") };
}

void TstAdmission::sequences()
{
    QFETCH(QList<int>, numbers);
    QFETCH(QStringList, events);
    QFETCH(QStringList, replies);
    QCOMPARE(events.size(), replies.size());
    Script script(numbers);
    QStringList got;
    for (const QString& event : qAsConst(events))
        got << script.run(event);
    QCOMPARE(got, replies);
}

void TstAdmission::answersAreRead_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("number");
    QTest::newRow("UDPRESPONSE with its number")
        << QStringLiteral("UDPRESPONSE17") << int(Admission::Answer::UdpResponse) << 17;
    QTest::newRow("UDPRESPONSE alone reads as number 0")
        << QStringLiteral("UDPRESPONSE") << int(Admission::Answer::UdpResponse) << 0;
    QTest::newRow("IDOCOPY with its number")
        << QStringLiteral("IDOCOPY5") << int(Admission::Answer::CopyAnswer) << 5;
    QTest::newRow("IDOCOPY with letters reads as number 0")
        << QStringLiteral("IDOCOPYx") << int(Admission::Answer::CopyAnswer) << 0;
    QTest::newRow("a TCP step's keyword is no answer")
        << QStringLiteral("UDPI:PBOUND") << int(Admission::Answer::None) << -1;
    QTest::newRow("keywords match case-sensitively")
        << QStringLiteral("udpresponse1") << int(Admission::Answer::None) << -1;
}

void TstAdmission::answersAreRead()
{
    QFETCH(QString, command);
    QFETCH(int, answer);
    QFETCH(int, number);
    int read = -1;
    QCOMPARE(int(Admission::readAnswer(command, &read)), answer);
    QCOMPARE(read, number);
}

QTEST_GUILESS_MAIN(TstAdmission)
#include "tst_admission.moc"
