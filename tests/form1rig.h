#pragma once

#include "main_window/form1.h"
#include "scriptedui.h"

#include <QAction>
#include <QLabel>
#include <QMap>
#include <QRadioButton>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <memory>

// The store the window keeps the port choice in, in the test's own settings folder.
inline QString storeFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/PLOV.ini");
}

// The main window with a scripted file dialog and scripted messages, not yet shown, and its
// controls by name. `devicesForRun` gives port numbers a device for this run, as --com1 and
// --com2 do.
struct Form1Rig
{
    ScriptedFileDialog dialog;
    ScriptedMessages messages;
    std::unique_ptr<Form1> form;

    explicit Form1Rig(const QMap<int, QString>& devicesForRun = {})
        : form(std::make_unique<Form1>(dialog, messages, devicesForRun))
    {
    }

    // The control named `name`. Without it no check can mean anything, so the test program
    // ends.
    template <typename T = QWidget> T* control(const QString& name) const
    {
        T* w = form->findChild<T*>(name);
        if (!w)
            qFatal("control %s is missing", qPrintable(name));
        return w;
    }
    QString label(const QString& name) const { return control<QLabel>(name)->text(); }
    // "Send Cancel" and "Stop Receive " show only while a send or a reception runs.
    bool sending() const { return !control(QStringLiteral("Command2"))->isHidden(); }
    bool receiving() const { return !control(QStringLiteral("Command4"))->isHidden(); }
    // The received count as the window shows it (at most once a second while bytes come).
    qint64 count() const { return label(QStringLiteral("Label7")).toLongLong(); }
    void menu(const QString& name) const { control<QAction>(name)->trigger(); }
    // A click on a port or speed button, as the user's.
    void click(const QString& name) const
    {
        QTest::mouseClick(control<QRadioButton>(name), Qt::LeftButton);
    }
};
