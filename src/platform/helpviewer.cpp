#include "platform/helpviewer.h"

QString HelpViewer::helpFilePath(const QString& folder, QChar separator)
{
    QString path = folder;
    if (!path.endsWith(separator))
        path += separator;
    return path + QStringLiteral("baud.hlp");
}
