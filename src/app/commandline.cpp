#include "app/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine result;
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "CommandLine", "Sends files to and receives files from a device on a serial line."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption com1(
        {QStringLiteral("com1")},
        QCoreApplication::translate("CommandLine", "Use DEVICE as COM1 for this run."),
        QStringLiteral("DEVICE"));
    const QCommandLineOption com2(
        {QStringLiteral("com2")},
        QCoreApplication::translate("CommandLine", "Use DEVICE as COM2 for this run."),
        QStringLiteral("DEVICE"));
    parser.addOption(com1);
    parser.addOption(com2);

    // Known before parsing, so that an error can be shown with the usage.
    result.helpText = parser.helpText();
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(helpOption)) {
        result.helpRequested = true;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QCoreApplication::translate("CommandLine", "Unexpected argument: %1")
                           .arg(parser.positionalArguments().first());
        return result;
    }
    for (const auto& [port, option] : {std::pair{1, &com1}, std::pair{2, &com2}}) {
        if (!parser.isSet(*option))
            continue;
        const QString device = parser.value(*option);
        if (device.isEmpty()) {
            result.error =
                QCoreApplication::translate("CommandLine", "--com%1 needs a device.").arg(port);
            return result;
        }
        result.devices.insert(port, device);
    }
    return result;
}
