#include "platform/serialport.h"

SerialPort::SerialPort(QObject* parent) : QObject(parent)
{
    connect(&m_output, &SerialOutput::failed, this, &SerialPort::lose);
    connect(&m_input, &SerialInput::failed, this, &SerialPort::lose);
}

SerialPort::~SerialPort()
{
    m_output.disconnect(this);
    m_input.disconnect(this);
    closePort();
}

bool SerialPort::setCommPort(int port, QString* error)
{
    if (PortOpen()) {
        if (error)
            *error = tr("The port number cannot change while %1 is open.").arg(describe());
        return false;
    }
    if (!PortMap::isPort(port)) {
        if (error)
            *error = tr("There is no port number %1; use 1 or 2.").arg(port);
        return false;
    }
    m_commPort = port;
    return true;
}

bool SerialPort::setSettings(const QString& settings, QString* error)
{
    std::optional<LineSettings> line = LineSettings::parse(settings, error);
    if (!line)
        return false;
    line->flow = m_line.flow;
    QString why;
    if (!applyLine(*line, &why)) {
        if (error)
            *error =
                tr("%1 cannot use the line settings \"%2\": %3").arg(describe(), settings, why);
        return false;
    }
    m_settings = settings;
    return true;
}

bool SerialPort::setFlowControl(LineSettings::Flow flow, QString* error)
{
    LineSettings line = m_line;
    line.flow = flow;
    QString why;
    if (!applyLine(line, &why)) {
        if (error)
            *error = tr("%1 cannot use the flow control \"%2\": %3")
                         .arg(describe(), LineSettings::flowName(flow), why);
        return false;
    }
    return true;
}

bool SerialPort::applyLine(const LineSettings& line, QString* why)
{
    if (PortOpen() && !m_device.apply(line, why)) {
        // Put back what the port had, so the refused value leaves no trace.
        QString ignored;
        m_device.apply(m_line, &ignored);
        return false;
    }
    m_line = line;
    m_output.setLine(m_line);
    return true;
}

bool SerialPort::setPortOpen(bool open, QString* error)
{
    if (!open) {
        closePort();
        return true;
    }
    return openAt(device(), error);
}

bool SerialPort::openAt(const QString& path, QString* error)
{
    if (PortOpen()) {
        if (error)
            *error = tr("Cannot open %1: the port is already open.").arg(describe());
        return false;
    }
    QString why;
    if (!m_device.open(path, m_line, &why)) {
        if (error)
            *error = tr("Cannot open %1: %2").arg(describe(), why);
        return false;
    }
    m_output.opened(m_line);
    m_input.opened();
    return true;
}

void SerialPort::closePort()
{
    if (!PortOpen())
        return;
    m_input.closing();
    m_input.closed();
    m_output.closed();
    // What the system already took is left to go out (on a pty, for the far end to read).
    m_device.close();
}

void SerialPort::lose(const QString& why)
{
    if (!PortOpen())
        return;
    const QString reason = tr("%1 stopped working: %2").arg(describe(), why);
    closePort();
    QMetaObject::invokeMethod(
        this, [this, reason] { emit deviceLost(reason); }, Qt::QueuedConnection);
}
