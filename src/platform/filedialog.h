#pragma once

#include <QString>

class QWidget;

// The window's one file dialog, shared by sending and receiving. Its FileName survives between
// uses. Tests put a scripted dialog in its place.
class FileDialog
{
public:
    virtual ~FileDialog() = default;

    // Each returns false when the user dismissed the dialog; FileName is then unchanged.
    virtual bool ShowOpen(QWidget* parent) = 0;
    // The caller asks about overwriting an existing file itself.
    virtual bool ShowSave(QWidget* parent) = 0;

    QString FileName() const { return m_fileName; }
    void setFileName(const QString& fileName) { m_fileName = fileName; }

private:
    QString m_fileName;
};
