#include "dtransferpanel.h"

#include "dfilebrowser.h"
#include "dfilesender.h"
#include "dmessagebox.h"

#include <QDesktopServices>
#include <QGroupBox>
#include <QMainWindow>
#include <QUrl>

namespace {

// The transfers group's fixed height: the window grows by it when it shows.
constexpr int kGroupHeight = 100;

} // namespace

DTransferPanel::DTransferPanel(
    const Widgets& widgets, const QString& senderName, const char* browserBoxName, QObject* parent)
    : QObject(parent), m_widgets(widgets), m_browserBoxName(browserBoxName)
{
    m_widgets.group->setFixedHeight(kGroupHeight);
    hide(true);

    m_sender = new DFileSender(m_widgets.sendButton, m_widgets.progressBar, m_widgets.cancelButton,
        nullptr, senderName, m_widgets.window, this);
    connect(m_sender, &DFileSender::statusLine, this, &DTransferPanel::statusLine);
    m_receiver = new DFileReceiver(m_widgets.list, m_widgets.actions, m_widgets.window, this);
    connect(m_receiver, &DFileReceiver::statusLine, this, &DTransferPanel::statusLine);
    connect(m_receiver, &DFileReceiver::showTransfersRequested, this, &DTransferPanel::show);
    connect(m_receiver, &DFileReceiver::hideTransfersRequested, this, [this] { hide(false); });
    connect(
        m_receiver, &DFileReceiver::showInFolderRequested, this, &DTransferPanel::selectInBrowser);
    connect(m_receiver, &DFileReceiver::openFileRequested, this,
        [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); });
}

void DTransferPanel::resizeWindow(int heightChange)
{
    // A maximised window keeps its size; the other widgets give way.
    QMainWindow* window = m_widgets.window;
    if (window->isMaximized())
        return;
    window->setFixedSize(window->width(), window->height() + heightChange);
    window->setMinimumSize(window->centralWidget()->minimumSize());
    window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

void DTransferPanel::hide(bool force)
{
    if (m_widgets.group->isHidden() && !force)
        return;
    m_widgets.group->hide();
    resizeWindow(-m_widgets.group->height());
}

void DTransferPanel::show()
{
    if (!m_widgets.group->isHidden())
        return;
    resizeWindow(m_widgets.group->height() + 2);
    m_widgets.group->show();
}

void DTransferPanel::selectInBrowser(const QString& filePath)
{
    if (DFileBrowser::showFile(filePath))
        return;
#if defined(Q_OS_WIN)
    DMessageBox::open(m_widgets.window, m_browserBoxName, QMessageBox::Warning,
        QStringLiteral("Launching Windows Explorer failed"),
        QStringLiteral("Could not find explorer.exe in path to launch Windows Explorer."),
        QMessageBox::Ok, Qt::PlainText);
#else
    DMessageBox::open(m_widgets.window, m_browserBoxName, QMessageBox::Warning,
        QStringLiteral("Launching file browser failed"),
        QStringLiteral("Could not open the folder of \"%1\" in a file browser.").arg(filePath),
        QMessageBox::Ok, Qt::PlainText);
#endif
}
