#include "secureclass.h"
#include "sessioncommands.h"

#include <QtTest>

using SecureClass::Role;
using namespace SessionCommand;

Q_DECLARE_METATYPE(Role)

// The rules of a secure class as tables: codes to roles, the names a student may
// not take, the commands only staff may send, and the refusal throttle on an
// injected clock.
class TstSecureClass : public QObject
{
    Q_OBJECT

private slots:
    void roleOfCode_data();
    void roleOfCode();
    void studentMayTake_data();
    void studentMayTake();
    void staffOnlyCommands_data();
    void staffOnlyCommands();
    void throttle_data();
    void throttle();
    void throttleForgetsStaleAddresses();
    void invitation_data();
    void invitation();
};

void TstSecureClass::roleOfCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("staffCode");
    QTest::addColumn<QString>("studentCode");
    QTest::addColumn<Role>("role");
    const QString staff = QStringLiteral("oak-7");
    const QString pupil = QStringLiteral("elm-3");
    QTest::newRow("the staff code makes staff") << staff << staff << pupil << Role::Staff;
    QTest::newRow("the students' code makes a student") << pupil << staff << pupil << Role::Student;
    QTest::newRow("a wrong code makes nobody")
        << QStringLiteral("ash-1") << staff << pupil << Role::None;
    QTest::newRow("a missing code makes nobody") << QString() << staff << pupil << Role::None;
    QTest::newRow("codes are matched in their letter case")
        << QStringLiteral("OAK-7") << staff << pupil << Role::None;
    QTest::newRow("a code with a trailing blank is another code")
        << QStringLiteral("oak-7 ") << staff << pupil << Role::None;
    QTest::newRow("an empty code never matches an unset staff code")
        << QString() << QString() << pupil << Role::None;
    QTest::newRow("only a students' code: the staff code is unset")
        << staff << QString() << pupil << Role::None;
    QTest::newRow("one code for both makes staff") << staff << staff << staff << Role::Staff;
}

void TstSecureClass::roleOfCode()
{
    QFETCH(QString, code);
    QFETCH(QString, staffCode);
    QFETCH(QString, studentCode);
    QFETCH(Role, role);
    QCOMPARE(SecureClass::roleOfCode(code, staffCode, studentCode), role);
}

void TstSecureClass::studentMayTake_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("the teacher's fixed name") << QString(kTeacherSender) << false;
    QTest::newRow("the server's fixed name") << QString(kServerSender) << false;
    QTest::newRow("a staff member's name") << QStringLiteral("Ms Lee") << false;
    QTest::newRow("another staff member's name") << QStringLiteral("Mr Ode") << false;
    QTest::newRow("a name of its own") << QStringLiteral("ann") << true;
    QTest::newRow("a staff name in other letters is another name")
        << QStringLiteral("ms lee") << true;
    QTest::newRow("the fixed name without its bars") << QStringLiteral("Teacher") << true;
}

void TstSecureClass::studentMayTake()
{
    QFETCH(QString, name);
    QFETCH(bool, allowed);
    const QStringList staff { QStringLiteral("Ms Lee"), QStringLiteral("Mr Ode") };
    QCOMPARE(SecureClass::studentMayTake(name, staff), allowed);
}

void TstSecureClass::staffOnlyCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("staffOnly");
    QTest::newRow("removing others") << kCloseAllClients + QStringLiteral("bo|cy") << true;
    QTest::newRow("ending the lesson") << QString(kClassFinished) << true;
    QTest::newRow("allowing a call") << kAllowCall + QStringLiteral("ann") << true;
    QTest::newRow("starting voice") << QString(kStartVoice) << true;
    QTest::newRow("stopping voice") << QString(kStopVoice) << true;
    QTest::newRow("counting oneself a speaker")
        << kForSpyStartVoice + QStringLiteral("ann") << true;
    QTest::newRow("leaving the speakers") << kForSpyStopVoice + QStringLiteral("ann") << true;
    QTest::newRow("offering a file") << kFileX + QStringLiteral("3|a.txt|10") << true;
    QTest::newRow("cancelling a file") << kCancelFileX + QStringLiteral("3") << true;
    QTest::newRow("setting the voice format") << kVoiceFormat + QStringLiteral("1") << true;
    QTest::newRow("calling the teacher") << kCallTeacher + QStringLiteral("ann") << false;
    QTest::newRow("answering a ping") << kPong + QStringLiteral("17") << false;
    QTest::newRow("asking the count") << QString(kGetNClients) << false;
    QTest::newRow("asking a transfer id") << QString(kGetUniqueXDataId) << false;
    QTest::newRow("leaving") << QString(kClientExit) << false;
    QTest::newRow("the keyword in the middle") << QStringLiteral("x") + kClassFinished << false;
}

void TstSecureClass::staffOnlyCommands()
{
    QFETCH(QString, command);
    QFETCH(bool, staffOnly);
    QCOMPARE(SecureClass::isStaffOnlyCommand(command), staffOnly);
}

void TstSecureClass::throttle_data()
{
    QTest::addColumn<QList<qint64>>("failures");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<qint64>("at");
    QTest::addColumn<bool>("refused");
    const QString from = QStringLiteral("192.0.2.7");
    const QList<qint64> five { 0, 1000, 2000, 3000, 4000 };
    QTest::newRow("four failures are heard")
        << QList<qint64> { 0, 1, 2, 3 } << from << qint64(4) << false;
    QTest::newRow("the fifth within a minute refuses") << five << from << qint64(4001) << true;
    QTest::newRow("refused until 30 s have passed") << five << from << qint64(33999) << true;
    QTest::newRow("heard again after 30 s") << five << from << qint64(34000) << false;
    QTest::newRow("another address is heard")
        << five << QStringLiteral("192.0.2.8") << qint64(4001) << false;
    QTest::newRow("five spread over more than a minute are heard")
        << QList<qint64> { 0, 20000, 40000, 59000, 60000 } << from << qint64(60001) << false;
    QTest::newRow("failures after a refusal start a new count") << QList<qint64> { 0, 1, 2, 3, 4,
        40000, 40001, 40002, 40003 } << from << qint64(40004) << false;
    QTest::newRow("five more after a refusal refuse again")
        << QList<qint64> { 0, 1, 2, 3, 4, 40000, 40001, 40002, 40003, 40004 } << from
        << qint64(40005) << true;
}

void TstSecureClass::throttle()
{
    QFETCH(QList<qint64>, failures);
    QFETCH(QString, asked);
    QFETCH(qint64, at);
    QFETCH(bool, refused);
    AdmissionThrottle throttle;
    const QHostAddress from(QStringLiteral("192.0.2.7"));
    for (const qint64 failure : qAsConst(failures))
        throttle.failed(from, failure);
    QCOMPARE(throttle.refused(QHostAddress(asked), at), refused);
}

void TstSecureClass::throttleForgetsStaleAddresses()
{
    AdmissionThrottle throttle;
    for (int i = 0; i < AdmissionThrottle::kSweepSize; ++i)
        throttle.failed(QHostAddress(quint32(0x0a000000 + i)), 0);
    // A minute later one more failure sweeps the old ones out; a refused address stays.
    const QHostAddress guesser(QStringLiteral("192.0.2.9"));
    for (qint64 at = 60000; at < 60005; ++at)
        throttle.failed(guesser, at);
    QCOMPARE(throttle.size(), 1);
    QVERIFY(throttle.refused(guesser, 60005));
}

void TstSecureClass::invitation_data()
{
    QTest::addColumn<QString>("studentCode");
    QTest::addColumn<QString>("line");
    const QString print(64, QLatin1Char('a'));
    QTest::newRow("students join with the options it names")
        << "pupils"
        << "Secure class: pupil -t10.0.0.2:4060 -kpupils -f" + print;
    QTest::newRow("without a students' code only staff can join")
        << ""
        << "Secure class for staff only, certificate fingerprint " + print;
}

void TstSecureClass::invitation()
{
    QFETCH(QString, studentCode);
    QTEST(SecureClass::invitationLine(
              QStringLiteral("10.0.0.2:4060"), studentCode, QString(64, QLatin1Char('a'))),
        "line");
    // A server on every address is named by an address students can reach.
    const QHostAddress shown = SecureClass::addressForStudents(QHostAddress(QHostAddress::AnyIPv4));
    QVERIFY(shown.protocol() == QAbstractSocket::IPv4Protocol);
    QVERIFY(shown != QHostAddress(QHostAddress::AnyIPv4));
    QCOMPARE(SecureClass::addressForStudents(QHostAddress(QStringLiteral("10.0.0.2"))),
        QHostAddress(QStringLiteral("10.0.0.2")));
}

QTEST_GUILESS_MAIN(TstSecureClass)
#include "tst_secureclassrules.moc"
