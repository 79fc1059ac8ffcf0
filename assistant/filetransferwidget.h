#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

// One row of the window's transfers list: the file's name, a progress bar and
// the size text. A running row follows its transfer's progress; a finished
// row shows "Completed", or its end ("Cancelled", "Stalled", "Not saved")
// with the name in italics. The list item owns nothing: the row is the
// item's widget, owned by the list. GUI thread.
class FileTransferWidget : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(FileTransferWidget)
    Q_PROPERTY(bool completed READ isCompleted WRITE setCompleted)
    Q_PROPERTY(int index READ index WRITE setIndex)
    Q_PROPERTY(bool fileXReceived READ isFileXReceived WRITE setFileXReceived)

public:
    explicit FileTransferWidget(QWidget* parent = nullptr);

    bool isCompleted() const { return m_completed; }
    int index() const { return m_index; }
    bool isFileXReceived() const { return m_fileXReceived; }

    void setFileName(const QString& name);
    void setSizeText(const QString& text);
    void setProgress(int percent);
    // A finished transfer that did not arrive whole: progress 0, the name in
    // italics, no size, the text in the bar.
    void setEnded(const QString& text);
    void setNameWidth(int width);
    int nameWidthHint() const;

    QString fileNameText() const;
    QString sizeText() const;
    QString progressText() const;
    int progress() const;

public slots:
    void setCompleted(bool completed);
    void setIndex(int index);
    void setFileXReceived(bool received);

private:
    QLabel* lblFileName;
    QProgressBar* progressBar;
    QLabel* lblFileSize;
    bool m_completed = false;
    int m_index = -1;
    bool m_fileXReceived = false;
};
