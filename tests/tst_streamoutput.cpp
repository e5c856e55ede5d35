#include "transfer/streamoutput.h"

#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

// Both ends of a pipe, closed with the test whatever it closed itself.
struct Pipe
{
    int fds[2] = {-1, -1};
    Pipe() { QVERIFY(::pipe2(fds, O_CLOEXEC) == 0); }
    ~Pipe() { ::close(fds[0]), ::close(fds[1]); }
    int reader() const { return fds[0]; }
    int writer() const { return fds[1]; }
    void closeReader() { ::close(std::exchange(fds[0], -1)); }
    // Bytes written and not read yet.
    qint64 held() const
    {
        int n = 0;
        return ::ioctl(fds[0], FIONREAD, &n) == 0 ? n : -1;
    }
};

} // namespace

class StreamOutputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // As in the program: a reader that went away fails the write instead of killing us.
        std::signal(SIGPIPE, SIG_IGN);
    }

    void slowReaderGetsEveryByteInOrder()
    {
        Pipe pipe;
        StreamOutput output;
        QString error;
        QVERIFY2(output.open(pipe.writer(), &error), qPrintable(error));
        QVERIFY(::fcntl(pipe.writer(), F_GETFL) & O_NONBLOCK);
        QVERIFY(::fcntl(pipe.reader(), F_SETFL, O_NONBLOCK) == 0);
        QSignalSpy tookMore(&output, &StreamOutput::tookMore);

        // Never periodic, so a piece dropped, doubled or swapped shows.
        QByteArray data(5 * 1024 * 1024 + 333, Qt::Uninitialized);
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = char((quint32(i) * 2654435761u) >> 19);

        QByteArray arrived;
        qsizetype sent = 0;
        int piece = 0, timesFull = 0;
        while (arrived.size() < data.size()) {
            while (sent < data.size() && output.room() > 0) {
                const qsizetype size =
                    std::min<qsizetype>(1 + (++piece * 7919) % 200'000, data.size() - sent);
                QVERIFY2(output.write(QByteArrayView(data).sliced(sent, size), &error),
                         qPrintable(error));
                sent += size;
                // Every byte taken is in the reader's hands, in the pipe or queued here.
                QCOMPARE(output.backlog(), sent - arrived.size() - pipe.held());
                QCOMPARE(output.room(),
                         std::max<qint64>(0, StreamOutput::queueLimit - output.backlog()));
            }
            if (sent < data.size()) {
                QVERIFY(output.backlog() >= StreamOutput::queueLimit);
                QCOMPARE(output.room(), qint64(0));
                ++timesFull;
            }
            // The reader takes what the pipe holds now, then nothing until the next round.
            const qint64 before = output.backlog();
            char buffer[65536];
            for (ssize_t n; (n = ::read(pipe.reader(), buffer, sizeof buffer)) > 0;)
                arrived.append(buffer, n);
            if (before > 0) {
                QVERIFY(tookMore.wait(10000));
                QVERIFY(output.backlog() < before);
            }
        }
        QVERIFY(timesFull > 0);
        QCOMPARE(output.backlog(), qint64(0));
        QCOMPARE(output.room(), StreamOutput::queueLimit);
        QVERIFY(!output.hasFailed());
        QVERIFY(arrived == data);
    }

    void readerGoingAwayFailsOnceAndForAll()
    {
        const QString gone = QStringLiteral("its reader went away");
        const QByteArray data(300 * 1024, 'x');
        QString error;

        // While bytes are queued: the queue tells, once, when the reader is found gone.
        Pipe queued;
        StreamOutput output;
        QVERIFY(output.open(queued.writer(), &error));
        QVERIFY(output.write(data, &error));
        const qint64 lost = output.backlog();
        QVERIFY(lost > 0);
        QSignalSpy failed(&output, &StreamOutput::failed);
        queued.closeReader();
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.first().first().toString(), gone);
        QVERIFY(output.hasFailed());
        QVERIFY(!output.write("more", &error));
        QCOMPARE(error, gone);
        // What the reader never took stays counted, to be reported as lost.
        QCOMPARE(output.backlog(), lost);
        QTest::qWait(100);
        QCOMPARE(failed.size(), 1);

        // With nothing queued: the write itself says so, and so does every later one.
        Pipe direct;
        StreamOutput idle;
        QVERIFY(idle.open(direct.writer(), &error));
        direct.closeReader();
        QSignalSpy idleFailed(&idle, &StreamOutput::failed);
        for (int i = 0; i < 2; ++i) {
            error.clear();
            QVERIFY(!idle.write("more", &error));
            QCOMPARE(error, gone);
        }
        QVERIFY(idle.hasFailed());
        QCOMPARE(idle.backlog(), qint64(0));
        QVERIFY(idleFailed.isEmpty());
    }

    void closeGivesTheDescriptorBack()
    {
        // Whatever the shell set stays as it was: blocking or not.
        for (const int before : {0, O_NONBLOCK}) {
            Pipe pipe;
            QVERIFY(::fcntl(pipe.writer(), F_SETFL, before) == 0);
            StreamOutput output;
            QString error;
            QVERIFY(output.open(pipe.writer(), &error));
            QVERIFY(output.write(QByteArray(200 * 1024, 'y'), &error));
            QVERIFY(output.backlog() > 0);
            output.close();
            QCOMPARE(output.backlog(), qint64(0));
            QCOMPARE(output.room(), StreamOutput::queueLimit);
            QCOMPARE(::fcntl(pipe.writer(), F_GETFL) & O_NONBLOCK, before);
        }

        Pipe pipe;
        StreamOutput output;
        QString error;
        QVERIFY(!output.open(pipe.reader(), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write to standard output: ")),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(StreamOutputTest)
#include "tst_streamoutput.moc"
