#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;
class TransferReport;

// The status bar's account of a transfer, laid out from the transfer's own report. While it
// runs: a send's rate and time left, or a reception's rate and the time since its last byte, so
// the user sees when the device has finished; refreshed four times a second. When it ends: the text
// it ended with (a summary with the SHA-256 of the bytes), which stays until the next transfer.
class TransferFeedback : public QObject
{
    Q_OBJECT

public:
    // `detail` takes the lines after the first.
    TransferFeedback(QLabel& status, QLabel& detail, QObject* parent = nullptr);

    // Follows `report` (which outlives the transfer) until `ended`.
    void started(const TransferReport& report);
    void ended(const QString& text);
    // A line shown under the running account until the transfer ends (a warning, say).
    void note(const QString& text);

signals:
    // The status was just laid out again while a transfer runs: what follows it on screen
    // refreshes now too, and the window is painted once for both.
    void refreshed();

private:
    void refresh();
    void show(const QString& text);

    QLabel& m_status;
    QLabel& m_detail;
    QTimer m_tick;
    const TransferReport* m_report = nullptr;
    QString m_note;
};
