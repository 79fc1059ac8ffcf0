#pragma once

#include "commandtable.h"

#include <QtTest>

// The part of a client's command table test that every client shares: the
// columns, the rows of the client rules (which each receiver must answer
// through its own parse()), and the check of one row. Header-only: each test
// declares its Kind as a metatype before calling these.
namespace CommandTableRows {

template <typename Kind> void addColumns()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("rest");
}

template <typename Kind> void addClientRows()
{
    QTest::newRow("a protocol version") << "PROTOCOLVER1" << Kind::ProtocolVersion << "1";
    QTest::newRow("an identity answer") << "IDENTIFY:FAIL" << Kind::IdentifyResult << "FAIL";
    QTest::newRow("a UDP request with its token") << "UDPREQUEST17" << Kind::UdpRequest << "17";
    QTest::newRow("the external UDP end")
        << "YOURUDPI:P127.0.0.1:5000" << Kind::YourUdpIpPort << "127.0.0.1:5000";
    QTest::newRow("a copy probe") << "DOYOUCOPY?4" << Kind::DoYouCopy << "4";
    QTest::newRow("connected with any text after it")
        << "CONNECTED now" << Kind::Connected << " now";
    QTest::newRow("start voice exactly") << "STARTVOICE" << Kind::StartVoice << "";
    QTest::newRow("start voice with a trailing blank is unknown")
        << "STARTVOICE " << Kind::Unknown << "";
    QTest::newRow("start voice with trailing letters is unknown")
        << "STARTVOICENOW" << Kind::Unknown << "";
    QTest::newRow("start voice in small letters is unknown") << "startvoice" << Kind::Unknown << "";
    QTest::newRow("stop voice exactly") << "STOPVOICE" << Kind::StopVoice << "";
    QTest::newRow("stop voice with more is unknown") << "STOPVOICE!" << Kind::Unknown << "";
    QTest::newRow("an empty command is unknown") << "" << Kind::Unknown << "";
}

// One row through the receiver's parse(); the raw payload's argument must
// start where the text's does.
template <typename Kind, typename Parse> void check(Parse parse)
{
    QFETCH(QString, command);
    QFETCH(Kind, kind);
    QFETCH(QString, rest);
    const CommandTable::Match<Kind> parsed = parse(command);
    QCOMPARE(parsed.kind, kind);
    QCOMPARE(parsed.rest, rest);
    if (kind != Kind::Unknown)
        QCOMPARE(command.mid(parsed.keywordSize), rest);
}

} // namespace CommandTableRows
