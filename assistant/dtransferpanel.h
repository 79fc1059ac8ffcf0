#pragma once

#include "dfilereceiver.h"

#include <QObject>

class QGroupBox;
class QListWidget;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QString;
class DFileSender;

// The window's file-transfer panel: the send controls (DFileSender), the
// transfers list (DFileReceiver) and the group box around the list, which
// shows when a transfer arrives and hides when the list empties, the window
// growing and shrinking by its height. Opening a transfer's file or folder
// goes to the desktop; a file browser that cannot be started is told in a
// named warning box. The window owns it and outlives it; GUI thread.
class DTransferPanel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DTransferPanel)

public:
    struct Widgets
    {
        QMainWindow* window; // resized with the group; owns the dialogs
        QGroupBox* group;
        QPushButton* sendButton;
        QProgressBar* progressBar;
        QPushButton* cancelButton;
        QListWidget* list;
        DFileReceiver::Actions actions;
    };

    // The group starts hidden; browserBoxName names the warning box.
    DTransferPanel(const Widgets& widgets, const QString& senderName, const char* browserBoxName,
        QObject* parent);

    DFileSender* sender() const { return m_sender; }
    DFileReceiver* receiver() const { return m_receiver; }

    void show();
    // Hides the group unless it is hidden already or force is set.
    void hide(bool force);
    void selectInBrowser(const QString& filePath);

signals:
    // An HTML status line for the chat area, from either side.
    void statusLine(const QString& html);

private:
    void resizeWindow(int heightChange);

    Widgets m_widgets;
    const char* m_browserBoxName;
    DFileSender* m_sender;
    DFileReceiver* m_receiver;
};
