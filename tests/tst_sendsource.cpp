#include "transfer/sendsource.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

class SendSourceTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void onlyFilesThatTellTheirLength_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("says"); // empty: sent
        QTest::newRow("empty file") << m_dir.filePath(QStringLiteral("empty")) << QString();
        // A file of the system: its length reads 0, yet it has content.
        QTest::newRow("/proc") << QStringLiteral("/proc/self/status")
                               << QStringLiteral("length reads 0");
        QTest::newRow("device") << QStringLiteral("/dev/zero") << QStringLiteral("device");
    }
    void onlyFilesThatTellTheirLength()
    {
        QFETCH(QString, path);
        QFETCH(QString, says);
        QFile(m_dir.filePath(QStringLiteral("empty"))).open(QIODevice::WriteOnly);
        SendSource source;
        QString error;
        QCOMPARE(source.open(path, &error), says.isEmpty());
        if (says.isEmpty()) {
            QCOMPARE(source.length(), qint64(0));
            return;
        }
        QVERIFY2(error.startsWith(QStringLiteral("Cannot send \"%1\": ").arg(path)) &&
                     error.contains(says),
                 qPrintable(error));
        QVERIFY(!source.isOpen());
    }

    void fileShorterThanItsLengthIsReported()
    {
        const QString path = m_dir.filePath(QStringLiteral("shrinking"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(QByteArray(100, 'x')), qint64(100));
        file.close();
        SendSource source;
        QString error;
        QVERIFY(source.open(path, &error));
        QVERIFY(QFile::resize(path, 60));
        char buffer[100];
        QCOMPARE(source.read(buffer, 50, 0, &error), qint64(50));
        QCOMPARE(source.read(buffer, 50, 50, &error), qint64(-1));
        QVERIFY2(error.contains(QStringLiteral("ended after 60 bytes")) &&
                     error.contains(QStringLiteral("length of 100")) &&
                     error.contains(QStringLiteral("50 bytes were sent")),
                 qPrintable(error));
    }

    void streamIsReadWithoutWaitingToItsEnd()
    {
        int fds[2] = {-1, -1};
        QCOMPARE(::pipe(fds), 0);
        const int flags = ::fcntl(fds[0], F_GETFL);
        {
            SendSource source;
            QString error;
            QVERIFY2(source.openStream(fds[0], &error), qPrintable(error));
            QCOMPARE(source.length(), qint64(-1));
            QCOMPARE(source.displayName(), QStringLiteral("standard input"));
            char buffer[16];
            QCOMPARE(source.read(buffer, sizeof buffer, 0, &error), qint64(0));
            QVERIFY(!source.atEnd());
            QSignalSpy readable(&source, &SendSource::readable);
            QCOMPARE(::write(fds[1], "abc", 3), ssize_t(3));
            QVERIFY(readable.wait(10000));
            QCOMPARE(source.read(buffer, sizeof buffer, 0, &error), qint64(3));
            QCOMPARE(QByteArray(buffer, 3), QByteArray("abc"));
            ::close(fds[1]);
            QCOMPARE(source.read(buffer, sizeof buffer, 3, &error), qint64(0));
            QVERIFY(source.atEnd());
        }
        // The descriptor is the shell's too: it gets its own flags back.
        QCOMPARE(::fcntl(fds[0], F_GETFL), flags);
        ::close(fds[0]);
    }
};

QTEST_GUILESS_MAIN(SendSourceTest)
#include "tst_sendsource.moc"
