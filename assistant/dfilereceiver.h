#pragma once

#include "filetransferrecord.h"
#include "transferbook.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>

class QAction;
class QListWidget;
class QListWidgetItem;
class QPoint;
class QTimer;
class FileTransferWidget;

// The receiving side of file transfers as the user sees it: offers are put to
// the user (accept, then where to save), and every transfer of its
// TransferBook is a row of the window's transfers list with its context menu.
// The book keeps the records, the chunks and the stall rule; a timer here
// asks it now and then for transfers whose chunks stopped. The window owns
// it and feeds it the offer, chunk and cancel packets; dialogs are named,
// window-modal children of the owner shown with open(). GUI thread.
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
    static constexpr qint64 kPreOfferBound = TransferBook::kPreOfferBound;
    static constexpr qint64 kMaxTransferBytes = TransferBook::kMaxTransferBytes;
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
    const QList<CompletedTransfer>& completedTransfers() const { return m_book.completed(); }
    const TransferBook& book() const { return m_book; }
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
    // Closes the dialogs of transfers that have ended and tells of files
    // that could not be written.
    void settleFinished();
    void checkStalls();
    void refreshList();
    void updateRow(int id);
    void rebuildCompletedRows();
    void fitNames();
    void menuAction(QAction* action);
    qint64 now() const { return m_clock.elapsed(); }

    QListWidget* m_list;
    Actions m_actions;
    QWidget* m_owner;
    TransferBook m_book;
    QElapsedTimer m_clock;
    QTimer* m_stallTimer;
    int m_stallMs = kDefaultStallMs;
    // The question or save dialog open for a transfer.
    QMap<int, QPointer<QWidget>> m_dialogs;
    QMap<int, QListWidgetItem*> m_rows;
    int m_shownCompletedVersion = 0;
    bool m_menuOnCompleted = false;
    int m_menuIndex = -1;
};
