#include "automation.h"

#include "appcontext.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "messages.h"
#include "ui_mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

#include <cstdio>

namespace {

// Longest command line accepted; a peer that sends more without a line end
// is dropped.
constexpr int kMaxLine = 4096;

class Automation : public QObject {
public:
    explicit Automation(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {}

    bool listen(const QString& path) {
        // A socket left by an earlier run is replaced; any other file is not
        // ours to delete.
        const QFileInfo existing(path);
        if (existing.exists() || existing.isSymLink()) {
            // Neither file, folder nor link: a socket (or a pipe).
            if (existing.isFile() || existing.isDir() || existing.isSymLink()) {
                std::fprintf(stderr, "veilnox automation: %s exists and is not a socket\n", qPrintable(path));
                return false;
            }
            QLocalServer::removeServer(path);
        }
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        if (!server_->listen(path)) {
            std::fprintf(stderr, "veilnox automation: cannot listen on %s: %s\n", qPrintable(path),
                         qPrintable(server_->errorString()));
            return false;
        }
        connect(server_, &QLocalServer::newConnection, this, &Automation::onConnection);
        return true;
    }

private:
    void onConnection() {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onData(socket); });
        }
    }

    void onData(QLocalSocket* socket) {
        QPointer<QLocalSocket> guard(socket);
        while (guard && socket->canReadLine()) {
            const QByteArray raw = socket->readLine(kMaxLine + 1);
            if (!raw.endsWith('\n')) {
                // Longer than any command: not a client of ours.
                socket->abort();
                return;
            }
            const QByteArray reply =
                QJsonDocument(handle(QString::fromUtf8(raw.trimmed()))).toJson(QJsonDocument::Compact);
            // The command may have closed the window; the socket lives on.
            if (!guard) return;
            socket->write(reply + '\n');
            socket->flush();
        }
        if (guard && socket->bytesAvailable() > kMaxLine) socket->abort();
    }

    static MainWindow* window() { return appContext().mainWindow; }

    // Start-up has finished once the window exists and the program sits in
    // its main event loop: the list download and the restore of the last
    // connection run before that, inside nested event processing only.
    static bool ready() { return window() && QThread::currentThread()->loopLevel() >= 1; }

    static QJsonObject failure(const QString& text) {
        QJsonObject out;
        out["ok"] = false;
        out["error"] = text;
        return out;
    }

    static QJsonObject success() {
        QJsonObject out = state();
        out["ok"] = true;
        return out;
    }

    static QJsonObject state() {
        QJsonObject out;
        MainWindow* w = window();
        out["ready"] = ready();
        if (!w) return out;
        const MainWindowAccess in(*w);
        Ui::MainWindow* ui = in.ui.get();
        out["connected"] = in.proxyData && in.proxyData->connected == 1;
        out["currentLabel"] = ui->currentLabel->text();
        out["speed"] = in.speedLabel ? in.speedLabel->text().trimmed() : QString();
        out["tab"] = ui->tabMain->currentIndex();
        out["changeTimer"] = in.changeTimer && in.changeTimer->isActive() ? in.changeTimer->interval() : 0;
        out["changeBox"] = ui->changeBox->currentText();
        out["mode"] = in.modeLabel ? in.modeLabel->text() : QString();
        out["statusMessage"] = ui->statusBar->currentMessage();

        QJsonArray servers;
        for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = ui->proxyList->topLevelItem(i);
            QJsonObject row;
            row["text"] = item->text(1);
            if (const ServerEntry* entry = MainWindow::entryOf(item)) {
                row["ip"] = entry->value(QStringLiteral("ip"));
                row["port"] = entry->value(QStringLiteral("port"));
                row["connected"] = entry->connected;
                row["protection"] = ProtectionText(w->rowProtection(*entry));
            }
            servers.append(row);
        }
        out["servers"] = servers;

        QJsonArray connections;
        for (int i = 0; i < ui->connectionList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = ui->connectionList->topLevelItem(i);
            QJsonObject row;
            row["process"] = item->text(0);
            row["send"] = item->text(1);
            row["recv"] = item->text(2);
            row["rate"] = item->text(3);
            row["detail"] = item->text(4);
            connections.append(row);
        }
        out["connectionsHeader"] = ui->connectionList->headerItem()->text(0);
        out["connections"] = connections;
        return out;
    }

    static bool parseIndex(const QString& text, int count, int* index) {
        bool ok = false;
        const int value = text.toInt(&ok);
        if (!ok || value < 0 || value >= count) return false;
        *index = value;
        return true;
    }

    QJsonObject handle(const QString& line) {
        const int blank = line.indexOf(QLatin1Char(' '));
        const QString command = blank < 0 ? line : line.left(blank);
        const QString argument = blank < 0 ? QString() : line.mid(blank + 1).trimmed();
        if (command == QLatin1String("state")) return state();
        if (command == QLatin1String("close") && window()) {
            // Also during start-up (the list download, a message box), as
            // the close box or the tray's Quit would be. The answer goes out
            // first: closing ends the program.
            MainWindow* w = window();
            QTimer::singleShot(0, w, [w] { w->close(); });
            return success();
        }
        if (!ready()) return failure(QStringLiteral("not ready"));
        MainWindow* w = window();
        const MainWindowAccess in(*w);
        Ui::MainWindow* ui = in.ui.get();
        int index = 0;

        if (command == QLatin1String("connect")) {
            if (!parseIndex(argument, ui->proxyList->topLevelItemCount(), &index))
                return failure(QStringLiteral("no such row"));
            QPushButton* button = w->rowButton(ui->proxyList->topLevelItem(index));
            if (!button) return failure(QStringLiteral("row has no connect button"));
            button->click();
            return success();
        }
        if (command == QLatin1String("start")) {
            ui->startBtn->click();
            return success();
        }
        if (command == QLatin1String("change")) {
            if (!ui->changeBox->isEnabled()) return failure(QStringLiteral("selector disabled"));
            if (!parseIndex(argument, ui->changeBox->count(), &index)) return failure(QStringLiteral("no such entry"));
            ui->changeBox->setCurrentIndex(index);
            return success();
        }
        if (command == QLatin1String("changeinterval")) {
            bool ok = false;
            const int ms = argument.toInt(&ok);
            if (!ok || ms < 1) return failure(QStringLiteral("bad interval"));
            if (!in.changeTimer->isActive()) return failure(QStringLiteral("rotation timer not running"));
            in.changeTimer->setInterval(ms);
            return success();
        }
        if (command == QLatin1String("tab")) {
            if (!parseIndex(argument, ui->tabMain->count(), &index)) return failure(QStringLiteral("no such tab"));
            ui->tabMain->setCurrentIndex(index);
            return success();
        }
        if (command == QLatin1String("shot")) {
            if (argument.isEmpty()) return failure(QStringLiteral("no path"));
            QCoreApplication::sendPostedEvents();
            if (!w->grab().save(argument, "PNG")) return failure(QStringLiteral("cannot write ") + argument);
            return success();
        }
        if (command == QLatin1String("shotwindow")) {
            const int gap = argument.indexOf(QLatin1Char(' '));
            const QString path = argument.left(gap);
            const QString title = gap < 0 ? QString() : argument.mid(gap + 1);
            const QWidgetList all = QApplication::topLevelWidgets();
            for (QWidget* widget : all) {
                if (!widget->isVisible() ||
                    (widget->windowTitle() != title && QLatin1String(widget->metaObject()->className()) != title))
                    continue;
                if (!widget->grab().save(path, "PNG")) return failure(QStringLiteral("cannot write ") + path);
                return success();
            }
            return failure(QStringLiteral("no such window"));
        }
        if (command == QLatin1String("open")) {
            // Each opens as its button does; a modal window's event loop
            // must not hold this answer, so the call comes after it.
            void (MainWindow::*slot)() = nullptr;
            if (argument == QLatin1String("settings"))
                slot = &MainWindow::on_settingBtn_clicked;
            else if (argument == QLatin1String("addserver"))
                slot = &MainWindow::AddServer;
            else if (argument == QLatin1String("about"))
                slot = &MainWindow::on_aboutBtn_clicked;
            else if (argument == QLatin1String("logs"))
                slot = &MainWindow::on_logBtn_clicked;
            if (!slot) return failure(QStringLiteral("no such window"));
            QTimer::singleShot(0, w, slot);
            return success();
        }
        if (command == QLatin1String("click")) {
            QWidget* front = frontWindow();
            auto* button = front ? front->findChild<QAbstractButton*>(argument) : nullptr;
            if (!button) return failure(QStringLiteral("no such button"));
            if (!button->isEnabled()) return failure(QStringLiteral("button disabled"));
            QPointer<QAbstractButton> target(button);
            QTimer::singleShot(0, button, [target] {
                if (target) target->click();
            });
            return success();
        }
        if (command == QLatin1String("windows")) {
            QJsonObject out = success();
            out["windows"] = windows();
            return out;
        }
        if (command == QLatin1String("dismiss")) {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return failure(QStringLiteral("no modal window"));
            QPointer<QWidget> target(modal);
            QTimer::singleShot(0, modal, [target] {
                if (auto* dialog = qobject_cast<QDialog*>(target.data()))
                    dialog->reject();
                else if (target)
                    target->close();
            });
            return success();
        }
        return failure(QStringLiteral("unknown command"));
    }

    // The window a user would be working in: the modal one in front, else
    // the main window.
    static QWidget* frontWindow() {
        if (QWidget* modal = QApplication::activeModalWidget()) return modal;
        return window();
    }

    static QJsonArray windows() {
        QJsonArray list;
        QWidget* front = QApplication::activeModalWidget();
        QList<QWidget*> shown;
        if (front && front->isVisible()) shown << front;
        const QWidgetList all = QApplication::topLevelWidgets();
        for (QWidget* widget : all)
            if (widget->isVisible() && widget != front && widget->isWindow()) shown << widget;
        for (QWidget* widget : shown) {
            QJsonObject entry;
            entry["title"] = widget->windowTitle();
            entry["class"] = QString::fromLatin1(widget->metaObject()->className());
            entry["modal"] = widget->isModal();
            entry["exposed"] = widget->windowHandle() && widget->windowHandle()->isExposed();
            const QRect area(widget->mapToGlobal(QPoint(0, 0)), widget->size());
            entry["x"] = area.x();
            entry["y"] = area.y();
            entry["w"] = area.width();
            entry["h"] = area.height();
            list.append(entry);
        }
        return list;
    }

    QLocalServer* server_;
};

void StartAutomation() {
    const QByteArray path = qgetenv("VEILNOX_AUTOMATION_SOCKET");
    if (path.isEmpty()) return;
    SetMessageBoxHook([](MessageKind, const QString& title, const QString& text) {
        std::fprintf(stderr, "message box: %s: %s\n", qPrintable(title), qPrintable(text));
        std::fflush(stderr);
        return true;
    });
    auto* automation = new Automation(QCoreApplication::instance());
    if (!automation->listen(QFile::decodeName(path))) return;
    // The platform is known once the GUI application has started: the font
    // is set before the first window is built.
    QTimer::singleShot(0, automation, [] {
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) return;
        QFont font = QApplication::font();
        font.setPointSize(9);
        QApplication::setFont(font);
    });
}

}  // namespace

void InstallAutomation() {
    if (qEnvironmentVariableIsEmpty("VEILNOX_AUTOMATION_SOCKET")) return;
    // The offscreen platform says 100 dpi; desktop sessions (and the
    // windows' designed sizes) have 96. Read when the application starts.
    if (qgetenv("QT_QPA_PLATFORM").startsWith("offscreen") && qEnvironmentVariableIsEmpty("QT_FONT_DPI"))
        qputenv("QT_FONT_DPI", "96");
    qAddPreRoutine(StartAutomation);
}
