#include "windowrig.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QRadioButton>
#include <QTimer>

namespace {

// Past its last whole block a reception may hold a tail until the stop; a file that has not
// grown for this long, once the far end is done, has all it will get before the stop.
constexpr int stillMs = 1000;

} // namespace

WindowRig::WindowRig(const QString& device, int baud, int tickMs)
    // The device COM2 stands for, as `--com2 DEVICE` gives it.
    : m_tickMs(tickMs), m_form(m_dialog, m_messages, {{2, device}})
{
    m_form.show();
    click(QStringLiteral("SPort1")); // COM2
    const QString caption = QString::number(baud);
    for (auto* button : m_form.findChildren<QRadioButton*>()) {
        if (button->objectName().startsWith(QLatin1String("Buart")) && button->text() == caption)
            button->click();
    }
    // Label1 shows the port number, Label2 the line settings the port took.
    m_ready = text(QStringLiteral("Label1")) == QLatin1String("2") &&
              text(QStringLiteral("Label2")).startsWith(caption + QLatin1Char(','));
}

QString WindowRig::errors() const
{
    QStringList texts;
    for (const auto& shown : m_messages.errors)
        texts << shown.text;
    return texts.join(QLatin1Char('\n'));
}

void WindowRig::click(const QString& name)
{
    if (auto* button = m_form.findChild<QAbstractButton*>(name))
        button->click();
}

bool WindowRig::isShown(const QString& name) const
{
    const auto* widget = m_form.findChild<QWidget*>(name);
    return widget && widget->isVisible();
}

QString WindowRig::text(const QString& name) const
{
    const auto* label = m_form.findChild<QLabel*>(name);
    return label ? label->text() : QString();
}

bool WindowRig::runUntil(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer tick;
    tick.setSingleShot(true);
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer armed;
    QElapsedTimer total;
    total.start();
    bool finished = false;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        lateness.push_back(armed.nsecsElapsed() / 1e6 - m_tickMs);
        finished = done();
        if (finished || !m_messages.errors.empty() || total.elapsed() > timeoutMs) {
            loop.quit();
            return;
        }
        armed.start();
        tick.start(m_tickMs);
    });
    armed.start();
    tick.start(m_tickMs);
    loop.exec();
    return finished;
}

WindowRig::Outcome WindowRig::send(const QString& path, int limitMs)
{
    m_dialog.answers.push_back(path);
    click(QStringLiteral("Command1"));
    // "Send Cancel" shows while a send runs.
    if (!m_messages.errors.empty() || !isShown(QStringLiteral("Command2")))
        return Outcome::Failed;
    const bool ended = runUntil([this] { return !isShown(QStringLiteral("Command2")); }, limitMs);
    if (!m_messages.errors.empty())
        return Outcome::Failed;
    if (ended)
        return Outcome::Done;
    click(QStringLiteral("Command2"));
    return Outcome::Cut;
}

bool WindowRig::startReceive(const QString& path)
{
    m_receivePath = path;
    m_dialog.answers.push_back(path);
    click(QStringLiteral("Command3"));
    // "Stop Receive " shows while a reception runs.
    return m_messages.errors.empty() && isShown(QStringLiteral("Command4"));
}

WindowRig::Outcome WindowRig::finishReceive(std::int64_t bytes,
                                            const std::function<bool()>& farEndDone, int limitMs)
{
    // The file tells how far the reception got: the count on screen follows only now and then.
    std::int64_t lastSize = -1;
    QElapsedTimer sinceGrown;
    const auto over = [&] {
        const std::int64_t size = QFileInfo(m_receivePath).size();
        if (size != lastSize) {
            lastSize = size;
            sinceGrown.start();
        }
        return size >= bytes || (size > 0 && farEndDone() && sinceGrown.elapsed() >= stillMs);
    };
    const bool ended = runUntil(over, limitMs);
    click(QStringLiteral("Command4"));
    if (!m_messages.errors.empty() || isShown(QStringLiteral("Command4")))
        return Outcome::Failed;
    return ended ? Outcome::Done : Outcome::Cut;
}
