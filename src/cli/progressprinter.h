#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QIODevice;
class TransferReport;

// Shows how a transfer goes, laid out from the transfer's own report, on standard error in the
// program. On a terminal one line is redrawn in place ten times a second (bytes, percent and a
// bar when the total is known, rate, time left); elsewhere a plain line every two seconds, so a
// short transfer writes only its summary. Nothing is held per byte: memory stays the same
// whatever the size.
class ProgressPrinter : public QObject
{
    Q_OBJECT

public:
    enum class Style
    {
        Live,  // a terminal: one line redrawn with a carriage return
        Lines, // a file or a pipe: whole lines only
    };

    explicit ProgressPrinter(QIODevice& out, Style style, QObject* parent = nullptr);

    // Live for a terminal, Lines otherwise.
    static Style styleFor(int fd);

    // Shown until `start` on a terminal, such as "waiting for the first byte"; nothing elsewhere.
    void showWaiting(const QString& text);
    // Follows `report` (which outlives the display) until `finish`; `verb` names what happens to
    // the bytes, such as "sent".
    void start(const TransferReport& report, const QString& verb);
    // A line of its own, such as an error, without garbling the live line.
    void message(const QString& text);
    // A failure, as "marlune: " and the message on one line.
    void error(const QString& text);
    // Ends the display with the summary line.
    void finish(const QString& summary);

    // Messages may span lines; a script's log wants one line per event. Each line ends as a
    // sentence: "failed: No space left on device. The reception was stopped".
    static QString oneLine(const QString& text);

private:
    void tick();
    QString statusText(bool live) const;
    void write(const QString& text);
    void clearLiveLine();

    QIODevice& m_out;
    Style m_style;
    QTimer m_timer;
    const TransferReport* m_report = nullptr;
    qint64 m_printedDone = 0;
    QString m_verb;
    bool m_liveLineShown = false;
    QString m_waitingText;
};
