#include "platform/regularfile.h"
#include "testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class RegularFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void openModes()
    {
        RegularFile file;
        QString error;
        QVERIFY(!file.open(path(QStringLiteral("missing")), RegularFile::Mode::Read, &error));
        QVERIFY2(error.contains(QStringLiteral("No such file")), qPrintable(error));
        QVERIFY(!QFile::exists(path(QStringLiteral("missing"))));
        QVERIFY(!file.isOpen());
        QVERIFY(!file.open(QString(), RegularFile::Mode::ReadWrite, &error));

        QVERIFY(file.open(path(QStringLiteral("new")), RegularFile::Mode::ReadWrite, &error));
        QVERIFY(file.created());
        QVERIFY(QFile::exists(path(QStringLiteral("new"))));
        QCOMPARE(file.size(), qint64(0));
        QVERIFY(file.open(path(QStringLiteral("new")), RegularFile::Mode::ReadWrite, &error));
        QVERIFY(!file.created());
    }

    void onlyRegularFilesOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("says");
        QTest::newRow("folder") << QString() << QStringLiteral("folder");
        QTest::newRow("pipe without a writer") << QStringLiteral("fifo") << QStringLiteral("FIFO");
        QTest::newRow("device") << QStringLiteral("/dev/zero") << QStringLiteral("device");
    }
    void onlyRegularFilesOpen()
    {
        QFETCH(QString, name);
        QFETCH(QString, says);
        QString target = name.startsWith(QLatin1Char('/')) ? name : path(name);
        if (name.isEmpty())
            target = m_dir.path();
        if (name == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
        // Neither mode waits for a writer or a reader: the answer comes at once.
        for (const auto mode : {RegularFile::Mode::Read, RegularFile::Mode::ReadWrite}) {
            RegularFile file;
            QString error;
            QVERIFY(!file.open(target, mode, &error));
            QVERIFY2(error.contains(says) && error.contains(QStringLiteral("regular file")),
                     qPrintable(error));
            QVERIFY(!file.isOpen());
        }
    }

    void readWriteTruncate()
    {
        RegularFile file;
        const QString name = path(QStringLiteral("data"));
        QString error;
        QVERIFY(writeFile(name, "abcdef"));
        // Opening for writing keeps what the file holds.
        QVERIFY(file.open(name, RegularFile::Mode::ReadWrite, &error));
        QCOMPARE(file.size(), qint64(6));
        qint64 written = 0;
        QVERIFY(file.write("XY", 2, &written, &error));
        QCOMPARE(written, qint64(2));
        // Already on disk while the file is still open.
        QCOMPARE(readFile(name), QByteArray("XYcdef"));

        char buffer[16] = {};
        QCOMPARE(file.read(buffer, 3, &error), qint64(3));
        QCOMPARE(QByteArray(buffer, 3), QByteArray("cde"));
        QCOMPARE(file.read(buffer, sizeof buffer, &error), qint64(1));
        QCOMPARE(buffer[0], 'f');
        QCOMPARE(file.read(buffer, sizeof buffer, &error), qint64(0));

        QVERIFY(file.truncate(&error));
        QCOMPARE(file.size(), qint64(0));
        QVERIFY(file.write("new", 3, &written, &error));
        QCOMPARE(readFile(name), QByteArray("new"));

        QVERIFY(file.open(name, RegularFile::Mode::Read, &error));
        QCOMPARE(file.size(), qint64(3));
        QVERIFY(!file.write("no", 2, &written, &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(name), QByteArray("new"));

        // A closed file answers with failures, not a crash.
        file.close();
        QCOMPARE(file.size(), qint64(-1));
        QCOMPARE(file.read(buffer, 1, &error), qint64(-1));
        QVERIFY(!file.write("x", 1, &written, &error));
    }

    void deletedFileIsNoticed()
    {
        RegularFile file;
        const QString name = path(QStringLiteral("doomed"));
        QVERIFY(file.open(name, RegularFile::Mode::ReadWrite, nullptr));
        QVERIFY(file.isLinked());
        QVERIFY(QFile::remove(name));
        // Writes still succeed; only the link count tells that nobody will find them.
        qint64 written = 0;
        QVERIFY(file.write("lost", 4, &written, nullptr));
        QVERIFY(!file.isLinked());
    }
};

QTEST_GUILESS_MAIN(RegularFileTest)
#include "tst_regularfile.moc"
