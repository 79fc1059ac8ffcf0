#include "clientlist.h"

#include <QtTest>

using ClientList::Entry;
using Entries = QVector<Entry>;
Q_DECLARE_METATYPE(Entries)

namespace ClientList {

char* toString(const Entry& entry)
{
    return qstrdup(QStringLiteral("{%1 | %2 | %3}")
                       .arg(entry.tcpEnd, entry.udpEnd, entry.name)
                       .toUtf8()
                       .constData());
}

} // namespace ClientList

// The class list as the server writes it and the windows read it.
class TstClientList : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void foreignLists_data();
    void foreignLists();
};

namespace {

Entry entry(const char* tcp, const char* udp, const QString& name)
{
    return { QString::fromLatin1(tcp), QString::fromLatin1(udp), name };
}

} // namespace

void TstClientList::roundTrip_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QString>("text"); // after "CLLS"
    QTest::addColumn<Entries>("read");

    const Entry ann = entry("10.0.0.1:5000", "10.0.0.1:5001", QStringLiteral("ann"));
    const Entry bo = entry("10.0.0.2:6000", "10.0.0.2:6001", QStringLiteral("Bø"));
    QTest::newRow("no ready clients give the bare keyword") << Entries() << QString() << Entries();
    QTest::newRow("one client has no trailing separator")
        << Entries { ann } << QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001\\ann")
        << Entries { ann };
    QTest::newRow("two clients are joined by the list separator")
        << Entries { ann, bo }
        << QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001\\ann|10.0.0.2:6000\\10.0.0.2:6001\\Bø")
        << Entries { ann, bo };
    QTest::newRow("a list separator in a name is listed as the stand-in")
        << Entries { entry("1.1.1.1:1", "1.1.1.1:2", QStringLiteral("ann|bo")) }
        << QStringLiteral("1.1.1.1:1\\1.1.1.1:2\\ann_bo")
        << Entries { entry("1.1.1.1:1", "1.1.1.1:2", QStringLiteral("ann_bo")) };
    QTest::newRow("a field separator in a name is listed as the stand-in")
        << Entries { entry("1.1.1.1:1", "1.1.1.1:2", QStringLiteral("ann\\bo")) }
        << QStringLiteral("1.1.1.1:1\\1.1.1.1:2\\ann_bo")
        << Entries { entry("1.1.1.1:1", "1.1.1.1:2", QStringLiteral("ann_bo")) };
    QTest::newRow("a name that spells more entries stays one entry")
        << Entries { ann,
               entry("1.1.1.1:1", "1.1.1.1:2", QStringLiteral("x|6.6.6.6:6\\7.7.7.7:7\\eve")) }
        << QStringLiteral(
               "10.0.0.1:5000\\10.0.0.1:5001\\ann|1.1.1.1:1\\1.1.1.1:2\\x_6.6.6.6:6_7.7.7.7:7_eve")
        << Entries { ann,
               entry("1.1.1.1:1", "1.1.1.1:2", QStringLiteral("x_6.6.6.6:6_7.7.7.7:7_eve")) };
    QTest::newRow("a nameless client is written but left out when read")
        << Entries { entry("1.1.1.1:1", "1.1.1.1:2", QString()), ann }
        << QStringLiteral("1.1.1.1:1\\1.1.1.1:2\\|10.0.0.1:5000\\10.0.0.1:5001\\ann")
        << Entries { ann };
}

void TstClientList::roundTrip()
{
    QFETCH(Entries, entries);
    QFETCH(QString, text);
    QFETCH(Entries, read);
    QCOMPARE(ClientList::format(entries), text);
    QCOMPARE(ClientList::parse(text), read);
}

void TstClientList::foreignLists_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Entries>("read");
    QTest::addColumn<QStringList>("rejected");

    const Entry dora = entry("10.0.0.1:5000", "10.0.0.1:5001", QStringLiteral("Dora"));
    QTest::newRow("empty parts are dropped at both levels")
        << QStringLiteral("|10.0.0.1:5000\\\\10.0.0.1:5001\\Dora||") << Entries { dora }
        << QStringList();
    QTest::newRow("an entry with two fields is rejected")
        << QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001|10.0.0.1:5000\\10.0.0.1:5001\\Dora")
        << Entries { dora } << QStringList { QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001") };
    QTest::newRow("fields after the third are ignored")
        << QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001\\Dora\\extra") << Entries { dora }
        << QStringList();
    QTest::newRow("text without separators is one rejected entry")
        << QStringLiteral("garbage") << Entries() << QStringList { QStringLiteral("garbage") };
}

void TstClientList::foreignLists()
{
    QFETCH(QString, text);
    QFETCH(Entries, read);
    QFETCH(QStringList, rejected);
    QStringList gotRejected;
    QCOMPARE(ClientList::parse(text, &gotRejected), read);
    QCOMPARE(gotRejected, rejected);
}

QTEST_GUILESS_MAIN(TstClientList)
#include "tst_clientlist.moc"
