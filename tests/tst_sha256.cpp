#include "platform/sha256.h"

#include <QCryptographicHash>
#include <QTest>

class Sha256Test : public QObject
{
    Q_OBJECT

private slots:
    void sha256OfAStream()
    {
        Sha256 hash;
        QCOMPARE(hash.hex(),
                 QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
        hash.addData("ab");
        hash.addData("c");
        QCOMPARE(hash.hex(),
                 QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
        // Asking mid-stream does not disturb what follows.
        QByteArray all("abc");
        for (int i = 0; i < 100'000; ++i) {
            const QByteArray piece(i % 97, static_cast<char>(i));
            hash.addData(piece);
            all += piece;
        }
        QCOMPARE(hash.hex(), QCryptographicHash::hash(all, QCryptographicHash::Sha256).toHex());
        hash.reset();
        hash.addData("abc");
        QCOMPARE(hash.hex(),
                 QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }
};

QTEST_GUILESS_MAIN(Sha256Test)
#include "tst_sha256.moc"
