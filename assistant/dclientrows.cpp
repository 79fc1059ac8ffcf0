#include "dclientrows.h"

#include <QListWidget>
#include <QListWidgetItem>
#include <QStringList>

#include "assistantlog.h"
#include "clientlist.h"
#include "dmessagebox.h"

namespace DClientRows {

void fill(QListWidget* rows, const QString& list)
{
    const int row = rows->currentRow();
    rows->clear();
    if (list.isEmpty())
        return;

    // An entry needs its two connection texts and a name; a shorter one
    // cannot be shown or looked up and is left out.
    QStringList rejected;
    const QVector<ClientList::Entry> entries = ClientList::parse(list, &rejected);
    for (const QString& entry : qAsConst(rejected))
        qCDebug(lcAssistant).noquote()
            << "Client list entry without three fields ignored:" << entry;
    for (const ClientList::Entry& entry : entries) {
        auto* item = new QListWidgetItem(entry.name, rows);
        item->setData(Qt::UserRole, QString(entry.tcpEnd + QLatin1Char('#') + entry.udpEnd));
    }

    if (row >= 0 && row < rows->count())
        rows->setCurrentRow(row);
}

void showPeer(QWidget* parent, const char* boxName, const QListWidgetItem* item)
{
    if (!item)
        return;
    const QStringList parts = item->data(Qt::UserRole).toString().split(QLatin1Char('#'));
    // Plain text: the name is whatever the client chose.
    DMessageBox::open(parent, boxName, QMessageBox::Information, QStringLiteral("Peer Information"),
        QStringLiteral("Peer: %1\nTCP Connection: %2\nUDP Connection: %3")
            .arg(item->text(), parts.value(0), parts.value(1)),
        QMessageBox::Ok, Qt::PlainText);
}

} // namespace DClientRows
