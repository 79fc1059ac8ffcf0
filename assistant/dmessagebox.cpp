#include "dmessagebox.h"

#include <QString>

namespace DMessageBox {

QMessageBox* open(QWidget* parent, const char* objectName, QMessageBox::Icon icon,
    const QString& title, const QString& text, QMessageBox::StandardButtons buttons,
    Qt::TextFormat format)
{
    auto* box = new QMessageBox(icon, title, text, buttons, parent);
    box->setObjectName(QLatin1String(objectName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(format);
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return box;
}

} // namespace DMessageBox
