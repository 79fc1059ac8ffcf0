#include "datagramfanout.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

// The fan-out over real loopback sockets, with copies that differ per end as a
// secure class makes them: more ends than one batch of sealed copies, the
// sender left out, an end without a copy left out, every other end its own copy.
class TstDatagramFanOut : public QObject
{
    Q_OBJECT

private slots:
    void eachEndGetsItsOwnCopy_data();
    void eachEndGetsItsOwnCopy();
};

void TstDatagramFanOut::eachEndGetsItsOwnCopy_data()
{
    QTest::addColumn<int>("ends");
    QTest::newRow("fewer ends than a batch") << 5;
    QTest::newRow("ends over several batches") << 150;
}

void TstDatagramFanOut::eachEndGetsItsOwnCopy()
{
    QFETCH(int, ends);
    const QHostAddress local(QHostAddress::LocalHost);
    QUdpSocket sender;
    QVERIFY(sender.bind(local, 0));
    std::vector<std::unique_ptr<QUdpSocket>> receivers;
    QVector<DatagramFanOut::End> list;
    for (int i = 0; i < ends; ++i) {
        receivers.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(receivers.back()->bind(local, 0));
        list.append({ local, receivers.back()->localPort() });
    }
    DatagramFanOut fanOut(&sender);
    fanOut.setEnds(list);
    const DatagramFanOut::End skip = list.at(ends / 2);
    // Every seventh end has no copy (a secure class: no key yet).
    const auto copyFor = [&list](const QByteArray& datagram, const DatagramFanOut::End& end) {
        return list.indexOf(end) % 7 == 3 ? QByteArray()
                                          : datagram + QByteArray::number(end.second);
    };
    const int expected = ends - 1
        - int(std::count_if(list.cbegin(), list.cend(), [&](const DatagramFanOut::End& end) {
              return end != skip && list.indexOf(end) % 7 == 3;
          }));
    QCOMPARE(fanOut.send(QByteArray("copy for "), skip, copyFor), expected);
    // Plain, to everybody: once it has arrived, so has anything sent before it.
    QCOMPARE(fanOut.send(QByteArray("sentinel"), DatagramFanOut::End()), ends);
    for (int i = 0; i < ends; ++i) {
        QUdpSocket& receiver = *receivers[size_t(i)];
        QList<QByteArray> got;
        QVERIFY(QTest::qWaitFor([&] {
            while (receiver.hasPendingDatagrams())
                got.append(receiver.receiveDatagram().data());
            return got.contains("sentinel");
        }));
        QList<QByteArray> wanted;
        if (list.at(i) != skip && i % 7 != 3)
            wanted.append("copy for " + QByteArray::number(list.at(i).second));
        wanted.append("sentinel");
        QCOMPARE(got, wanted);
    }
}

QTEST_GUILESS_MAIN(TstDatagramFanOut)
#include "tst_datagramfanout.moc"
