// What the window asks of the user and of the desktop: messages, the folder
// choice, a yes/no question, opening a folder.  The window goes through this
// interface so that tests can answer in place of a person.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

class WindowPrompts {
public:
    virtual ~WindowPrompts() = default;
    // A modal message without a parent window.
    virtual void message(const QString &text);
    // A modal yes/no question; No is the default answer.
    virtual bool confirm(QWidget *parent, const QString &text);
    // The folder chosen, or a null string when the dialog was cancelled.
    virtual QString chooseFolder(QWidget *parent, const QString &caption, const QString &start);
    virtual void openFolder(const QUrl &url);

    // The prompts of a real session.
    static WindowPrompts *standard();
};
