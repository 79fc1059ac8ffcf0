#pragma once

class QListWidget;
class QListWidgetItem;
class QString;
class QWidget;

// The class list's rows: one row per client named in a "CLLS" list, its two
// connection texts kept in the row's user role, and the peer box a row opens.
// Plain functions over the window's QListWidget; GUI thread.
namespace DClientRows {

// Replaces the rows by the list's entries, keeping the selected row when it
// still exists; an empty list empties the rows.
void fill(QListWidget* rows, const QString& list);
// A plain-text information box (objectName boxName) about item's client.
void showPeer(QWidget* parent, const char* boxName, const QListWidgetItem* item);

} // namespace DClientRows
