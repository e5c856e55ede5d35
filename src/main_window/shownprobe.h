#pragma once

#include <QObject>

// For start-up measurements: with MARLUNE_EXIT_WHEN_SHOWN=1 in the environment, the program
// prints "shown" on its standard output once its first window has been exposed and painted,
// and quits.
class ShownProbe : public QObject
{
    Q_OBJECT

public:
    // Watches the application when the environment asks for it; does nothing otherwise.
    static void installIfRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
    bool m_seen = false;
};
