#include "transferbook.h"

#include "dtransferrules.h"
#include "mabstractsocket.h"
#include "sessioncommands.h"
#include "wireformat.h"

#include <cstring>

#include <QByteArray>
#include <QDebug>
#include <QSaveFile>
#include <QStringList>

#include "assistantlog.h"

using namespace DTransferRules;

TransferBook::TransferBook() = default;
TransferBook::~TransferBook() = default;

QString TransferBook::outcomeText(TransferOutcome outcome)
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

FileTransferRecord* TransferBook::find(int id) const
{
    const auto it = m_records.find(id);
    return it == m_records.end() ? nullptr : it->second.get();
}

const FileTransferRecord* TransferBook::record(int id) const
{
    return find(id);
}

QList<int> TransferBook::runningIds() const
{
    QList<int> ids;
    for (const auto& entry : m_records)
        ids << entry.first;
    return ids;
}

TransferBook::Offer TransferBook::offerReceived(const QByteArray& offer, qint64 nowMs)
{
    Offer result;
    // id|name|size|sender: the name may itself hold "|", the other fields not.
    const QStringList parts = QString::fromUtf8(offer).split(SessionCommand::kListSeparator);
    if (parts.size() < 4) {
        qCDebug(lcAssistant).noquote() << "File offer without its four fields ignored:" << offer;
        return result;
    }
    bool idOk = false;
    bool sizeOk = false;
    const int id = parts.constFirst().toInt(&idOk);
    const qint64 size = parts.at(parts.size() - 2).toLongLong(&sizeOk);
    if (!idOk || !sizeOk || size < 0) {
        qCDebug(lcAssistant).noquote()
            << "File offer with a bad identity or size ignored:" << offer;
        return result;
    }
    result.id = id;
    result.size = size;
    result.senderName = parts.constLast();
    result.fileName
        = safeFileName(parts.mid(1, parts.size() - 3).join(SessionCommand::kListSeparator));

    FileTransferRecord* rec = find(id);
    if (rec && (!rec->accepted || rec->offerSeen)) {
        qCDebug(lcAssistant) << "File offer" << id << "ignored: already refused or offered";
        result.result = OfferResult::Ignored;
        return result;
    }
    if (!rec) {
        auto created = std::make_unique<FileTransferRecord>();
        created->lastChunkMs = nowMs;
        rec = created.get();
        m_records[id] = std::move(created);
    }
    rec->offerSeen = true;
    rec->size = size;
    rec->fileName = result.fileName;
    rec->senderName = result.senderName;

    if (size > kMaxTransferBytes) {
        rec->accepted = false;
        rec->data.clear();
        completionCheck(id);
        result.result = OfferResult::TooLarge;
        return result;
    }

    // Chunks that came first and lie beyond the announced size were not
    // part of this file.
    for (auto it = rec->chunks.begin(); it != rec->chunks.end();) {
        if (!chunkFits(it.key(), it.value(), size)) {
            qCDebug(lcAssistant) << "File transfer" << id << "chunk" << it.key()
                                 << "dropped: beyond the announced size";
            rec->received -= it.value();
            it = rec->chunks.erase(it);
        } else {
            ++it;
        }
    }
    rec->data.resize(int(size));
    rec->deciding = true;
    result.result = OfferResult::Ask;
    return result;
}

void TransferBook::decided(int id, const QString& savePath)
{
    FileTransferRecord* rec = find(id);
    if (!rec)
        return;
    rec->deciding = false;
    if (savePath.isEmpty()) {
        rec->accepted = false;
        rec->data = QByteArray();
    } else {
        rec->accepted = true;
        rec->savePath = savePath;
    }
    completionCheck(id);
}

TransferBook::Chunk TransferBook::chunkReceived(const QByteArray& payload, qint64 nowMs)
{
    Chunk result;
    constexpr int kHeader = WireFormat::kExtraDataHeaderSize;
    constexpr int kNumber = WireFormat::kNumberSize;
    if (payload.size() < kHeader) {
        qCDebug(lcAssistant) << "File chunk of" << payload.size() << "bytes dropped: no header";
        return result;
    }
    const int id = int(MAbstractSocket::byteArrayToInt(payload.left(kNumber)));
    result.id = id;
    const quint32 number = MAbstractSocket::byteArrayToInt(payload.mid(kNumber, kNumber));
    const int length = payload.size() - kHeader;

    FileTransferRecord* rec = find(id);
    const qint64 limit = rec && rec->offerSeen ? rec->size : kPreOfferBound;
    if (!chunkFits(number, length, limit)) {
        qCDebug(lcAssistant) << "File transfer" << id << "chunk" << number << "of" << length
                             << "bytes dropped: it lies beyond" << limit << "bytes";
        return result;
    }
    if (rec && rec->chunks.contains(number)) {
        qCDebug(lcAssistant) << "File transfer" << id << "chunk" << number
                             << "dropped: seen before";
        return result;
    }

    if (!rec) {
        auto fresh = std::make_unique<FileTransferRecord>();
        rec = fresh.get();
        m_records[id] = std::move(fresh);
        result.created = true;
    }
    rec->lastChunkMs = nowMs;
    rec->chunks.insert(number, length);
    rec->received += length;

    if (!rec->accepted) {
        completionCheck(id);
        result.result = ChunkResult::Counted;
        return result;
    }
    const qint64 offset = chunkOffset(number);
    if (rec->data.size() < offset + length)
        rec->data.resize(int(offset + length));
    if (length > 0)
        std::memcpy(rec->data.data() + offset, payload.constData() + kHeader, length);
    completionCheck(id);
    result.result = ChunkResult::Kept;
    return result;
}

void TransferBook::completionCheck(int id)
{
    FileTransferRecord* rec = find(id);
    if (!rec || rec->received != rec->size)
        return;
    // Everything is in, but the user has not answered yet: the answer runs
    // this check again.
    if (rec->deciding)
        return;
    if (rec->accepted) {
        writeFile(id, rec);
        return; // writeFile ends the record
    }
    m_records.erase(id);
}

void TransferBook::writeFile(int id, FileTransferRecord* rec)
{
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
    if (!ok)
        qCDebug(lcAssistant).noquote()
            << "Writing" << rec->savePath << "failed:" << out.errorString();
    finish(id, ok ? TransferOutcome::Completed : TransferOutcome::NotSaved);
}

void TransferBook::finish(int id, TransferOutcome outcome)
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
        ++m_completedVersion;
    }
    m_finished.append({ id, outcome, rec->savePath });
    m_records.erase(id);
}

bool TransferBook::cancelReceived(int id)
{
    FileTransferRecord* rec = find(id);
    if (!rec)
        return false;
    if (!rec->offerSeen)
        rec->accepted = false;
    const bool tell = rec->offerSeen && rec->accepted;
    finish(id, TransferOutcome::Cancelled);
    return tell;
}

void TransferBook::cancelLocally(int id)
{
    FileTransferRecord* rec = find(id);
    if (!rec)
        return;
    rec->accepted = false;
    rec->deciding = false;
    rec->data = QByteArray();
    completionCheck(id);
}

void TransferBook::removeCompleted(int index)
{
    if (index < 0 || index >= m_completed.size())
        return;
    m_completed.removeAt(index);
    ++m_completedVersion;
}

void TransferBook::clearCompleted()
{
    m_completed.clear();
    ++m_completedVersion;
}

QList<int> TransferBook::endStalled(qint64 nowMs, qint64 stallMs)
{
    QList<int> stalled;
    for (const auto& entry : m_records) {
        const FileTransferRecord& rec = *entry.second;
        const bool waitingForUser = rec.deciding && rec.received == rec.size;
        if (!waitingForUser && nowMs - rec.lastChunkMs > stallMs)
            stalled << entry.first;
    }
    for (int id : stalled) {
        qCDebug(lcAssistant) << "File transfer" << id << "stalled: no chunk for" << stallMs << "ms";
        FileTransferRecord* rec = find(id);
        // A transfer nobody wanted, or that never got its offer, just goes.
        if (!rec->offerSeen)
            rec->accepted = false;
        finish(id, TransferOutcome::Stalled);
    }
    return stalled;
}

QList<TransferBook::Finished> TransferBook::takeFinished()
{
    QList<Finished> finished;
    finished.swap(m_finished);
    return finished;
}
