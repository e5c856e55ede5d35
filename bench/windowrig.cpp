#include "windowrig.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

WindowRig::WindowRig(const QString& device, int tickMs)
    : m_tickMs(tickMs), m_form(m_dialog, m_messages, {{2, device}})
{
    m_form.findChild<QRadioButton*>(QStringLiteral("Buart7"))->click(); // 115200
    m_form.show();
}

QString WindowRig::errors() const
{
    QStringList texts;
    for (const auto& shown : m_messages.errors)
        texts << shown.text;
    return texts.join(QLatin1Char('\n'));
}

template <typename Done> bool WindowRig::runUntil(Done done, int timeoutMs)
{
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
        if (done() || !m_messages.errors.empty()) {
            finished = done();
            loop.quit();
            return;
        }
        if (total.elapsed() > timeoutMs) {
            loop.quit();
            return;
        }
        armed.start();
        tick.start(m_tickMs);
    });
    if (done())
        return true;
    armed.start();
    tick.start(m_tickMs);
    loop.exec();
    return finished && m_messages.errors.empty();
}

bool WindowRig::send(const QString& path)
{
    m_dialog.answers.push_back(path);
    m_form.Command1_Click();
    return m_messages.errors.empty() && runUntil([this] { return !sending(); }, 600'000);
}

bool WindowRig::startReceive(const QString& path)
{
    m_dialog.answers.push_back(path);
    m_messages.okAnswers.push_back(true);
    m_form.Command3_Click();
    return receiving();
}

bool WindowRig::finishReceive(std::int64_t bytes, const std::function<bool()>& farEndDone,
                              int timeoutMs)
{
    // A tail shorter than a block waits for the stop.
    const bool arrived =
        runUntil([&] { return receivedCount() > bytes - FileReceiver::blockSize && farEndDone(); },
                 timeoutMs);
    m_form.Command4_Click();
    return arrived && m_messages.errors.empty() && receivedCount() == bytes;
}

bool WindowRig::sending() const
{
    return !m_form.findChild<QPushButton*>(QStringLiteral("Command2"))->isHidden();
}

bool WindowRig::receiving() const
{
    return !m_form.findChild<QPushButton*>(QStringLiteral("Command4"))->isHidden();
}

std::int64_t WindowRig::receivedCount() const
{
    return m_form.findChild<QLabel*>(QStringLiteral("Label7"))->text().toLongLong();
}
