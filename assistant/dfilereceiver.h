#pragma once

#include "filetransferrecord.h"

#include <map>
#include <memory>

#include <QList>
#include <QMap>
#include <QObject>

class QAction;
class QListWidget;
class QListWidgetItem;
class QPoint;
class QTimer;
class FileTransferWidget;

// The receiving side of file transfers: offers are put to the user (accept,
// then where to save), chunks are kept in memory at their place in the file
// within the announced size, and a whole file is written under a temporary
// name and renamed into place. Every transfer is a row of the window's
// transfers list with its context menu. A transfer whose chunks stop coming
// ends after a stall time. The window owns it and feeds it the offer, chunk
// and cancel packets; dialogs are named, window-modal children of the owner
// shown with open(). GUI thread.
class DFileReceiver : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DFileReceiver)

public:
    static const char* const kOfferBoxName;
    static const char* const kSaveDialogName;
    static const char* const kAbortedBoxName;
    static const char* const kWriteErrorBoxName;
    static const char* const kMenuName;
    // Chunks kept for a transfer whose offer has not been seen.
    static constexpr qint64 kPreOfferBound = 4 * 1024 * 1024;
    // Offers above this are refused at once: the file is held in memory.
    static constexpr qint64 kMaxTransferBytes = qint64(1) << 30;
    static constexpr int kDefaultStallMs = 45000;

    struct Actions
    {
        QAction* open;
        QAction* openFolder;
        QAction* removeFromList;
        QAction* cleanList;
        QAction* cancel;
    };

    DFileReceiver(
        QListWidget* list, const Actions& actions, QWidget* owner, QObject* parent = nullptr);
    ~DFileReceiver() override;

    void setStallTimeout(int ms);
    const FileTransferRecord* record(int id) const;
    QList<int> runningIds() const;
    const QList<CompletedTransfer>& completedTransfers() const { return m_completed; }
    FileTransferWidget* rowWidget(bool completed, int index) const;

signals:
    void statusLine(const QString& html);
    void showTransfersRequested();
    void hideTransfersRequested();
    void openFileRequested(const QString& path);
    void showInFolderRequested(const QString& path);

public slots:
    // "FILEX" with the bytes after the keyword and the sender's peer text.
    void offerReceived(const QString& peerText, const QByteArray& offer);
    void chunkReceived(const QByteArray& payload);
    void cancelReceived(int id);
    void removeTransfer(bool completed, int index);
    void contextMenuRequested(const QPoint& pos);
    void itemActivated(QListWidgetItem* item);

private:
    void askSavePath(int id);
    void decided(int id, const QString& path);
    void completionCheck(int id);
    void writeFile(FileTransferRecord* rec);
    void finish(int id, TransferOutcome outcome);
    void checkStalls();
    void refreshList();
    void updateRow(int id);
    void rebuildCompletedRows();
    void fitNames();
    void menuAction(QAction* action);
    FileTransferRecord* find(int id) const;

    QListWidget* m_list;
    Actions m_actions;
    QWidget* m_owner;
    QTimer* m_stallTimer;
    int m_stallMs = kDefaultStallMs;
    std::map<int, std::unique_ptr<FileTransferRecord>> m_records;
    QMap<int, QListWidgetItem*> m_rows;
    QList<CompletedTransfer> m_completed;
    bool m_completedChanged = false;
    bool m_menuOnCompleted = false;
    int m_menuIndex = -1;
};
