#include "testfiles.h"
#include "transfer/receivetarget.h"
#include "transfer/streamoutput.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class ReceiveTargetTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }

private slots:
    void initTestCase()
    {
        // As in the program: a reader that went away fails the write instead of killing us.
        std::signal(SIGPIPE, SIG_IGN);
    }
    void init() { QVERIFY(m_dir.isValid()); }

    void givenBackAsFound()
    {
        // A file that was there keeps its content; one the open made goes again.
        QVERIFY(writeFile(path("old"), "precious"));
        for (const char* name : {"old", "new"}) {
            ReceiveTarget target;
            QString error;
            QVERIFY(target.open(path(name), &error));
            QCOMPARE(target.holdsData(), name == QLatin1String("old"));
            target.giveBack();
        }
        QCOMPARE(readFile(path("old")), QByteArray("precious"));
        QVERIFY(!QFile::exists(path("new")));

        ReceiveTarget target;
        QVERIFY(target.open(path("old"), nullptr));
        QVERIFY(target.claim(nullptr));
        qint64 written = 0;
        QVERIFY(target.write("fresh", &written, nullptr));
        QCOMPARE(written, qint64(5));
        QCOMPARE(readFile(path("old")), QByteArray("fresh"));
    }

    void pipeNobodyReadsIsRefused()
    {
        // Writing to it could wait forever, deaf to a stop.
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        ReceiveTarget target;
        QString error;
        QVERIFY(!target.open(path("fifo"), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Cannot receive into \"%1\"").arg(path("fifo"))) &&
                     error.contains(QStringLiteral("not a regular file")),
                 qPrintable(error));
    }

    void streamQueuesWhatItsReaderHasNotTakenYet()
    {
        int fds[2] = {-1, -1};
        QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
        StreamOutput output;
        QString error;
        QVERIFY2(output.open(fds[1], &error), qPrintable(error));
        ReceiveTarget target;
        target.openStream(output);
        QByteArray data(300 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = char(i * 7 / 3);

        // More than a pipe holds: the rest waits, and counts against the room.
        qint64 written = 0;
        QVERIFY(target.write(data, &written, &error));
        QCOMPARE(written, data.size());
        QVERIFY(target.backlog() > 0);
        QCOMPARE(target.room(), StreamOutput::queueLimit - target.backlog());

        // The reader takes it all, in order.
        QSignalSpy tookMore(&target, &ReceiveTarget::tookMore);
        QByteArray arrived;
        const auto readAll = [&] {
            char buffer[65536];
            for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                arrived.append(buffer, n);
            return target.backlog() == 0;
        };
        QVERIFY(::fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(), 10000);
        readAll();
        QVERIFY(!tookMore.isEmpty());
        QVERIFY(arrived == data);

        // A reader that goes away while bytes wait for it.
        QVERIFY(target.write(data, &written, &error));
        QSignalSpy broken(&target, &ReceiveTarget::broken);
        ::close(fds[0]);
        QVERIFY(broken.wait(10000));
        QCOMPARE(broken.first().first().toString(), QStringLiteral("its reader went away"));
        QVERIFY(!target.write("more", &written, &error));
        QCOMPARE(error, QStringLiteral("its reader went away"));
    }
};

QTEST_GUILESS_MAIN(ReceiveTargetTest)
#include "tst_receivetarget.moc"
