// Takes the README's picture of the window: the real window, offscreen, sends a sample file to a
// pseudo-terminal whose far end takes it at 115200 baud, and is grabbed mid-send, once the rate
// and the time left have settled. Writes a PNG of few colours, so it stays small.
#include "device/rawpty.h"
#include "main_window/form1.h"
#include "scriptedui.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include <unistd.h>

namespace {

constexpr int lineBytesPerSecond = 11520; // 115200 baud, 10 bits a byte
constexpr int grabAfterMs = 6500;

// A firmware image, as a device would be sent one: a header, then binary data.
QByteArray sampleImage()
{
    QByteArray bytes("MRLN\x01\x02\x00\x00 firmware 1.4.2 for board rev C\n", 48);
    for (int i = 0; bytes.size() < 200 * 1024; ++i)
        bytes += char((i * 37 + (i >> 8) * 11) & 0xFF);
    return bytes;
}

// Takes what the window sends at the line's pace until told to stop.
void readPaced(int master, const std::atomic<bool>& stop)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    qint64 taken = 0;
    char buffer[4096];
    while (!stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        const qint64 due = qint64(elapsed.count()) * lineBytesPerSecond / 1'000'000;
        while (taken < due) {
            const ssize_t n = ::read(master, buffer, std::min<qint64>(sizeof buffer, due - taken));
            if (n <= 0)
                break;
            taken += n;
        }
    }
}

// 16 levels a channel: smooth enough for the edges of text, and few enough that the rare colours
// (a red count) keep a place among the 256.
QRgb quantised(QRgb c)
{
    return qRgb(qRed(c) / 16 * 17, qGreen(c) / 16 * 17, qBlue(c) / 16 * 17);
}

// The picture in at most 256 colours, the most frequent ones, any other pixel given the nearest
// of them: a window is mostly flat areas and text, which this keeps sharp, at a tenth of the size.
QImage fewColours(const QImage& image)
{
    QHash<QRgb, qint64> counts;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            ++counts[quantised(line[x])];
    }
    QList<std::pair<qint64, QRgb>> byCount;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        byCount.append({it.value(), it.key()});
    std::sort(byCount.begin(), byCount.end(), std::greater<>());
    QList<QRgb> palette;
    for (qsizetype i = 0; i < std::min<qsizetype>(256, byCount.size()); ++i)
        palette.append(byCount[i].second);
    const auto nearest = [&](QRgb c) {
        int best = 0;
        int bestDistance = INT_MAX;
        for (int i = 0; i < palette.size(); ++i) {
            const int dr = qRed(c) - qRed(palette[i]), dg = qGreen(c) - qGreen(palette[i]),
                      db = qBlue(c) - qBlue(palette[i]);
            const int distance = dr * dr + dg * dg + db * db;
            if (distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        return best;
    };
    QHash<QRgb, int> index;
    QImage indexed(image.size(), QImage::Format_Indexed8);
    indexed.setColorTable(palette);
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        uchar* to = indexed.scanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = quantised(line[x]);
            auto found = index.find(c);
            if (found == index.end())
                found = index.insert(c, nearest(c));
            to[x] = uchar(found.value());
        }
    }
    return indexed;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QString out =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/window-send.png");
    RawPty pty;
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/marlune-XXXXXX"));
    if (!pty.isValid() || !dir.isValid()) {
        std::fprintf(stderr, "windowshot: no pseudo-terminal or temporary folder\n");
        return 1;
    }
    const QString sample = dir.filePath(QStringLiteral("firmware-1.4.2.bin"));
    QFile file(sample);
    if (!file.open(QIODevice::WriteOnly) || file.write(sampleImage()) < 0)
        return 1;
    file.close();

    ScriptedFileDialog dialog;
    ScriptedMessages messages;
    Form1 window(dialog, messages, {{1, QString::fromStdString(pty.path())}}, 1);
    window.findChild<QRadioButton*>(QStringLiteral("Buart7"))->click(); // 115200
    window.show();

    std::atomic<bool> stop = false;
    std::thread farEnd(readPaced, pty.master(), std::cref(stop));
    dialog.answers.push_back(sample);
    window.Command1_Click();

    bool saved = false;
    QTimer::singleShot(grabAfterMs, &window, [&] {
        const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
        saved = messages.errors.empty() && fewColours(shot).save(out, "PNG", 0);
        QApplication::quit();
    });
    QApplication::exec();
    stop = true;
    farEnd.join();
    if (!saved) {
        std::fprintf(stderr, "windowshot: could not take %s\n", qPrintable(out));
        return 1;
    }
    std::printf("%s\n", qPrintable(out));
    return 0;
}
