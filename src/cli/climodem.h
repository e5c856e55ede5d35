#pragma once

#include "transfer/modemoptions.h"
#include "transfer/modemreceiver.h"
#include "transfer/modemsender.h"

#include <QObject>
#include <QString>

class ProgressPrinter;
class SerialPort;

// `marlune send --protocol ...` and `marlune receive --protocol ...`: one XMODEM, XMODEM-1K or
// YMODEM transfer through the same engines as the window, with progress of the acknowledged
// bytes and a summary with the SHA-256 of the file's bytes.
class CliModem : public QObject
{
    Q_OBJECT

public:
    explicit CliModem(SerialPort& port, ProgressPrinter& progress, QObject* parent = nullptr);

    // False, with a one-line reason, when the file or the port cannot be opened.
    bool startSend(const QString& path, const ModemOptions& options, QString* error);
    // `path` is a file, or for YMODEM a folder.
    bool startReceive(const QString& path, const ModemOptions& options, bool force, QString* error);
    // Cancels with CAN CAN, as the window's cancel does.
    void interrupt(const QString& why);

signals:
    // 0 when the transfer completed.
    void done(int exitCode);

private:
    void onSent(const ModemSender::Outcome& outcome);
    void onReceived(const ModemReceiver::Outcome& outcome);

    SerialPort& m_port;
    ProgressPrinter& m_progress;
    ModemSender m_sender;
    ModemReceiver m_receiver;
    QString m_protocol;
    bool m_progressShown = false;
};
