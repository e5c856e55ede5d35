#pragma once

#include "transfer/textpreview.h"

#include <QFont>

class QPlainTextEdit;

// Shows data in the window's text view: text in the view's own font, wrapped at its width; a hex
// dump in a fixed-pitch font just small enough for a line of 16 bytes to fit the width, never
// wrapped, so its columns stay in line.
class DataView
{
public:
    explicit DataView(QPlainTextEdit& view);

    void show(const TextPreview::Preview& preview);
    // A message of the program's own, such as that it waits for data.
    void showMessage(const QString& text) { show({text, false}); }

private:
    QFont dumpFont() const;

    QPlainTextEdit& m_view;
    QFont m_textFont;
    bool m_dumpShown = false;
};
