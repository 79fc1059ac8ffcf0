#include "dfilereceiver.h"

#include "chatformat.h"
#include "dmessagebox.h"
#include "dtransferrules.h"
#include "filetransferwidget.h"

#include <QAction>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>

using namespace DTransferRules;

const char* const DFileReceiver::kOfferBoxName = "acceptFileTransferBox";
const char* const DFileReceiver::kSaveDialogName = "saveFileAsDialog";
const char* const DFileReceiver::kAbortedBoxName = "transferAbortedBox";
const char* const DFileReceiver::kWriteErrorBoxName = "transferWriteErrorBox";
const char* const DFileReceiver::kMenuName = "transfersMenu";

namespace {

constexpr int kCompletedRole = Qt::UserRole;
constexpr int kIndexRole = Qt::UserRole + 1;
constexpr int kStallCheckMs = 1000;

} // namespace

DFileReceiver::DFileReceiver(
    QListWidget* list, const Actions& actions, QWidget* owner, QObject* parent)
    : QObject(parent), m_list(list), m_actions(actions), m_owner(owner),
      m_stallTimer(new QTimer(this))
{
    m_clock.start();
    m_stallTimer->setInterval(kStallCheckMs);
    connect(m_stallTimer, &QTimer::timeout, this, &DFileReceiver::checkStalls);
    for (QAction* action : { m_actions.open, m_actions.openFolder, m_actions.removeFromList,
             m_actions.cleanList, m_actions.cancel }) {
        connect(action, &QAction::triggered, this, [this, action] { menuAction(action); });
    }
}

DFileReceiver::~DFileReceiver() = default;

void DFileReceiver::setStallTimeout(int ms)
{
    m_stallMs = ms;
    m_stallTimer->setInterval(qBound(10, ms / 4, kStallCheckMs));
}

const FileTransferRecord* DFileReceiver::record(int id) const
{
    return m_book.record(id);
}

QList<int> DFileReceiver::runningIds() const
{
    return m_book.runningIds();
}

void DFileReceiver::offerReceived(const QString& peerText, const QByteArray& offer)
{
    const TransferBook::Offer offered = m_book.offerReceived(offer, now());
    switch (offered.result) {
    case TransferBook::OfferResult::Malformed:
    case TransferBook::OfferResult::Ignored:
        return;
    case TransferBook::OfferResult::TooLarge:
        m_stallTimer->start();
        emit statusLine(ChatFormat::noticeLine(
            QStringLiteral("%1 from %2 was refused: it is larger than %3.")
                .arg(offered.fileName, offered.senderName, sizeText(kMaxTransferBytes, false))));
        refreshList();
        return;
    case TransferBook::OfferResult::Ask:
        break;
    }
    m_stallTimer->start();

    const int id = offered.id;
    QMessageBox* box = DMessageBox::open(m_owner, kOfferBoxName, QMessageBox::Question,
        QStringLiteral("Accept File Transfer"),
        QStringLiteral("Receive the following file from <b>%1</b> (%2)?<br/><br/>\n\n"
                       "File Name: <b>%3</b><br/>\nSize: <b>%4</b>")
            .arg(offered.senderName.toHtmlEscaped(), peerText.toHtmlEscaped(),
                offered.fileName.toHtmlEscaped(), sizeText(offered.size, true)),
        QMessageBox::Yes | QMessageBox::No);
    box->setProperty("transferId", id);
    connect(box, &QMessageBox::finished, this, [this, box, id](int) {
        if (m_dialogs.value(id) != box)
            return;
        if (box->standardButton(box->clickedButton()) == QMessageBox::Yes)
            askSavePath(id);
        else
            decided(id, QString());
    });
    m_dialogs.insert(id, box);
    refreshList();
}

void DFileReceiver::askSavePath(int id)
{
    const FileTransferRecord* rec = m_book.record(id);
    auto* dialog = new QFileDialog(m_owner, QStringLiteral("Save File As"));
    dialog->setObjectName(QLatin1String(kSaveDialogName));
    dialog->setProperty("transferId", id);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(QStringLiteral("All Files (*.*)"));
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    dialog->setDirectory(downloads.isEmpty() ? QDir::homePath() : downloads);
    dialog->selectFile(rec->fileName);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::fileSelected, this, [this, dialog, id](const QString& path) {
        if (m_dialogs.value(id) == dialog)
            decided(id, path);
    });
    connect(dialog, &QDialog::rejected, this, [this, dialog, id] {
        if (m_dialogs.value(id) == dialog)
            decided(id, QString());
    });
    m_dialogs.insert(id, dialog);
    dialog->open();
}

void DFileReceiver::decided(int id, const QString& path)
{
    if (!m_book.record(id))
        return;
    m_dialogs.remove(id);
    m_book.decided(id, path);
    settleFinished();
    refreshList();
}

void DFileReceiver::chunkReceived(const QByteArray& payload)
{
    const TransferBook::Chunk chunk = m_book.chunkReceived(payload, now());
    if (chunk.result == TransferBook::ChunkResult::Dropped)
        return;
    m_stallTimer->start();
    settleFinished();
    if (chunk.result == TransferBook::ChunkResult::Counted)
        return;
    // A new row, or a finished transfer moving to the completed rows, needs
    // the whole list; otherwise only this row's progress moves.
    if (chunk.created || m_book.completedVersion() != m_shownCompletedVersion
        || !m_book.record(chunk.id))
        refreshList();
    else
        updateRow(chunk.id);
}

void DFileReceiver::settleFinished()
{
    for (const TransferBook::Finished& done : m_book.takeFinished()) {
        // Its answer, if any, finds no record and is dropped.
        if (const QPointer<QWidget> dialog = m_dialogs.take(done.id))
            dialog->close();
        if (done.outcome == TransferOutcome::NotSaved) {
            DMessageBox::open(m_owner, kWriteErrorBoxName, QMessageBox::Critical,
                QStringLiteral("Error"),
                QStringLiteral("Could not open file \"%1\" for writing.").arg(done.savePath),
                QMessageBox::Ok, Qt::PlainText);
        }
    }
    if (m_book.isEmpty())
        m_stallTimer->stop();
}

void DFileReceiver::cancelReceived(int id)
{
    const FileTransferRecord* rec = m_book.record(id);
    if (!rec)
        return;
    const QString fileName = rec->fileName;
    const QString senderName = rec->senderName;
    // What arrived so far is not the file: nothing is written.
    if (m_book.cancelReceived(id)) {
        DMessageBox::open(m_owner, kAbortedBoxName, QMessageBox::Warning,
            QStringLiteral("File Transfer"),
            QStringLiteral("File transfer operation was aborted by the sender for file <b>%1</b> "
                           "being sent by <b>%2</b>.")
                .arg(fileName.toHtmlEscaped(), senderName.toHtmlEscaped()));
    }
    settleFinished();
    refreshList();
}

void DFileReceiver::removeTransfer(bool completed, int index)
{
    if (completed) {
        m_book.removeCompleted(index);
    } else if (m_book.record(index)) {
        if (const QPointer<QWidget> dialog = m_dialogs.take(index))
            dialog->close();
        m_book.cancelLocally(index);
        settleFinished();
    }
    refreshList();
}

void DFileReceiver::checkStalls()
{
    const QList<int> stalled = m_book.endStalled(now(), m_stallMs);
    settleFinished();
    if (!stalled.isEmpty())
        refreshList();
}

FileTransferWidget* DFileReceiver::rowWidget(bool completed, int index) const
{
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem* item = m_list->item(i);
        if (item->data(kCompletedRole).toBool() == completed
            && item->data(kIndexRole).toInt() == index)
            return qobject_cast<FileTransferWidget*>(m_list->itemWidget(item));
    }
    return nullptr;
}

void DFileReceiver::updateRow(int id)
{
    const FileTransferRecord* rec = m_book.record(id);
    QListWidgetItem* item = m_rows.value(id);
    if (!rec || !item)
        return;
    auto* row = qobject_cast<FileTransferWidget*>(m_list->itemWidget(item));
    if (!row->isFileXReceived() && rec->offerSeen) {
        row->setFileName(rec->fileName);
        row->setSizeText(sizeText(rec->size, false));
        row->setFileXReceived(true);
    }
    if (!rec->offerSeen) {
        row->setFileName(QString());
        row->setSizeText(sizeText(rec->received, false));
    } else if (rec->size > 0) {
        row->setProgress(int(double(rec->received) * 100.0 / double(rec->size)));
    }
}

void DFileReceiver::refreshList()
{
    bool changed = false;
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        const FileTransferRecord* rec = m_book.record(it.key());
        if (!rec || !rec->accepted) {
            delete m_list->takeItem(m_list->row(it.value()));
            it = m_rows.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    for (int id : m_book.runningIds()) {
        if (!m_book.record(id)->accepted || m_rows.contains(id))
            continue;
        auto* item = new QListWidgetItem;
        item->setData(kCompletedRole, false);
        item->setData(kIndexRole, id);
        m_list->insertItem(m_rows.size(), item);
        auto* row = new FileTransferWidget;
        row->setIndex(id);
        row->setCompleted(false);
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
        m_rows.insert(id, item);
        changed = true;
    }
    for (auto it = m_rows.constBegin(); it != m_rows.constEnd(); ++it)
        updateRow(it.key());

    if (m_book.completedVersion() != m_shownCompletedVersion) {
        rebuildCompletedRows();
        changed = true;
    }
    if (!changed)
        return;
    fitNames();
    if (m_list->count() == 0)
        emit hideTransfersRequested();
    else
        emit showTransfersRequested();
}

void DFileReceiver::rebuildCompletedRows()
{
    m_shownCompletedVersion = m_book.completedVersion();
    const QList<CompletedTransfer>& completed = m_book.completed();
    for (int i = m_list->count() - 1; i >= 0; --i) {
        if (m_list->item(i)->data(kCompletedRole).toBool())
            delete m_list->takeItem(i);
    }
    for (int i = 0; i < completed.size(); ++i) {
        const CompletedTransfer& done = completed.at(i);
        auto* item = new QListWidgetItem(m_list);
        item->setData(kCompletedRole, true);
        item->setData(kIndexRole, i);
        auto* row = new FileTransferWidget;
        row->setIndex(i);
        row->setFileXReceived(true);
        row->setFileName(done.fileName);
        row->setSizeText(sizeText(done.size, false));
        row->setCompleted(true);
        if (done.outcome != TransferOutcome::Completed)
            row->setEnded(TransferBook::outcomeText(done.outcome));
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
    }
}

void DFileReceiver::fitNames()
{
    QList<FileTransferWidget*> rows;
    int widest = 0;
    for (int i = 0; i < m_list->count(); ++i) {
        auto* row = qobject_cast<FileTransferWidget*>(m_list->itemWidget(m_list->item(i)));
        if (!row)
            continue;
        rows << row;
        widest = qMax(widest, row->nameWidthHint());
    }
    for (FileTransferWidget* row : qAsConst(rows))
        row->setNameWidth(widest);
}

void DFileReceiver::contextMenuRequested(const QPoint& pos)
{
    QListWidgetItem* item = m_list->itemAt(pos);
    auto* menu = new QMenu(QStringLiteral("Item Menu"), m_owner);
    menu->setObjectName(QLatin1String(kMenuName));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (!item) {
        menu->addAction(m_actions.cleanList);
    } else if (!item->data(kCompletedRole).toBool()) {
        m_menuOnCompleted = false;
        m_menuIndex = item->data(kIndexRole).toInt();
        menu->addAction(m_actions.cancel);
    } else {
        m_menuOnCompleted = true;
        m_menuIndex = item->data(kIndexRole).toInt();
        const bool saved
            = m_book.completed().value(m_menuIndex).outcome == TransferOutcome::Completed;
        m_actions.open->setEnabled(saved);
        m_actions.openFolder->setEnabled(saved);
        menu->addAction(m_actions.open);
        menu->addAction(m_actions.openFolder);
        menu->addSeparator();
        menu->addAction(m_actions.removeFromList);
    }
    menu->popup(m_list->viewport()->mapToGlobal(pos));
}

void DFileReceiver::menuAction(QAction* action)
{
    if (action == m_actions.cleanList) {
        m_book.clearCompleted();
        refreshList();
    } else if (action == m_actions.cancel) {
        if (!m_menuOnCompleted)
            removeTransfer(false, m_menuIndex);
    } else if (m_menuOnCompleted && m_menuIndex >= 0 && m_menuIndex < m_book.completed().size()) {
        const QString path = m_book.completed().at(m_menuIndex).savePath;
        if (action == m_actions.open)
            emit openFileRequested(path);
        else if (action == m_actions.openFolder)
            emit showInFolderRequested(path);
        else if (action == m_actions.removeFromList)
            removeTransfer(true, m_menuIndex);
    }
}

void DFileReceiver::itemActivated(QListWidgetItem* item)
{
    if (!item || !item->data(kCompletedRole).toBool())
        return;
    const CompletedTransfer done = m_book.completed().value(item->data(kIndexRole).toInt());
    if (done.outcome == TransferOutcome::Completed)
        emit openFileRequested(done.savePath);
}
