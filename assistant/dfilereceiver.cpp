#include "dfilereceiver.h"

#include "dtransferrules.h"
#include "filetransferwidget.h"
#include "mabstractsocket.h"
#include "sessioncommands.h"

#include <cstring>

#include <QAction>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
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
constexpr int kXDataHeaderBytes = 8;
constexpr int kStallCheckMs = 1000;

QString outcomeText(TransferOutcome outcome)
{
    switch (outcome) {
    case TransferOutcome::Completed:
        return QStringLiteral("Completed");
    case TransferOutcome::Cancelled:
        return QStringLiteral("Cancelled");
    case TransferOutcome::Stalled:
        return QStringLiteral("Stalled");
    case TransferOutcome::NotSaved:
        return QStringLiteral("Not saved");
    }
    return QString();
}

QString statusHtml(const QString& text)
{
    return QStringLiteral("<span style='color: #FF8000;'><b>") + text.toHtmlEscaped()
        + QStringLiteral("</b></span>\r\n");
}

} // namespace

DFileReceiver::DFileReceiver(
    QListWidget* list, const Actions& actions, QWidget* owner, QObject* parent)
    : QObject(parent), m_list(list), m_actions(actions), m_owner(owner),
      m_stallTimer(new QTimer(this))
{
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

FileTransferRecord* DFileReceiver::find(int id) const
{
    const auto it = m_records.find(id);
    return it == m_records.end() ? nullptr : it->second.get();
}

const FileTransferRecord* DFileReceiver::record(int id) const
{
    return find(id);
}

QList<int> DFileReceiver::runningIds() const
{
    QList<int> ids;
    for (const auto& entry : m_records)
        ids << entry.first;
    return ids;
}

void DFileReceiver::offerReceived(const QString& peerText, const QByteArray& offer)
{
    // id|name|size|sender: the name may itself hold "|", the other fields not.
    const QStringList parts = QString::fromUtf8(offer).split(SessionCommand::kListSeparator);
    if (parts.size() < 4) {
        qDebug().noquote() << "File offer without its four fields ignored:" << offer;
        return;
    }
    bool idOk = false;
    bool sizeOk = false;
    const int id = parts.constFirst().toInt(&idOk);
    const qint64 size = parts.at(parts.size() - 2).toLongLong(&sizeOk);
    if (!idOk || !sizeOk || size < 0) {
        qDebug().noquote() << "File offer with a bad identity or size ignored:" << offer;
        return;
    }
    const QString senderName = parts.constLast();
    const QString fileName
        = safeFileName(parts.mid(1, parts.size() - 3).join(SessionCommand::kListSeparator));

    FileTransferRecord* rec = find(id);
    if (rec && (!rec->accepted || rec->offerSeen)) {
        qDebug() << "File offer" << id << "ignored: already refused or offered";
        return;
    }
    if (!rec) {
        auto created = std::make_unique<FileTransferRecord>();
        created->lastChunk.start();
        rec = created.get();
        m_records[id] = std::move(created);
        m_stallTimer->start();
    }
    rec->offerSeen = true;
    rec->size = size;
    rec->fileName = fileName;
    rec->senderName = senderName;

    if (size > kMaxTransferBytes) {
        rec->accepted = false;
        rec->data.clear();
        emit statusLine(
            statusHtml(QStringLiteral("%1 from %2 was refused: it is larger than %3.")
                           .arg(fileName, senderName, sizeText(kMaxTransferBytes, false))));
        completionCheck(id);
        refreshList();
        return;
    }

    // Chunks that came first and lie beyond the announced size were not
    // part of this file.
    for (auto it = rec->chunks.begin(); it != rec->chunks.end();) {
        if (!chunkFits(it.key(), it.value(), size)) {
            qDebug() << "File transfer" << id << "chunk" << it.key()
                     << "dropped: beyond the announced size";
            rec->received -= it.value();
            it = rec->chunks.erase(it);
        } else {
            ++it;
        }
    }
    rec->data.resize(int(size));
    rec->deciding = true;

    auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Accept File Transfer"),
        QStringLiteral("Receive the following file from <b>%1</b> (%2)?<br/><br/>\n\n"
                       "File Name: <b>%3</b><br/>\nSize: <b>%4</b>")
            .arg(senderName.toHtmlEscaped(), peerText.toHtmlEscaped(), fileName.toHtmlEscaped(),
                sizeText(size, true)),
        QMessageBox::Yes | QMessageBox::No, m_owner);
    box->setObjectName(QLatin1String(kOfferBoxName));
    box->setProperty("transferId", id);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [this, box, id](int) {
        FileTransferRecord* r = find(id);
        if (!r || r->dialog != box)
            return;
        if (box->standardButton(box->clickedButton()) == QMessageBox::Yes)
            askSavePath(id);
        else
            decided(id, QString());
    });
    rec->dialog = box;
    refreshList();
    box->open();
}

void DFileReceiver::askSavePath(int id)
{
    FileTransferRecord* rec = find(id);
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
        const FileTransferRecord* r = find(id);
        if (r && r->dialog == dialog)
            decided(id, path);
    });
    connect(dialog, &QDialog::rejected, this, [this, dialog, id] {
        const FileTransferRecord* r = find(id);
        if (r && r->dialog == dialog)
            decided(id, QString());
    });
    rec->dialog = dialog;
    dialog->open();
}

void DFileReceiver::decided(int id, const QString& path)
{
    FileTransferRecord* rec = find(id);
    if (!rec)
        return;
    rec->deciding = false;
    rec->dialog = nullptr;
    if (path.isEmpty()) {
        rec->accepted = false;
        rec->data = QByteArray();
    } else {
        rec->accepted = true;
        rec->savePath = path;
    }
    completionCheck(id);
    refreshList();
}

void DFileReceiver::chunkReceived(const QByteArray& payload)
{
    if (payload.size() < kXDataHeaderBytes) {
        qDebug() << "File chunk of" << payload.size() << "bytes dropped: no header";
        return;
    }
    const int id = int(MAbstractSocket::byteArrayToInt(payload.left(4)));
    const quint32 number = MAbstractSocket::byteArrayToInt(payload.mid(4, 4));
    const int length = payload.size() - kXDataHeaderBytes;

    FileTransferRecord* rec = find(id);
    const qint64 limit = rec && rec->offerSeen ? rec->size : kPreOfferBound;
    if (!chunkFits(number, length, limit)) {
        qDebug() << "File transfer" << id << "chunk" << number << "of" << length
                 << "bytes dropped: it lies beyond" << limit << "bytes";
        return;
    }
    if (rec && rec->chunks.contains(number)) {
        qDebug() << "File transfer" << id << "chunk" << number << "dropped: seen before";
        return;
    }

    const bool created = !rec;
    if (created) {
        auto fresh = std::make_unique<FileTransferRecord>();
        rec = fresh.get();
        m_records[id] = std::move(fresh);
        m_stallTimer->start();
    }
    rec->lastChunk.start();
    rec->chunks.insert(number, length);
    rec->received += length;

    if (!rec->accepted) {
        completionCheck(id);
        return;
    }
    const qint64 offset = chunkOffset(number);
    if (rec->data.size() < offset + length)
        rec->data.resize(int(offset + length));
    if (length > 0)
        std::memcpy(rec->data.data() + offset, payload.constData() + kXDataHeaderBytes, length);

    completionCheck(id);
    // A new row, or a finished transfer moving to the completed rows, needs
    // the whole list; otherwise only this row's progress moves.
    if (created || m_completedChanged || !find(id))
        refreshList();
    else
        updateRow(id);
}

void DFileReceiver::completionCheck(int id)
{
    FileTransferRecord* rec = find(id);
    if (!rec || rec->received != rec->size)
        return;
    // Everything is in, but the user has not answered yet: the answer runs
    // this check again.
    if (rec->deciding)
        return;
    if (rec->accepted) {
        writeFile(rec);
        return; // writeFile ends the record
    }
    m_records.erase(id);
}

void DFileReceiver::writeFile(FileTransferRecord* rec)
{
    int id = -1;
    for (const auto& entry : m_records) {
        if (entry.second.get() == rec)
            id = entry.first;
    }
    // Written under a temporary name next to the target and renamed when
    // whole: a failure never leaves a truncated file under the chosen name.
    QSaveFile out(rec->savePath);
    bool ok = out.open(QIODevice::WriteOnly);
    if (ok)
        ok = out.write(rec->data.constData(), rec->size) == rec->size;
    if (ok)
        ok = out.commit();
    else
        out.cancelWriting();
    if (!ok) {
        qDebug().noquote() << "Writing" << rec->savePath << "failed:" << out.errorString();
        auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"),
            QStringLiteral("Could not open file \"%1\" for writing.").arg(rec->savePath),
            QMessageBox::Ok, m_owner);
        box->setObjectName(QLatin1String(kWriteErrorBoxName));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setTextFormat(Qt::PlainText);
        box->setWindowModality(Qt::WindowModal);
        box->open();
    }
    finish(id, ok ? TransferOutcome::Completed : TransferOutcome::NotSaved);
}

void DFileReceiver::finish(int id, TransferOutcome outcome)
{
    FileTransferRecord* rec = find(id);
    if (!rec)
        return;
    if (rec->accepted) {
        CompletedTransfer done;
        done.fileName = rec->fileName;
        done.senderName = rec->senderName;
        done.savePath = rec->savePath;
        done.size = outcome == TransferOutcome::Completed ? rec->size : -1;
        done.outcome = outcome;
        m_completed.append(done);
        m_completedChanged = true;
    }
    const QPointer<QWidget> dialog = rec->dialog;
    m_records.erase(id);
    // Its answer, if any, finds no record and is dropped.
    if (dialog)
        dialog->close();
    if (m_records.empty())
        m_stallTimer->stop();
}

void DFileReceiver::cancelReceived(int id)
{
    FileTransferRecord* rec = find(id);
    if (!rec)
        return;
    if (!rec->offerSeen) {
        rec->accepted = false;
    } else if (rec->accepted) {
        auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("File Transfer"),
            QStringLiteral("File transfer operation was aborted by the sender for file <b>%1</b> "
                           "being sent by <b>%2</b>.")
                .arg(rec->fileName.toHtmlEscaped(), rec->senderName.toHtmlEscaped()),
            QMessageBox::Ok, m_owner);
        box->setObjectName(QLatin1String(kAbortedBoxName));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
    }
    // What arrived so far is not the file: nothing is written.
    finish(id, TransferOutcome::Cancelled);
    refreshList();
}

void DFileReceiver::removeTransfer(bool completed, int index)
{
    if (completed) {
        if (index >= 0 && index < m_completed.size()) {
            m_completed.removeAt(index);
            m_completedChanged = true;
        }
    } else if (FileTransferRecord* rec = find(index)) {
        // A local cancel: the sender is not told; its chunks are counted
        // until the file is through and then forgotten.
        rec->accepted = false;
        rec->deciding = false;
        rec->data = QByteArray();
        const QPointer<QWidget> dialog = rec->dialog;
        rec->dialog = nullptr;
        if (dialog)
            dialog->close();
        completionCheck(index);
    }
    refreshList();
}

void DFileReceiver::checkStalls()
{
    QList<int> stalled;
    for (const auto& entry : m_records) {
        const FileTransferRecord& rec = *entry.second;
        const bool waitingForUser = rec.deciding && rec.received == rec.size;
        if (!waitingForUser && rec.lastChunk.elapsed() > m_stallMs)
            stalled << entry.first;
    }
    for (int id : stalled) {
        qDebug() << "File transfer" << id << "stalled: no chunk for" << m_stallMs << "ms";
        FileTransferRecord* rec = find(id);
        // A transfer nobody wanted, or that never got its offer, just goes.
        if (!rec->offerSeen)
            rec->accepted = false;
        finish(id, TransferOutcome::Stalled);
    }
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
    const FileTransferRecord* rec = find(id);
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
        const FileTransferRecord* rec = find(it.key());
        if (!rec || !rec->accepted) {
            delete m_list->takeItem(m_list->row(it.value()));
            it = m_rows.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    for (const auto& entry : m_records) {
        if (!entry.second->accepted || m_rows.contains(entry.first))
            continue;
        auto* item = new QListWidgetItem;
        item->setData(kCompletedRole, false);
        item->setData(kIndexRole, entry.first);
        m_list->insertItem(m_rows.size(), item);
        auto* row = new FileTransferWidget;
        row->setIndex(entry.first);
        row->setCompleted(false);
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
        m_rows.insert(entry.first, item);
        changed = true;
    }
    for (auto it = m_rows.constBegin(); it != m_rows.constEnd(); ++it)
        updateRow(it.key());

    if (m_completedChanged) {
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
    m_completedChanged = false;
    for (int i = m_list->count() - 1; i >= 0; --i) {
        if (m_list->item(i)->data(kCompletedRole).toBool())
            delete m_list->takeItem(i);
    }
    for (int i = 0; i < m_completed.size(); ++i) {
        const CompletedTransfer& done = m_completed.at(i);
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
            row->setEnded(outcomeText(done.outcome));
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
        const bool saved = m_completed.value(m_menuIndex).outcome == TransferOutcome::Completed;
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
        m_completed.clear();
        m_completedChanged = true;
        refreshList();
    } else if (action == m_actions.cancel) {
        if (!m_menuOnCompleted)
            removeTransfer(false, m_menuIndex);
    } else if (m_menuOnCompleted && m_menuIndex >= 0 && m_menuIndex < m_completed.size()) {
        const QString path = m_completed.at(m_menuIndex).savePath;
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
    const CompletedTransfer done = m_completed.value(item->data(kIndexRole).toInt());
    if (done.outcome == TransferOutcome::Completed)
        emit openFileRequested(done.savePath);
}
