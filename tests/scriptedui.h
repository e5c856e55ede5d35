#pragma once

#include "isolatedsettings.h"
#include "platform/filedialog.h"
#include "platform/messageservice.h"

#include <QStringList>

#include <deque>
#include <functional>
#include <utility>
#include <vector>

// A file dialog that answers from a script instead of asking a person. Each answer is a path,
// or an empty string for a dismissed dialog. An optional hook runs while the "dialog is
// shown", as a user could do things meanwhile.
class ScriptedFileDialog final : public FileDialog
{
public:
    std::deque<QString> answers;
    std::function<void()> whileShown;
    int opens = 0;
    int saves = 0;

    bool ShowOpen(QWidget*) override
    {
        ++opens;
        return answer();
    }
    bool ShowSave(QWidget*) override
    {
        ++saves;
        return answer();
    }

private:
    bool answer()
    {
        if (whileShown)
            std::exchange(whileShown, nullptr)();
        if (answers.empty())
            return false;
        const QString path = answers.front();
        answers.pop_front();
        if (path.isEmpty())
            return false;
        setFileName(path);
        return true;
    }
};

// Message boxes that record what they were asked and answer OK/Cancel from a script
// (OK when the script is empty).
class ScriptedMessages final : public MessageService
{
public:
    struct Shown
    {
        QString title;
        QString text;
    };
    std::vector<Shown> errors;
    std::vector<Shown> questions;
    std::deque<bool> okAnswers;

    void showError(QWidget*, const QString& title, const QString& text) override
    {
        errors.push_back({title, text});
    }
    bool askOkCancel(QWidget*, const QString& title, const QString& text) override
    {
        questions.push_back({title, text});
        if (okAnswers.empty())
            return true;
        const bool ok = okAnswers.front();
        okAnswers.pop_front();
        return ok;
    }
};
