#include "qt/widgets.h"

#include <QApplication>
#include <QTreeWidget>

// LeakSanitizer: fontconfig keeps a few allocations for the life of the
// process once text has been rendered; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace vnxtest {

QApplication* app() {
    static QApplication* instance = nullptr;
    if (!instance) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        // The windows' sizes are those of 96 dpi (the offscreen platform
        // says 100); a run that names another dpi tests that one.
        if (qEnvironmentVariableIsEmpty("QT_FONT_DPI")) qputenv("QT_FONT_DPI", "96");
        instance = new QApplication(appArgc(), appArgv());
        settleApp();
    }
    return instance;
}

QStringList columnTexts(const QTreeWidget& list, int column) {
    QStringList texts;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        texts << list.topLevelItem(i)->text(column);
    return texts;
}

MessageRecorder::MessageRecorder(bool answerWith) : answer(answerWith) {
    previous_ = SetMessageBoxHook([this](MessageKind kind, const QString& title, const QString& text) {
        boxes.append({kind, title, text});
        return kind == MessageKind::YesNo || kind == MessageKind::OkCancel ? answer : true;
    });
}

MessageRecorder::~MessageRecorder() { SetMessageBoxHook(previous_); }

UrlRecorder::UrlRecorder() {
    previous_ = SetOpenUrlHook([this](const QString& url) {
        urls << url;
        return true;
    });
}

UrlRecorder::~UrlRecorder() { SetOpenUrlHook(previous_); }

}  // namespace vnxtest
