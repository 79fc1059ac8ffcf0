// File transfer between assistant windows through a classroom server in this
// process, on the offscreen platform and the private audio server. Users'
// steps go through the window's own dialogs; scripted members put offers and
// chunks in front of a window that no real sender would make.

#include "classroomfixture.h"
#include "dfilereceiver.h"
#include "dfilesender.h"
#include "dtransferrules.h"
#include "filetransferwidget.h"
#include "logcapture.h"
#include "sessioncommands.h"

#include "audiotestmain.h"
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace ClassroomFixture;

namespace {

constexpr int kTransferTimeoutMs = 60000;

QString writeFile(const QTemporaryDir& dir, const QString& name, qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    QRandomGenerator generator(quint32(size) + 7);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(generator.generate() & 0xFF);
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != size)
        return QString();
    return path;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <typename T> T* named(const DMainWindow& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

// A window that has joined and switched its microphone off again: tests
// that stop the capture while it has barely started meet a race in the audio
// backend's capture stream.
std::unique_ptr<DMainWindow> openQuietWindow(Room& room, const QString& name)
{
    auto window = room.openWindow(name);
    if (!QTest::qWaitFor([&window] { return window->isSending(); }, kJoinTimeoutMs))
        return nullptr;
    window->on_btnToggleVoice_clicked();
    return window;
}

// Two windows in one class, both microphones off so that neither sender's
// rate reacts to the other's voice.
struct Pair
{
    Room room;
    std::unique_ptr<DMainWindow> ann;
    std::unique_ptr<DMainWindow> bob;

    bool open()
    {
        ann = room.openWindow(QStringLiteral("Ann"));
        if (!QTest::qWaitFor([this] { return ann->isSending(); }, kJoinTimeoutMs))
            return false;
        bob = room.openWindow(QStringLiteral("Bob"));
        if (!QTest::qWaitFor([this] { return bob->isSending(); }, kJoinTimeoutMs))
            return false;
        ann->on_btnToggleVoice_clicked();
        bob->on_btnToggleVoice_clicked();
        return QTest::qWaitFor([this] { return !ann->isPlaybackOn() && !bob->isPlaybackOn(); });
    }
};

// Types a path into a file dialog's name field and confirms it, as a user
// would (the field may have focus, which selectFile() leaves alone).
void typeAndAccept(QFileDialog* dialog, const QString& path)
{
    auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (field)
        field->setText(path);
    else
        dialog->selectFile(path);
    // QFileDialog hides its accept(); the dialog's own button calls it.
    static_cast<QDialog*>(dialog)->accept();
}

// Clicks "Send File..." and picks path in the window's file dialog.
bool sendFile(DMainWindow& window, const QString& path)
{
    QPushButton* button = named<QPushButton>(window, "btnSendFile");
    if (!QTest::qWaitFor([button] { return button->isEnabled(); }))
        return false;
    QTest::mouseClick(button, Qt::LeftButton);
    if (!QTest::qWaitFor([&window] {
            return named<QFileDialog>(window, DFileSender::kOpenDialogName) != nullptr;
        }))
        return false;
    typeAndAccept(named<QFileDialog>(window, DFileSender::kOpenDialogName), path);
    return true;
}

QMessageBox* waitForOffer(const DMainWindow& window)
{
    const bool shown = QTest::qWaitFor(
        [&window] { return named<QMessageBox>(window, DFileReceiver::kOfferBoxName) != nullptr; });
    return !shown ? nullptr : named<QMessageBox>(window, DFileReceiver::kOfferBoxName);
}

// Answers the offer box; with a path, also the save dialog.
bool answerOffer(const DMainWindow& window, const QString& savePath)
{
    QMessageBox* box = waitForOffer(window);
    if (!box)
        return false;
    box->button(savePath.isEmpty() ? QMessageBox::No : QMessageBox::Yes)->click();
    if (savePath.isEmpty())
        return true;
    if (!QTest::qWaitFor([&window] {
            return named<QFileDialog>(window, DFileReceiver::kSaveDialogName) != nullptr;
        }))
        return false;
    typeAndAccept(named<QFileDialog>(window, DFileReceiver::kSaveDialogName), savePath);
    return true;
}

FileTransferWidget* completedRow(const DMainWindow& window, int index)
{
    return window.fileReceiverObject()->rowWidget(true, index);
}

int rowCount(const DMainWindow& window)
{
    return named<QListWidget>(window, "lwFileTransfers")->count();
}

// Frames sent by a scripted member before this returns have reached window.
bool settled(ClassroomClient* member, const DMainWindow& window)
{
    static int serial = 0;
    const QString marker = QStringLiteral("settle-%1").arg(++serial);
    member->sendText(member->identity(), marker);
    return QTest::qWaitFor([&] { return chatText(window).contains(marker); });
}

QString offer(int id, const QString& name, qint64 size, const QString& sender)
{
    const QString sep = SessionCommand::kListSeparator;
    return SessionCommand::kFileX + QString::number(id) + sep + name + sep + QString::number(size)
        + sep + sender;
}

} // namespace

class TestFileTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void zeroByteFile();
    void fewMegabytesArriveIntact();
    void refusingWritesNothing();
    void senderCancels();
    void receiverCancelsLocally();
    void endingTheSessionStopsSendingAndTheReceiverGivesUp();
    void hostileChunks_data();
    void hostileChunks();
    void offeredNamesAreBareAndShownAsText();
    void aFailedWriteLeavesNoFile();
    void rateClimbsWithoutVoiceAndStepsDownWhenVoiceSuffers();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestFileTransfer::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("PULSE_SERVER"), "run through with-pulse.sh (ctest)");
    m_log = std::make_unique<LogCapture>(LogCapture::Forward);
}

void TestFileTransfer::cleanupTestCase()
{
    m_log.reset();
}

void TestFileTransfer::init()
{
    m_log->clear();
}

void TestFileTransfer::zeroByteFile()
{
    Pair pair;
    QVERIFY(pair.open());
    ClassroomClient* cy = pair.room.join(QStringLiteral("Cy"));
    QTRY_VERIFY_WITH_TIMEOUT(cy->isReady(), kJoinTimeoutMs);
    QTemporaryDir dir;
    const QString source = writeFile(dir, QStringLiteral("empty.txt"), 0);
    const QString target = dir.filePath(QStringLiteral("received.txt"));

    QVERIFY(sendFile(*pair.ann, source));
    QMessageBox* box = waitForOffer(*pair.bob);
    QVERIFY(box);
    QCOMPARE(box->windowTitle(), QStringLiteral("Accept File Transfer"));
    QVERIFY2(box->text().contains(QStringLiteral("File Name: <b>empty.txt</b>")),
        qPrintable(box->text()));
    QVERIFY(box->text().contains(QStringLiteral("Size: <b>0.00 Bytes</b>")));
    QVERIFY(answerOffer(*pair.bob, target));

    QTRY_VERIFY(QFile::exists(target));
    QCOMPARE(QFileInfo(target).size(), 0);
    QTRY_VERIFY(completedRow(*pair.bob, 0));
    QCOMPARE(completedRow(*pair.bob, 0)->progressText(), QStringLiteral("Completed"));
    QVERIFY(pair.bob->fileReceiverObject()->runningIds().isEmpty());
    QVERIFY(named<QGroupBox>(*pair.bob, "grpFileTransfers")->isVisible());

    // The offer and one empty chunk: the identity and chunk number 0.
    QTRY_COMPARE(cy->payloads(ExtraData, false).size(), 1);
    const QByteArray chunk = cy->payloads(ExtraData, false).constFirst();
    QCOMPARE(chunk.size(), 8);
    QCOMPARE(chunk.mid(4), QByteArray(4, '\0'));
    QVERIFY(named<QPushButton>(*pair.ann, "btnSendFile")->isEnabled());

    // A completed row opens its file; its menu offers the file, its folder
    // and removing it from the list.
    DFileReceiver* receiver = pair.bob->fileReceiverObject();
    QSignalSpy opened(receiver, &DFileReceiver::openFileRequested);
    auto* list = named<QListWidget>(*pair.bob, "lwFileTransfers");
    pair.bob->on_lwFileTransfers_itemActivated(list->item(0));
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.constFirst().value(0).toString(), target);

    pair.bob->on_lwFileTransfers_customContextMenuRequested(
        list->visualItemRect(list->item(0)).center());
    auto* menu = named<QMenu>(*pair.bob, DFileReceiver::kMenuName);
    QVERIFY(menu);
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    QCOMPARE(texts,
        (QStringList { QStringLiteral("&Open"), QStringLiteral("Open &Folder"), QStringLiteral("-"),
            QStringLiteral("&Remove From List") }));
    menu->actions().constLast()->trigger();
    menu->close();
    QCOMPARE(list->count(), 0);
    QVERIFY(receiver->completedTransfers().isEmpty());
    QTRY_VERIFY(!named<QGroupBox>(*pair.bob, "grpFileTransfers")->isVisible());
    QVERIFY(QFile::exists(target));
}

void TestFileTransfer::fewMegabytesArriveIntact()
{
    Pair pair;
    QVERIFY(pair.open());
    QTemporaryDir dir;
    const QString source = writeFile(dir, QStringLiteral("lecture.bin"), 3 * 1024 * 1024 + 321);
    const QString target = dir.filePath(QStringLiteral("copy.bin"));

    QVERIFY(sendFile(*pair.ann, source));
    QVERIFY(waitForOffer(*pair.bob)->text().contains(
        QStringLiteral("Size: <b>3.00 MiB (3146049 Bytes)</b>")));
    QVERIFY(answerOffer(*pair.bob, target));

    // The sender shows its progress, the receiver a running row.
    QVERIFY(named<QProgressBar>(*pair.ann, "prgSendFile")->isVisible());
    QVERIFY(!named<QPushButton>(*pair.ann, "btnSendFile")->isVisible());
    const int id = pair.ann->fileSenderObject()->currentTransferId();
    QVERIFY(id > 0);
    QTRY_VERIFY(pair.bob->fileReceiverObject()->rowWidget(false, id)
        && pair.bob->fileReceiverObject()->rowWidget(false, id)->progress() > 0);
    QCOMPARE(pair.bob->fileReceiverObject()->rowWidget(false, id)->fileNameText(),
        QStringLiteral("lecture.bin"));
    QVERIFY(!QFile::exists(target));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(target), kTransferTimeoutMs);
    QCOMPARE(contents(target), contents(source));
    QTRY_VERIFY(!pair.ann->fileSenderObject()->isSending());
    QVERIFY(named<QPushButton>(*pair.ann, "btnSendFile")->isVisible());
    QVERIFY(!named<QProgressBar>(*pair.ann, "prgSendFile")->isVisible());
    QCOMPARE(completedRow(*pair.bob, 0)->progressText(), QStringLiteral("Completed"));
    QCOMPARE(completedRow(*pair.bob, 0)->sizeText(), QStringLiteral("3.00 MiB"));
    // Nothing but the file itself is left in its folder.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

void TestFileTransfer::refusingWritesNothing()
{
    Pair pair;
    QVERIFY(pair.open());
    QTemporaryDir dir;
    QTemporaryDir saveDir;
    const QString source = writeFile(dir, QStringLiteral("slides.bin"), 40000);

    QVERIFY(sendFile(*pair.ann, source));
    QTRY_VERIFY(pair.bob->fileReceiverObject()->runningIds().size() == 1);
    const int id = pair.bob->fileReceiverObject()->runningIds().constFirst();
    QVERIFY(answerOffer(*pair.bob, QString()));

    QVERIFY(!named<QFileDialog>(*pair.bob, DFileReceiver::kSaveDialogName));
    QTRY_COMPARE(rowCount(*pair.bob), 0);
    // Chunks are still counted until the whole file has gone by.
    QTRY_VERIFY_WITH_TIMEOUT(!pair.ann->fileSenderObject()->isSending(), kTransferTimeoutMs);
    QTRY_VERIFY(!pair.bob->fileReceiverObject()->record(id));
    QVERIFY(pair.bob->fileReceiverObject()->completedTransfers().isEmpty());
    QVERIFY(!named<QGroupBox>(*pair.bob, "grpFileTransfers")->isVisible());
    QVERIFY(QDir(saveDir.path()).entryList(QDir::Files).isEmpty());
}

void TestFileTransfer::senderCancels()
{
    Pair pair;
    QVERIFY(pair.open());
    QTemporaryDir dir;
    const QString source = writeFile(dir, QStringLiteral("video.bin"), 4 * 1024 * 1024);
    const QString target = dir.filePath(QStringLiteral("video-copy.bin"));

    QVERIFY(sendFile(*pair.ann, source));
    QVERIFY(answerOffer(*pair.bob, target));
    const int id = pair.ann->fileSenderObject()->currentTransferId();
    QTRY_VERIFY(pair.bob->fileReceiverObject()->record(id)
        && pair.bob->fileReceiverObject()->record(id)->received > 0);

    QTest::mouseClick(named<QPushButton>(*pair.ann, "btnCancelSendFile"), Qt::LeftButton);
    auto* question = named<QMessageBox>(*pair.ann, DFileSender::kCancelBoxName);
    QVERIFY(question);
    QCOMPARE(question->windowTitle(), QStringLiteral("Cancel file transfer?"));
    QCOMPARE(question->text(),
        QStringLiteral("Are you sure you want to cancel sending <b>video.bin</b>?"));
    question->button(QMessageBox::Yes)->click();
    QVERIFY(!pair.ann->fileSenderObject()->isSending());
    QVERIFY(named<QPushButton>(*pair.ann, "btnSendFile")->isVisible());

    QTRY_VERIFY(named<QMessageBox>(*pair.bob, DFileReceiver::kAbortedBoxName));
    QCOMPARE(named<QMessageBox>(*pair.bob, DFileReceiver::kAbortedBoxName)->text(),
        QStringLiteral("File transfer operation was aborted by the sender for file "
                       "<b>video.bin</b> being sent by <b>Ann</b>."));
    QVERIFY(!pair.bob->fileReceiverObject()->record(id));
    QTRY_VERIFY(completedRow(*pair.bob, 0));
    FileTransferWidget* row = completedRow(*pair.bob, 0);
    QCOMPARE(row->progressText(), QStringLiteral("Cancelled"));
    QCOMPARE(row->fileNameText(), QStringLiteral("<i>video.bin</i>"));
    QVERIFY(row->sizeText().isEmpty());
    // Half a file is no file: nothing under the chosen name, no leftovers.
    QVERIFY(!QFile::exists(target));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { QStringLiteral("video.bin") });
}

void TestFileTransfer::receiverCancelsLocally()
{
    Pair pair;
    QVERIFY(pair.open());
    ClassroomClient* cy = pair.room.join(QStringLiteral("Cy"));
    QTRY_VERIFY_WITH_TIMEOUT(cy->isReady(), kJoinTimeoutMs);
    QTemporaryDir dir;
    const QString source = writeFile(dir, QStringLiteral("notes.bin"), 200000);
    const QString target = dir.filePath(QStringLiteral("notes-copy.bin"));

    QVERIFY(sendFile(*pair.ann, source));
    QVERIFY(answerOffer(*pair.bob, target));
    const int id = pair.ann->fileSenderObject()->currentTransferId();
    QTRY_VERIFY(pair.bob->fileReceiverObject()->rowWidget(false, id));

    auto* list = named<QListWidget>(*pair.bob, "lwFileTransfers");
    const QRect rowRect = list->visualItemRect(list->item(0));
    pair.bob->on_lwFileTransfers_customContextMenuRequested(rowRect.center());
    auto* menu = named<QMenu>(*pair.bob, DFileReceiver::kMenuName);
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("Item Menu"));
    QCOMPARE(menu->actions().size(), 1);
    QCOMPARE(menu->actions().constFirst()->text(), QStringLiteral("&Cancel"));
    menu->actions().constFirst()->trigger();
    menu->close();

    QCOMPARE(rowCount(*pair.bob), 0);
    QVERIFY(!pair.bob->fileReceiverObject()->record(id)->accepted);
    // The sender is not told and goes on to the end.
    QVERIFY(pair.ann->fileSenderObject()->isSending());
    QTRY_VERIFY_WITH_TIMEOUT(!pair.ann->fileSenderObject()->isSending(), kTransferTimeoutMs);
    QTRY_VERIFY(!pair.bob->fileReceiverObject()->record(id));
    for (const QString& command : cy->commands())
        QVERIFY(!command.startsWith(SessionCommand::kCancelFileX));
    QVERIFY(!QFile::exists(target));
}

void TestFileTransfer::endingTheSessionStopsSendingAndTheReceiverGivesUp()
{
    Pair pair;
    QVERIFY(pair.open());
    pair.bob->fileReceiverObject()->setStallTimeout(1500);
    QTemporaryDir dir;
    const QString source = writeFile(dir, QStringLiteral("big.bin"), 4 * 1024 * 1024);
    const QString target = dir.filePath(QStringLiteral("big-copy.bin"));

    QVERIFY(sendFile(*pair.ann, source));
    QVERIFY(answerOffer(*pair.bob, target));
    const int id = pair.ann->fileSenderObject()->currentTransferId();
    QTRY_VERIFY(pair.bob->fileReceiverObject()->record(id)
        && pair.bob->fileReceiverObject()->record(id)->received > 0);

    pair.ann->endConnection();
    QVERIFY(!pair.ann->fileSenderObject()->isSending());
    QVERIFY(chatText(*pair.ann).contains(
        QStringLiteral("Sending big.bin stopped: the session ended.")));
    QVERIFY(!named<QPushButton>(*pair.ann, "btnSendFile")->isEnabled());
    // A few ticks with no socket at all.
    QTest::qWait(400);

    // Chunks stop coming: after the stall time the row says so and the
    // buffer is gone.
    QTRY_VERIFY_WITH_TIMEOUT(!pair.bob->fileReceiverObject()->record(id), 10000);
    QTRY_VERIFY(completedRow(*pair.bob, 0));
    QCOMPARE(completedRow(*pair.bob, 0)->progressText(), QStringLiteral("Stalled"));
    QVERIFY(!QFile::exists(target));
}

void TestFileTransfer::hostileChunks_data()
{
    QTest::addColumn<bool>("offered"); // size 10000 announced first
    QTest::addColumn<quint32>("number");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("times");
    QTest::addColumn<qint64>("received"); // -1: no record at all
    QTest::addColumn<QString>("diagnostic");

    // What the book keeps of strays, duplicates and chunks outside the file
    // is tst_transferbook's; here the window gets them through the server.
    QTest::newRow("a chunk sent twice counts once")
        << true << 1u << 4096 << 2 << qint64(4096) << QStringLiteral("dropped: seen before");
    QTest::newRow("a chunk within the bound before any offer is kept")
        << false << 3u << 10 << 1 << qint64(10) << QString();
}

void TestFileTransfer::hostileChunks()
{
    QFETCH(bool, offered);
    QFETCH(quint32, number);
    QFETCH(int, length);
    QFETCH(int, times);
    QFETCH(qint64, received);
    QFETCH(QString, diagnostic);

    Room room;
    auto bob = openQuietWindow(room, QStringLiteral("Bob"));
    QVERIFY(bob);
    ClassroomClient* eve = room.join(QStringLiteral("Eve"));
    QTRY_VERIFY_WITH_TIMEOUT(eve->isReady(), kJoinTimeoutMs);

    const int id = 77;
    if (offered) {
        eve->sendCommand(offer(id, QStringLiteral("data.bin"), 10000, QStringLiteral("Eve")));
        QVERIFY(waitForOffer(*bob));
    }
    for (int i = 0; i < times; ++i)
        eve->sendXData(QByteArray(length, 'x'), id, int(number));
    QVERIFY(settled(eve, *bob));

    const FileTransferRecord* record = bob->fileReceiverObject()->record(id);
    if (received < 0) {
        QVERIFY(!record);
    } else {
        QVERIFY(record);
        QCOMPARE(record->received, received);
        QVERIFY(record->data.size() <= (offered ? 10000 : DFileReceiver::kPreOfferBound));
    }
    if (!diagnostic.isEmpty())
        QVERIFY(m_log->contains(diagnostic));
    if (!offered && received > 0) {
        QTRY_VERIFY(bob->fileReceiverObject()->rowWidget(false, id));
        QCOMPARE(bob->fileReceiverObject()->rowWidget(false, id)->fileNameText(),
            QStringLiteral("<i>[Unknown File]</i>"));
    }
}

void TestFileTransfer::offeredNamesAreBareAndShownAsText()
{
    Room room;
    auto bob = openQuietWindow(room, QStringLiteral("Bob"));
    QVERIFY(bob);
    ClassroomClient* eve = room.join(QStringLiteral("Eve"));
    QTRY_VERIFY_WITH_TIMEOUT(eve->isReady(), kJoinTimeoutMs);

    eve->sendCommand(offer(5, QStringLiteral("../../.config/autostart/run<b>.sh"), 3,
        QStringLiteral("<img src='x'>Eve")));
    QMessageBox* box = waitForOffer(*bob);
    QVERIFY(box);
    QVERIFY2(box->text().contains(QStringLiteral("File Name: <b>run&lt;b&gt;.sh</b>")),
        qPrintable(box->text()));
    QVERIFY(box->text().contains(QStringLiteral("from <b>&lt;img src='x'&gt;Eve</b>")));
    box->button(QMessageBox::Yes)->click();

    QTRY_VERIFY(named<QFileDialog>(*bob, DFileReceiver::kSaveDialogName));
    auto* dialog = named<QFileDialog>(*bob, DFileReceiver::kSaveDialogName);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Save File As"));
    QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), QStringLiteral("run<b>.sh"));
    QCOMPARE(bob->fileReceiverObject()->record(5)->fileName, QStringLiteral("run<b>.sh"));
    dialog->reject();
    QTRY_VERIFY(
        !bob->fileReceiverObject()->record(5) || !bob->fileReceiverObject()->record(5)->accepted);
}

void TestFileTransfer::aFailedWriteLeavesNoFile()
{
    Room room;
    auto bob = openQuietWindow(room, QStringLiteral("Bob"));
    QVERIFY(bob);
    ClassroomClient* eve = room.join(QStringLiteral("Eve"));
    QTRY_VERIFY_WITH_TIMEOUT(eve->isReady(), kJoinTimeoutMs);
    QTemporaryDir dir;
    // A plain file where the folder should be: nothing can be written there.
    const QString blocker = writeFile(dir, QStringLiteral("not-a-folder"), 1);
    const QString target = blocker + QStringLiteral("/out.bin");

    eve->sendCommand(offer(9, QStringLiteral("out.bin"), 10, QStringLiteral("Eve")));
    eve->sendXData(QByteArray(10, 'y'), 9, 0);
    QVERIFY(settled(eve, *bob));
    waitForOffer(*bob)->button(QMessageBox::Yes)->click();
    QTRY_VERIFY(named<QFileDialog>(*bob, DFileReceiver::kSaveDialogName));
    auto* dialog = named<QFileDialog>(*bob, DFileReceiver::kSaveDialogName);
    // As the dialog reports a choice; its own checks of the folder are Qt's.
    emit dialog->fileSelected(target);
    dialog->close();

    QTRY_VERIFY(named<QMessageBox>(*bob, DFileReceiver::kWriteErrorBoxName));
    auto* error = named<QMessageBox>(*bob, DFileReceiver::kWriteErrorBoxName);
    QCOMPARE(error->windowTitle(), QStringLiteral("Error"));
    QCOMPARE(error->text(), QStringLiteral("Could not open file \"%1\" for writing.").arg(target));
    QVERIFY(!QFile::exists(target));
    QVERIFY(!bob->fileReceiverObject()->record(9));
    QTRY_VERIFY(completedRow(*bob, 0));
    QCOMPARE(completedRow(*bob, 0)->progressText(), QStringLiteral("Not saved"));
}

void TestFileTransfer::rateClimbsWithoutVoiceAndStepsDownWhenVoiceSuffers()
{
    Room room;
    auto ann = openQuietWindow(room, QStringLiteral("Ann"));
    QVERIFY(ann);
    ClassroomClient* cy = room.join(QStringLiteral("Cy"));
    QTRY_VERIFY_WITH_TIMEOUT(cy->isReady(), kJoinTimeoutMs);
    QTemporaryDir dir;
    const QString source = writeFile(dir, QStringLiteral("long.bin"), 12 * 1024 * 1024);

    DFileSender* sender = ann->fileSenderObject();
    QSignalSpy levels(sender, &DFileSender::rateLevelChanged);
    QVERIFY(sendFile(*ann, source));
    // Nobody speaks to Ann: her decoder reports nothing and the rate climbs
    // one second at a time to the top of the table.
    QTRY_COMPARE_WITH_TIMEOUT(levels.count(), 4, 15000);
    QList<int> seen;
    for (const QList<QVariant>& change : qAsConst(levels))
        seen << change.value(0).toInt();
    QCOMPARE(seen, (QList<int> { 6, 8, 10, 12 }));

    // The decoder's count drops between two reports: one level down at the
    // next whole second.
    ann->decoderStatsPropagated(50, 4400, 50, 0);
    ann->decoderStatsPropagated(41, 3608, 41, 0);
    QTRY_COMPARE_WITH_TIMEOUT(levels.count(), 5, 5000);
    QCOMPARE(levels.constLast().value(0).toInt(), 11);
    QVERIFY(sender->isSending());
    ann->endConnection();
}

CLASSROOM_AUDIO_TEST_MAIN(TestFileTransfer)
#include "tst_filetransfer.moc"
