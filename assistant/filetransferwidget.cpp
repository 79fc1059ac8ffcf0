#include "filetransferwidget.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

FileTransferWidget::FileTransferWidget(QWidget* parent)
    : QWidget(parent), lblFileName(new QLabel(this)), progressBar(new QProgressBar(this)),
      lblFileSize(new QLabel(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setObjectName(QStringLiteral("horizontalLayout"));
    layout->setContentsMargins(2, 0, 2, 0);
    lblFileName->setObjectName(QStringLiteral("lblFileName"));
    lblFileName->setTextFormat(Qt::RichText);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setFormat(QStringLiteral("%p%"));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    lblFileSize->setObjectName(QStringLiteral("lblFileSize"));
    layout->addWidget(lblFileName);
    layout->addWidget(progressBar, 1);
    layout->addWidget(lblFileSize);
}

void FileTransferWidget::setFileName(const QString& name)
{
    // Names come from other clients: shown as text. Only the window's own
    // placeholder is markup.
    lblFileName->setText(
        name.isEmpty() ? QStringLiteral("<i>[Unknown File]</i>") : name.toHtmlEscaped());
}

void FileTransferWidget::setSizeText(const QString& text)
{
    lblFileSize->setText(text);
}

void FileTransferWidget::setProgress(int percent)
{
    progressBar->setValue(qBound(0, percent, 100));
}

void FileTransferWidget::setEnded(const QString& text)
{
    progressBar->setValue(0);
    progressBar->setFormat(text);
    const QString name = lblFileName->text();
    if (!name.startsWith(QLatin1String("<i>")))
        lblFileName->setText(QStringLiteral("<i>") + name + QStringLiteral("</i>"));
    lblFileSize->clear();
}

void FileTransferWidget::setNameWidth(int width)
{
    lblFileName->setFixedWidth(width);
}

int FileTransferWidget::nameWidthHint() const
{
    return lblFileName->sizeHint().width();
}

QString FileTransferWidget::fileNameText() const
{
    return lblFileName->text();
}

QString FileTransferWidget::sizeText() const
{
    return lblFileSize->text();
}

QString FileTransferWidget::progressText() const
{
    return progressBar->text();
}

int FileTransferWidget::progress() const
{
    return progressBar->value();
}

void FileTransferWidget::setCompleted(bool completed)
{
    m_completed = completed;
    if (completed) {
        progressBar->setValue(100);
        progressBar->setFormat(QStringLiteral("Completed"));
    } else {
        progressBar->setFormat(QStringLiteral("%p%"));
    }
}

void FileTransferWidget::setIndex(int index)
{
    m_index = index;
}

void FileTransferWidget::setFileXReceived(bool received)
{
    m_fileXReceived = received;
}
