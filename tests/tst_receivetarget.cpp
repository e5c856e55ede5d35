#include "transfer/receivetarget.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray content(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class ReceiveTargetTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void givenBackAsFound()
    {
        // A file that was there keeps its content; one the open made goes again.
        QFile old(path("old"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("precious");
        old.close();
        for (const char* name : {"old", "new"}) {
            ReceiveTarget target;
            QString error;
            QVERIFY(target.open(path(name), &error));
            QCOMPARE(target.holdsData(), name == QLatin1String("old"));
            target.giveBack();
        }
        QCOMPARE(content(path("old")), QByteArray("precious"));
        QVERIFY(!QFile::exists(path("new")));

        ReceiveTarget target;
        QVERIFY(target.open(path("old"), nullptr));
        QVERIFY(target.claim(nullptr));
        qint64 written = 0;
        QVERIFY(target.write("fresh", &written, nullptr));
        QCOMPARE(written, qint64(5));
        QCOMPARE(content(path("old")), QByteArray("fresh"));
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
};

QTEST_GUILESS_MAIN(ReceiveTargetTest)
#include "tst_receivetarget.moc"
