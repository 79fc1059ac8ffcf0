#pragma once

#include "filetransferrecord.h"

#include <map>
#include <memory>

#include <QList>
#include <QString>

class QByteArray;

// The receiving side's book of file transfers, without widgets: offers read
// and checked, chunks kept at their place in the file within the announced
// size (or a bound before the offer), duplicates and strays dropped, the file
// written under a temporary name and renamed when whole, and the stall rule.
// Times are milliseconds on the owner's clock, so the rules run the same on a
// fast and a slow machine. DFileReceiver owns it and shows its records as
// rows; what the user decides comes back through decided(). GUI thread.
class TransferBook
{
public:
    // Chunks kept for a transfer whose offer has not been seen.
    static constexpr qint64 kPreOfferBound = 4 * 1024 * 1024;
    // Offers above this are refused at once: the file is held in memory.
    static constexpr qint64 kMaxTransferBytes = qint64(1) << 30;

    enum class OfferResult {
        Malformed, // not id|name|size|sender with numbers where they belong
        Ignored, // refused before, or offered twice
        TooLarge, // refused at once
        Ask // the user decides: accept and where to save, or not
    };
    struct Offer
    {
        OfferResult result = OfferResult::Malformed;
        int id = -1;
        QString fileName;
        QString senderName;
        qint64 size = 0;
    };

    enum class ChunkResult {
        Dropped, // no header, outside the file, or seen before
        Counted, // counted for a transfer nobody wants
        Kept // placed in the file's buffer
    };
    struct Chunk
    {
        ChunkResult result = ChunkResult::Dropped;
        int id = -1;
        // The chunk came before its offer and opened a record.
        bool created = false;
    };

    // A transfer that has left the running list since the last takeFinished().
    struct Finished
    {
        int id = -1;
        TransferOutcome outcome = TransferOutcome::Completed;
        QString savePath;
    };

    TransferBook();
    ~TransferBook();
    // The word a finished transfer's row shows for how it ended.
    static QString outcomeText(TransferOutcome outcome);
    TransferBook(const TransferBook&) = delete;
    TransferBook& operator=(const TransferBook&) = delete;

    // "FILEX" with the bytes after the keyword. Ask marks the record as
    // deciding until decided() is called.
    Offer offerReceived(const QByteArray& offer, qint64 nowMs);
    // The user's answer to an offer: a save path, or empty for no.
    void decided(int id, const QString& savePath);
    // An extra-data payload: transfer number, chunk number, bytes.
    Chunk chunkReceived(const QByteArray& payload, qint64 nowMs);
    // The sender's cancel; true when the user had accepted the file (and is
    // to be told). Nothing of it is written.
    bool cancelReceived(int id);
    // A cancel on this side: the sender is not told; its chunks are counted
    // until the file is through and then forgotten.
    void cancelLocally(int id);
    void removeCompleted(int index);
    void clearCompleted();
    // Ends every transfer whose chunks stopped longer than stallMs ago, unless
    // all of it is in and the user is still deciding. Gives their numbers.
    QList<int> endStalled(qint64 nowMs, qint64 stallMs);

    QList<Finished> takeFinished();

    const FileTransferRecord* record(int id) const;
    QList<int> runningIds() const;
    bool isEmpty() const { return m_records.empty(); }
    const QList<CompletedTransfer>& completed() const { return m_completed; }
    // Grows whenever the completed list changes.
    int completedVersion() const { return m_completedVersion; }

private:
    FileTransferRecord* find(int id) const;
    void completionCheck(int id);
    void writeFile(int id, FileTransferRecord* rec);
    void finish(int id, TransferOutcome outcome);

    std::map<int, std::unique_ptr<FileTransferRecord>> m_records;
    QList<CompletedTransfer> m_completed;
    QList<Finished> m_finished;
    int m_completedVersion = 0;
};
