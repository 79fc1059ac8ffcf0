// DMainWindow against a classroom server in this process, on the offscreen
// platform and the private audio server: real sockets, real widgets, real
// audio devices. Other class members are scripted clients (ClassroomClient)
// over loopback; what they send that the server does not interpret is relayed
// to the window unchanged, which lets a test put any command in front of it.

#include "assistantconfig.h"
#include "classroomclient.h"
#include "classroomfixture.h"
#include "dmainwindow.h"
#include "logcapture.h"
#include "mstudentserver.h"
#include "server.h"
#include "servercli.h"
#include "serversettings.h"
#include "sessioncommands.h"

#include "audiotestmain.h"
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

constexpr int kJoinTimeoutMs = 15000;

// One classroom server on loopback ports chosen by the system.
using TestClass = ClassroomFixture::Room;
using ClassroomFixture::chatText;

QString chatHtml(const DMainWindow& window)
{
    return window.findChild<QTextEdit*>(QStringLiteral("txtMessages"))->toHtml();
}

QString lastChatLine(const DMainWindow& window)
{
    const QStringList lines = chatText(window).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.constLast().trimmed();
}

QListWidget* listWidget(const DMainWindow& window)
{
    return window.findChild<QListWidget*>(QStringLiteral("lwClients"));
}

QStringList clientNames(const DMainWindow& window)
{
    QStringList names;
    const QListWidget* list = listWidget(window);
    for (int i = 0; i < list->count(); ++i)
        names << list->item(i)->text();
    return names;
}

QString labelText(const DMainWindow& window, const char* name)
{
    return window.findChild<QLabel*>(QLatin1String(name))->text();
}

bool isReady(const DMainWindow& window)
{
    return chatText(window).contains(QStringLiteral("Voice Initialized"));
}

// A window that never finds a server: the discard port is closed on loopback.
AssistantConfig offlineConfig()
{
    AssistantConfig c;
    c.serverTcpPort = 9;
    c.serverUdpPort = 9;
    return c;
}

const QString kPurpleLine = QStringLiteral(
    "Two clients are already speaking. You can't send or receive voice until they are finished.");

} // namespace

class TestDMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_log.reset(); }
    void init();

    void handshakeEndsInVoiceInitialized();
    void emptyIdentityBecomesLocalAddress();
    void chatLines_data();
    void chatLines();
    void sendingWithoutServerKeepsInput();
    void clientList_data();
    void clientList();
    void reSentClientListKeepsSelection();
    void peerInformationIsPlainText();
    void refusalEndsSession_data();
    void refusalEndsSession();
    void serverRefusesIdentity();
    void newAddressSaysGoodbyeToOldServer();
    void voiceCommands_data();
    void voiceCommands();
    void speakerLimit_data();
    void speakerLimit();
    void statisticsLabel_data();
    void statisticsLabel();
    void liveStatisticsCountSentVoice();
    void transfersGroup_data();
    void transfersGroup();
    void closingSaysGoodbye();
    void clearScrollbackFromTheContextMenu();
    void udpTextProbeMarksTextOverUdp();

private:
    // The process's diagnostics, for tests that look for log lines.
    std::unique_ptr<LogCapture> m_log;
};

void TestDMainWindow::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("PULSE_SERVER"), "run through with-pulse.sh (ctest)");
    m_log = std::make_unique<LogCapture>(LogCapture::Forward);
}

void TestDMainWindow::init()
{
    m_log->clear();
}

void TestDMainWindow::handshakeEndsInVoiceInitialized()
{
    TestClass room;
    QVERIFY(room.isListening());
    auto window = room.openWindow(QStringLiteral("Ann"));

    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);
    QVERIFY(chatText(*window).contains(QStringLiteral("Server connected.")));
    QCOMPARE(labelText(*window, "lblnetstat"), QStringLiteral("Connection OK"));
    QCOMPARE(room.readyCount(), 1);
    QTRY_COMPARE(clientNames(*window), QStringList { QStringLiteral("Ann") });
    QCOMPARE(window->windowTitle(), QStringLiteral("Test Ann"));
}

void TestDMainWindow::emptyIdentityBecomesLocalAddress()
{
    TestClass room;
    auto window = room.openWindow(QString());
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);
    QTRY_COMPARE(listWidget(*window)->count(), 1);

    // The server lists each client under its name, with the TCP end it sees:
    // the window's own local end, which is what the empty name became.
    const QListWidgetItem* item = listWidget(*window)->item(0);
    const QString tcpEnd = item->data(Qt::UserRole).toString().section(QLatin1Char('#'), 0, 0);
    QCOMPARE(item->text(), tcpEnd);
    QCOMPARE(window->configuration().identity, tcpEnd);
    QVERIFY(tcpEnd.startsWith(QStringLiteral("127.0.0.1:")));
}

void TestDMainWindow::chatLines_data()
{
    QTest::addColumn<QString>("sender"); // empty: the window itself
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shownLine");
    QTest::addColumn<QString>("colour");

    QTest::newRow("own message shows as Me in blue")
        << QString() << QStringLiteral("hello all") << QStringLiteral("Me: hello all")
        << QStringLiteral("#0000ff");
    QTest::newRow("markup in a message stays text")
        << QStringLiteral("Bob") << QStringLiteral("<img src='x.png'><a href='http://x'>go</a>")
        << QStringLiteral("Bob: <img src='x.png'><a href='http://x'>go</a>") << QString();
}

void TestDMainWindow::chatLines()
{
    QFETCH(QString, sender);
    QFETCH(QString, message);
    QFETCH(QString, shownLine);
    QFETCH(QString, colour);

    TestClass room;
    auto window = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);

    if (sender.isEmpty()) {
        window->findChild<QLineEdit*>(QStringLiteral("leTextData"))->setText(message);
        QTest::mouseClick(
            window->findChild<QPushButton*>(QStringLiteral("btnSend")), Qt::LeftButton);
        QVERIFY(window->findChild<QLineEdit*>(QStringLiteral("leTextData"))->text().isEmpty());
    } else {
        ClassroomClient* other = room.join(sender);
        QVERIFY(other);
        QTRY_VERIFY_WITH_TIMEOUT(other->isReady(), kJoinTimeoutMs);
        // The server speaks for the name: whatever the packet says, the
        // identified name is what the window gets.
        other->sendText(QStringLiteral("someone else"), message);
    }

    QTRY_COMPARE(lastChatLine(*window), shownLine);
    const QString html = chatHtml(*window);
    if (!colour.isEmpty())
        QVERIFY2(html.contains(colour, Qt::CaseInsensitive), qPrintable(html));
    // Markup that got through would be in the document as elements.
    QVERIFY(!html.contains(QStringLiteral("<img")));
    QVERIFY(!html.contains(QStringLiteral("<a ")));
    QVERIFY(!html.contains(QStringLiteral("<i>")));
}

void TestDMainWindow::sendingWithoutServerKeepsInput()
{
    DMainWindow window { offlineConfig() };
    window.show();
    // The connection was tried and refused: the TCP socket is there but unusable.
    QTRY_COMPARE(labelText(window, "lblnetstat"), QStringLiteral("Disconnected"));
    auto* input = window.findChild<QLineEdit*>(QStringLiteral("leTextData"));
    input->setText(QStringLiteral("anyone there?"));
    QTest::keyClick(input, Qt::Key_Return);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("btnSend")), Qt::LeftButton);

    QCOMPARE(input->text(), QStringLiteral("anyone there?"));
    QVERIFY(!chatText(window).contains(QStringLiteral("anyone there?")));
}

void TestDMainWindow::clientList_data()
{
    QTest::addColumn<QString>("list"); // after "CLLS"
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("connections");

    QTest::newRow("a bare list empties it") << QString() << QStringList() << QStringList();
    QTest::newRow("two entries give two rows")
        << QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001\\Dora|10.0.0.2:6000\\10.0.0.2:6001\\Emil")
        << QStringList { QStringLiteral("Dora"), QStringLiteral("Emil") }
        << QStringList { QStringLiteral("10.0.0.1:5000#10.0.0.1:5001"),
               QStringLiteral("10.0.0.2:6000#10.0.0.2:6001") };
    QTest::newRow("empty parts are dropped")
        << QStringLiteral("|10.0.0.1:5000\\\\10.0.0.1:5001\\Dora||")
        << QStringList { QStringLiteral("Dora") }
        << QStringList { QStringLiteral("10.0.0.1:5000#10.0.0.1:5001") };
    QTest::newRow("an entry without a name is left out")
        << QStringLiteral("10.0.0.1:5000\\10.0.0.1:5001|10.0.0.3:7000\\10.0.0.3:7001\\Cy")
        << QStringList { QStringLiteral("Cy") }
        << QStringList { QStringLiteral("10.0.0.3:7000#10.0.0.3:7001") };
}

void TestDMainWindow::clientList()
{
    QFETCH(QString, list);
    QFETCH(QStringList, names);
    QFETCH(QStringList, connections);

    TestClass room;
    auto [window, other] = room.windowWithMember(QStringLiteral("Ann"), QStringLiteral("Bob"));
    QVERIFY(other);
    QTRY_COMPARE(listWidget(*window)->count(), 2);

    other->sendCommand(SessionCommand::kClientList + list);
    QTRY_COMPARE(clientNames(*window), names);
    QStringList shown;
    for (int i = 0; i < listWidget(*window)->count(); ++i)
        shown << listWidget(*window)->item(i)->data(Qt::UserRole).toString();
    QCOMPARE(shown, connections);
}

void TestDMainWindow::reSentClientListKeepsSelection()
{
    TestClass room;
    auto ann = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*ann), kJoinTimeoutMs);
    auto bob = room.openWindow(QStringLiteral("Bob"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*bob), kJoinTimeoutMs);
    QTRY_COMPARE(listWidget(*ann)->count(), 2);

    listWidget(*ann)->setCurrentRow(1);
    ClassroomClient* cy = room.join(QStringLiteral("Cy"));
    QTRY_VERIFY_WITH_TIMEOUT(cy->isReady(), kJoinTimeoutMs);
    QTRY_COMPARE(listWidget(*ann)->count(), 3);
    QCOMPARE(listWidget(*ann)->currentRow(), 1);

    // A row that no longer exists is not selected again.
    listWidget(*ann)->setCurrentRow(2);
    cy->exitClass();
    QTRY_COMPARE(listWidget(*ann)->count(), 2);
    QCOMPARE(listWidget(*ann)->currentRow(), -1);
}

void TestDMainWindow::peerInformationIsPlainText()
{
    TestClass room;
    auto [window, other]
        = room.windowWithMember(QStringLiteral("Ann"), QStringLiteral("<img src='x.png'>"));
    QVERIFY(other);
    QTRY_COMPARE(listWidget(*window)->count(), 2);

    QListWidgetItem* item = listWidget(*window)
                                ->findItems(QStringLiteral("<img src='x.png'>"), Qt::MatchExactly)
                                .value(0);
    QVERIFY(item);
    window->on_lwClients_itemActivated(item);

    auto* box = window->findChild<QMessageBox*>(QLatin1String(DMainWindow::kPeerInfoBoxName));
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QCOMPARE(box->windowTitle(), QStringLiteral("Peer Information"));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    const QStringList parts = item->data(Qt::UserRole).toString().split(QLatin1Char('#'));
    QCOMPARE(box->text(),
        QStringLiteral("Peer: <img src='x.png'>\nTCP Connection: %1\nUDP Connection: %2")
            .arg(parts.value(0), parts.value(1)));
    box->close();
    QTRY_VERIFY(!window->findChild<QMessageBox*>(QLatin1String(DMainWindow::kPeerInfoBoxName)));
}

void TestDMainWindow::refusalEndsSession_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("boxName");
    QTest::addColumn<QString>("boxText");

    QTest::newRow("a server of protocol version 2")
        << QString(SessionCommand::kProtocolVer + QStringLiteral("2"))
        << QString::fromLatin1(DMainWindow::kVersionBoxName)
        << QStringLiteral("The version of the server you are trying to connect to is different "
                          "from the version of this client.\nPlease update your client program.");
    QTest::newRow("an identity refused")
        << QString(SessionCommand::kIdentifyReply + SessionCommand::kIdentifyFail)
        << QString::fromLatin1(DMainWindow::kIdentityBoxName)
        << QStringLiteral("Identification Failed!\nPlease make sure you have permission and "
                          "credentials to join the current class.");
}

void TestDMainWindow::refusalEndsSession()
{
    QFETCH(QString, command);
    QFETCH(QString, boxName);
    QFETCH(QString, boxText);

    TestClass room;
    auto [window, other] = room.windowWithMember(QStringLiteral("Ann"), QStringLiteral("Bob"));
    QVERIFY(other);
    QTRY_VERIFY(window->isSending());

    m_log->clear();
    other->sendCommand(command);

    QTRY_VERIFY(window->findChild<QMessageBox*>(boxName));
    auto* box = window->findChild<QMessageBox*>(boxName);
    QCOMPARE(box->windowTitle(), QStringLiteral("Connection Error!"));
    QCOMPARE(box->text(), boxText);
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QVERIFY(!window->isConnecting());
    QVERIFY(!window->isSending());
    // The window said goodbye before it went: the server saw CLIENTEXIT, not
    // a dropped connection.
    QTRY_VERIFY(m_log->contains(QStringLiteral("Client exited")));
    QTRY_COMPARE(room.readyCount(), 1);

    box->close();
    QTRY_VERIFY(!window->findChild<QMessageBox*>(boxName));
}

void TestDMainWindow::serverRefusesIdentity()
{
    TestClass room(QStringList { QStringLiteral("Ann") });
    auto window = room.openWindow(QStringLiteral("Mallory"));

    const QString name = QString::fromLatin1(DMainWindow::kIdentityBoxName);
    QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QMessageBox*>(name), kJoinTimeoutMs);
    QVERIFY(!window->isConnecting());
    QVERIFY(!isReady(*window));
    QCOMPARE(room.readyCount(), 0);
    window->findChild<QMessageBox*>(name)->close();
}

void TestDMainWindow::newAddressSaysGoodbyeToOldServer()
{
    TestClass first;
    TestClass second;
    auto window = first.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);
    QCOMPARE(first.readyCount(), 1);

    QTest::mouseClick(
        window->findChild<QPushButton*>(QStringLiteral("btnRefreshConnection")), Qt::LeftButton);
    auto* dialog = window->findChild<QInputDialog*>(QLatin1String(DMainWindow::kAddressDialogName));
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Server Address"));
    QCOMPARE(dialog->labelText(), QStringLiteral("Enter server Address:Port :"));
    QCOMPARE(dialog->textValue(), QStringLiteral("127.0.0.1:%1").arg(first.tcpPort()));

    // The entry names one port for both TCP and UDP; only the goodbye to the
    // first server and the new address matter here.
    m_log->clear();
    dialog->setTextValue(QStringLiteral("127.0.0.1:%1").arg(second.tcpPort()));
    dialog->accept();

    QTRY_VERIFY(m_log->contains(QStringLiteral("Client exited")));
    QTRY_COMPARE(first.readyCount(), 0);
    QCOMPARE(window->configuration().serverTcpPort, second.tcpPort());
    QCOMPARE(window->configuration().serverUdpPort, second.tcpPort());
}

void TestDMainWindow::voiceCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("plays");
    QTest::addColumn<bool>("unknown");

    // Which texts are the command is the table's (tst_assistantcommand); the
    // window plays, or logs the text as unknown.
    QTest::newRow("STARTVOICE starts playback")
        << QString(SessionCommand::kStartVoice) << true << false;
    QTest::newRow("STARTVOICE with a trailing blank is unknown")
        << QString(SessionCommand::kStartVoice + QStringLiteral(" ")) << false << true;
}

void TestDMainWindow::voiceCommands()
{
    QFETCH(QString, command);
    QFETCH(bool, plays);
    QFETCH(bool, unknown);

    TestClass room;
    auto window = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);
    QTRY_VERIFY(window->isVoiceAllowed());
    ClassroomClient* other = room.join(QStringLiteral("Bob"));
    QTRY_VERIFY_WITH_TIMEOUT(other->isReady(), kJoinTimeoutMs);
    QVERIFY(!window->isPlaybackOn());

    other->sendCommand(command);
    const QString unknownLine = SessionCommand::kUnknownCommand + command;
    QTRY_VERIFY(window->isPlaybackOn() == plays && m_log->contains(unknownLine) == unknown);
    // Settle: a late change would show up here.
    other->sendCommand(SessionCommand::kGetNClients);
    QTRY_VERIFY(other->lastArgument(SessionCommand::kNClients) == QStringLiteral("2"));
    QCOMPARE(window->isPlaybackOn(), plays);
    QCOMPARE(labelText(*window, "lblspstat"),
        plays ? QStringLiteral("Sound Started") : QStringLiteral("No Sound"));

    if (plays) {
        other->sendCommand(SessionCommand::kStopVoice);
        QTRY_VERIFY(!window->isPlaybackOn());
        QCOMPARE(labelText(*window, "lblspstat"), QStringLiteral("No Sound"));
    }
}

void TestDMainWindow::speakerLimit_data()
{
    QTest::addColumn<int>("speakersBefore"); // announced before the window joins
    QTest::addColumn<int>("speakersAfter"); // announced once the window has settled
    QTest::addColumn<bool>("sending");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("refused");

    QTest::newRow("an empty floor starts sending by itself") << 0 << 0 << true << true << false;
    QTest::newRow("two speakers refuse a newcomer") << 2 << 0 << false << false << true;
    QTest::newRow("a third speaker changes nothing for a speaker")
        << 0 << 2 << true << true << false;
}

void TestDMainWindow::speakerLimit()
{
    QFETCH(int, speakersBefore);
    QFETCH(int, speakersAfter);
    QFETCH(bool, sending);
    QFETCH(bool, allowed);
    QFETCH(bool, refused);

    TestClass room;
    const auto speak = [&room](int count, int offset) {
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("Speaker%1").arg(offset + i);
            ClassroomClient* client = room.join(name);
            QTRY_VERIFY_WITH_TIMEOUT(client->isReady(), kJoinTimeoutMs);
            client->sendCommand(SessionCommand::kStartVoice);
            client->sendCommand(SessionCommand::kForSpyStartVoice + name);
        }
    };
    speak(speakersBefore, 0);
    QTRY_COMPARE(room.server()->speakerCount(), speakersBefore);

    auto window = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);
    const int own = sending ? 1 : 0;
    QTRY_COMPARE(window->lastSpeakerCount(), speakersBefore + own);

    speak(speakersAfter, speakersBefore);
    QTRY_COMPARE(window->lastSpeakerCount(), speakersBefore + own + speakersAfter);

    QCOMPARE(window->isSending(), sending);
    QCOMPARE(window->isVoiceAllowed(), allowed);
    QCOMPARE(window->hasBeenSpeaker(), sending);
    QCOMPARE(
        window->findChild<QPushButton*>(QStringLiteral("btnToggleVoice"))->isEnabled(), allowed);
    QCOMPARE(chatText(*window).contains(kPurpleLine), refused);
    QCOMPARE(chatHtml(*window).contains(QStringLiteral("#8000ff"), Qt::CaseInsensitive), refused);
    QCOMPARE(labelText(*window, "lblVoiceStat"),
        sending ? QStringLiteral("Sending Voice.\nClick to mute.")
                : QStringLiteral("Voice\nNot Initialized."));
    if (refused)
        QCOMPARE(labelText(*window, "lblspstat"), QStringLiteral("No Sound"));
}

void TestDMainWindow::statisticsLabel_data()
{
    QTest::addColumn<QList<int>>("encoder");
    QTest::addColumn<QList<int>>("decoder");
    QTest::addColumn<QString>("text");

    // The line's rules are DVoiceRules' (tst_dvoicerules); the window shows it.
    QTest::newRow("a decoder shows no rate")
        << QList<int> { 49, 4312, 2, 1 } << QList<int> { 48, 4224, 0, 0 }
        << QStringLiteral("Encoder: 49 packets, 4312 bytes, 66.67% success; "
                          "Decoder: 48 packets, 4224 bytes.");
}

void TestDMainWindow::statisticsLabel()
{
    QFETCH(QList<int>, encoder);
    QFETCH(QList<int>, decoder);
    QFETCH(QString, text);

    DMainWindow window { offlineConfig() };
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize size = window.size();
    window.encoderStatsPropagated(encoder[0], encoder[1], encoder[2], encoder[3]);
    window.decoderStatsPropagated(decoder[0], decoder[1], decoder[2], decoder[3]);
    QCOMPARE(labelText(window, "lblStatistics"), text);
    // The line is longer than the window is wide: it wraps in the status bar
    // instead of pushing the window wider every time a count grows a digit.
    QCoreApplication::processEvents();
    QCOMPARE(window.width(), size.width());
    const auto* label = window.findChild<QLabel*>(QStringLiteral("lblStatistics"));
    QVERIFY(label->width() <= window.width());
    QTRY_VERIFY(label->height() >= label->heightForWidth(label->width()));
}

void TestDMainWindow::liveStatisticsCountSentVoice()
{
    TestClass room;
    auto window = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(window->isSending(), kJoinTimeoutMs);

    // Once a second the encoder reports the packets of the last second; with
    // the microphone running they are voice datagrams, all of them sent.
    const QRegularExpression sentVoice(
        QStringLiteral("^Encoder: [1-9][0-9]* packets, [1-9][0-9]* bytes, 100\\.00% success;"));
    QTRY_VERIFY_WITH_TIMEOUT(
        sentVoice.match(labelText(*window, "lblStatistics")).hasMatch(), 10000);
}

void TestDMainWindow::transfersGroup_data()
{
    QTest::addColumn<QString>("steps"); // s = show, h = hide, f = forced hide
    QTest::addColumn<int>("heightChange");
    QTest::addColumn<bool>("visible");

    QTest::newRow("hidden at start") << QString() << 0 << false;
    QTest::newRow("showing grows by the group and two") << QStringLiteral("s") << 102 << true;
    QTest::newRow("showing twice grows once") << QStringLiteral("ss") << 102 << true;
    QTest::newRow("hiding twice shrinks once") << QStringLiteral("shh") << 2 << false;
    QTest::newRow("a forced hide shrinks even when hidden") << QStringLiteral("f") << -100 << false;
}

void TestDMainWindow::transfersGroup()
{
    QFETCH(QString, steps);
    QFETCH(int, heightChange);
    QFETCH(bool, visible);

    DMainWindow window { offlineConfig() };
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* group = window.findChild<QGroupBox*>(QStringLiteral("grpFileTransfers"));
    QCOMPARE(group->title(), QStringLiteral(" File Transfers "));
    QCOMPARE(group->height(), 100);
    const int start = window.height();

    for (const QChar step : steps) {
        if (step == QLatin1Char('s'))
            window.showFileTransfers();
        else if (step == QLatin1Char('h'))
            window.hideFileTransfers();
        else
            window.hideFileTransfers(true);
    }
    QTRY_COMPARE(window.height(), start + heightChange);
    QCOMPARE(group->isVisible(), visible);
}

void TestDMainWindow::closingSaysGoodbye()
{
    TestClass room;
    auto window = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(window->isSending(), kJoinTimeoutMs);
    QTRY_COMPARE(room.server()->speakerCount(), 1);

    m_log->clear();
    window->close();
    QTRY_VERIFY(m_log->contains(QStringLiteral("Client exited")));
    QTRY_COMPARE(room.readyCount(), 0);
    // Sending stopped first, with its announcements.
    QVERIFY(!window->isSending());
    QCOMPARE(room.server()->speakerCount(), 0);
}

void TestDMainWindow::clearScrollbackFromTheContextMenu()
{
    DMainWindow window { offlineConfig() };
    window.show();
    window.appendText(QStringLiteral("<b>something</b>\r\n"));
    QVERIFY(!chatText(window).isEmpty());

    window.on_txtMessages_customContextMenuRequested(QPoint(5, 5));
    QMenu* menu = window.findChild<QMenu*>();
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("Item Menu"));
    QCOMPARE(menu->actions().size(), 1);
    QAction* clear = menu->actions().constFirst();
    QCOMPARE(clear->text(), QStringLiteral("Clear Scrollback"));
    clear->trigger();
    QVERIFY(chatText(window).isEmpty());
    menu->close();
}

void TestDMainWindow::udpTextProbeMarksTextOverUdp()
{
    TestClass room(QStringList(), true);
    auto window = room.openWindow(QStringLiteral("Ann"));
    QTRY_VERIFY_WITH_TIMEOUT(isReady(*window), kJoinTimeoutMs);

    window->findChild<QLineEdit*>(QStringLiteral("leTextData"))->setText(QStringLiteral("hi"));
    window->sendTextData();

    // Over TCP as usual, plus the probe's copies: what came over UDP is
    // marked by the window, what went out over UDP by its "[CS-UDP] ".
    const QStringList expected { QStringLiteral("Me: hi"), QStringLiteral("Me: [ST-UDP] hi"),
        QStringLiteral("Me: [Client Confirms UDP] [SC-UDP] hi"),
        QStringLiteral("Me: [Server Confirms Udp] [CS-UDP] hi") };
    const auto lines = [&window] {
        QStringList trimmed;
        const QStringList all = chatText(*window).split(QLatin1Char('\n'));
        for (const QString& line : all)
            trimmed << line.trimmed();
        return trimmed;
    };
    for (const QString& line : expected)
        QTRY_VERIFY2(lines().contains(line), qPrintable(line));
}

CLASSROOM_AUDIO_TEST_MAIN(TestDMainWindow)
#include "tst_dmainwindow.moc"
