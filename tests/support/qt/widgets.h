#pragma once
// The client tests' widget part of the test support (target
// vnx_qt_test_widgets, on vnx_qt_test_core, the client's widgets and the
// main window): the QApplication of a GUI test process and recorders for the
// message-box and URL hooks. Used from the test's main thread.
#include "messages.h"
#include "qt/clientcore.h"

#include <QList>
#include <QString>
#include <QStringList>

class QApplication;
class QTreeWidget;

namespace vnxtest {

// The QApplication of the test process (offscreen platform), created on
// first use with the program folder as the current folder, like the client.
QApplication* app();

// The texts of one column of a list, top to bottom.
QStringList columnTexts(const QTreeWidget& list, int column);

// Records the boxes shown while it lives and answers YesNo / OkCancel boxes
// with `answer`.
class MessageRecorder {
public:
    explicit MessageRecorder(bool answer = false);
    ~MessageRecorder();
    struct Box {
        MessageKind kind;
        QString title;
        QString text;
    };
    QList<Box> boxes;
    bool answer;

private:
    MessageBoxHook previous_;
};

// Records the addresses opened while it lives (nothing is really opened).
class UrlRecorder {
public:
    UrlRecorder();
    ~UrlRecorder();
    QStringList urls;

private:
    OpenUrlHook previous_;
};

}  // namespace vnxtest
