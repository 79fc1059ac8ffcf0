#pragma once

#include <QMessageBox>

class QString;
class QWidget;

// The assistant's message boxes never block: each is a QMessageBox child of
// parent with an object name, window-modal, shown with open() and deleted on
// close, so callers connect to its finished() signal and tests find it with
// findChild and close it like a user would. GUI thread.
namespace DMessageBox {

QMessageBox* open(QWidget* parent, const char* objectName, QMessageBox::Icon icon,
    const QString& title, const QString& text,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok, Qt::TextFormat format = Qt::AutoText);

} // namespace DMessageBox
