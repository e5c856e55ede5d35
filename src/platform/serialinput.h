#pragma once

#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class SerialDevice;

// The port's input: what arrives is read at once into the port's own buffer, so nothing waits in
// the system (where a hang-up throws unread input away) longer than one turn of the event loop,
// and offered to one consumer by the tail rule: in batches that end on a multiple of `batch` in
// the stream the consumer took, and whatever waits once its oldest byte has waited `tailMs`. The
// consumer says how much it took; the rest waits here, offered again with what comes next or at
// `offer`. With no consumer, arrivals are thrown away.
class SerialInput : public QObject
{
    Q_OBJECT

public:
    // Takes what it can of `bytes`, oldest first, and returns how many. `final` says the bytes
    // go with the port otherwise (its close, its loss, the end of a reception): take them all.
    using Consumer = std::function<qint64(QByteArrayView bytes, bool final)>;

    struct Rule
    {
        // 0: offered as they come.
        qint64 batch = 0;
        int tailMs = 0;
    };

    // At most this much is offered at once; the rest is offered again from the event loop.
    static constexpr qint64 maxOffer = 1024 * 1024;
    // Bytes waiting here pile up to this; past it, reading waits and the system holds the rest
    // until its own buffer is full (a pseudo-terminal's writer then waits; a UART without flow
    // control overruns).
    static constexpr qint64 limit = 4 * 1024 * 1024;

    explicit SerialInput(SerialDevice& device, QObject* parent = nullptr);

    // `consumer` takes what arrives from now on, its stream counted from here.
    void setConsumer(Consumer consumer, Rule rule);
    void clearConsumer();
    // The consumer has room again: what is due is offered now.
    void offer();
    // Reads what the system holds now and offers everything waiting, whatever its age.
    void collect();
    // Bytes read and not yet taken.
    qint64 waiting() const { return qint64(m_end - m_begin + m_asideEnd); }

    // The line's side: the port opened; it is about to close (what waits is offered as final);
    // it closed.
    void opened();
    void closing();
    void closed();

signals:
    // Reading failed: the device went away.
    void failed(const QString& why);

private:
    void readArrived();
    // One read of what the system holds: the count, 0 when nothing waits, -1 on failure.
    qint64 readOnce();
    // Moves what arrived while the consumer ran behind what waits.
    void takeAside();
    // Offers what is due; `all` offers everything waiting, as final.
    void offerDue(bool all);
    qint64 due(bool aged) const;
    void drop(qint64 count);
    void clear();
    void armTailTimer();
    void offerLater();

    SerialDevice& m_device;
    Consumer m_consumer;
    Rule m_rule;
    // Taken by the consumer since it was set, for the batch boundaries.
    qint64 m_taken = 0;
    bool m_open = false;

    std::vector<char> m_bytes;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::vector<char> m_aside;
    std::size_t m_asideEnd = 0;
    // Since the oldest byte waiting arrived (or one older, taken meanwhile).
    QElapsedTimer m_since;
    QTimer m_tailTimer;
    // The consumer is running; it may run the event loop (a message box), so an offer meanwhile
    // only notes that another is owed.
    bool m_offering = false;
    bool m_offerOwed = false;
    bool m_offerQueued = false;
    // The consumer took less than it was offered: no tail is offered until `offer`.
    bool m_starved = false;
    // Changes whenever the waiting bytes are thrown away, so an offer knows they are gone.
    quint64 m_generation = 0;
};
