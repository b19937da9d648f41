#include "mainwindow.h"

#include "addserverdlg.h"
#include "appcontext.h"
#include "apphelpers.h"
#include "autostart.h"
#include "csplashwnd.h"
#include "desktop.h"
#include "download.h"
#include "endpoints.h"
#include "inprocessserver.h"
#include "localservers.h"
#include "logs.h"
#include "logviewer.h"
#include "messages.h"
#include "moduleactions.h"
#include "platform/system.h"
#include "platformdefaults.h"
#include "probe.h"
#include "proxypublish.h"
#include "serverrotation.h"
#include "sharedmemory.h"
#include "ui_mainwindow.h"
#include "updatechecker.h"
#include "version.h"
#include "widgethelpers.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontInfo>
#include <QHeaderView>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QTextDocument>
#include <QTimer>
#include <QUdpSocket>
#include <QVector>

#include <utility>

namespace {

const char kRowProperty[] = "corvane-ip-veilnox";

const char kConnectButtonStyle[] =
    "QPushButton{border: 0px;background: transparent;}"
    "QPushButton{image: url(data/images/buttons/list_connect.png)}"
    "QPushButton:hover{image: url(data/images/buttons/list_connect_hover.png)}";
const char kDisconnectButtonStyle[] =
    "QPushButton{border: 0px;background: transparent;}"
    "QPushButton{image: url(data/images/buttons/list_disconnected.png)}"
    "QPushButton:hover{image: url(data/images/buttons/list_disconnected_hover.png)}";

const char kLspFailed[] = "Install LSP module failed, please login as administrator and try again.";

// A row of "proxyList": it owns the ServerEntry its column-0 data points to,
// so that clearing the list frees the entries with their rows.
class ServerRowItem : public QTreeWidgetItem {
public:
    explicit ServerRowItem(const StringMap& server) : entry(new ServerEntry(server)) {
        setData(0, Qt::UserRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(entry.get())));
    }
    std::unique_ptr<ServerEntry> entry;
};

std::function<bool()>& trayProbe() {
    static std::function<bool()> probe;
    return probe;
}

// Gives the columns of `list` their widths of 96 dpi times `scale`, widened
// where the header title (bold, `padding` pixels on either side) or the
// widest text a column shows (`samples`, by column) needs more. A column a
// few pixels wide is hidden on purpose and stays so. Returns how much wider
// than designed the columns became.
int setColumnWidths(QTreeWidget* list, const QVector<int>& widths, double scale, int padding,
                    const QStringList& samples = QStringList()) {
    constexpr int kHiddenWidth = 5;
    QHeaderView* header = list->header();
    header->ensurePolished();
    QFont bold = header->font();
    bold.setWeight(QFont::DemiBold);
    const QFontMetrics title(bold);
    const QFontMetrics cell(list->font());
    int extra = 0;
    for (int i = 0; i < widths.size(); ++i) {
        const int designed = ScaledPixels(widths[i], scale);
        int width = designed;
        if (widths[i] > kHiddenWidth) {
            const QString text = list->headerItem()->text(i);
            width = qMax(width, qMax(header->sectionSizeHint(i), title.horizontalAdvance(text) + 2 * padding + 2));
            if (i < samples.size() && !samples[i].isEmpty())
                width = qMax(width, cell.horizontalAdvance(samples[i]) + 8);
        }
        list->setColumnWidth(i, width);
        extra += width - designed;
    }
    return extra;
}

// The mark of a row whose server encrypts with its key: a small padlock,
// drawn once.
QIcon lockIcon() {
    static const QIcon icon = [] {
        QPixmap picture(32, 32);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor colour(0x2e, 0x7d, 0x32);
        painter.setPen(QPen(colour, 3.5));
        painter.setBrush(Qt::NoBrush);
        QPainterPath shackle;
        shackle.moveTo(10, 15);
        shackle.lineTo(10, 10);
        shackle.arcTo(QRectF(10, 3, 12, 14), 180, -180);
        shackle.lineTo(22, 15);
        painter.drawPath(shackle);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawRoundedRect(QRectF(6, 14, 20, 15), 3, 3);
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(14, 18.5, 4, 4));
        painter.drawRect(QRectF(15.2, 21, 1.6, 4.5));
        painter.end();
        return QIcon(picture);
    }();
    return icon;
}

QString HtmlToPlainText(const QString& html) {
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    // A report the capture service wrote before this window existed belongs
    // to an earlier session.
    : QMainWindow(parent), ui(new Ui::MainWindow), captureResets_(QDateTime::currentSecsSinceEpoch() - 1) {
    AppContext& app = appContext();
    ui->setupUi(this);
    loading = true;
    if (!app.debugMode) {
        ui->installBtn->hide();
        ui->uninstallBtn->hide();
        ui->testBtn->hide();
        if (!LogViewerAvailable()) ui->logBtn->hide();
    }
    if (LogViewerAvailable()) {
        ui->logBtn->setText(QStringLiteral("Logs..."));
        ui->logBtn->setAccessibleName(QStringLiteral("Logs"));
        ui->logBtn->setToolTip(QStringLiteral("The logs of Veilnox and of its local server"));
    }
    ui->tabMain->setCurrentIndex(0);

    updateLabel = new QLabel(this);
    updateLabel->setTextFormat(Qt::RichText);
    updateLabel->setTextInteractionFlags(Qt::TextBrowserInteraction);
    updateLabel->setOpenExternalLinks(true);
    speedLabel = new QLabel(QStringLiteral(" 0 Kb/s "), this);
    ui->statusBar->addWidget(updateLabel, 1);
    ui->statusBar->addPermanentWidget(speedLabel);
    refreshModeLabel();

    setWindowTitle(app.applicationName + QLatin1Char(' ') + GetAppVersion());
    if (app.updateChecker) connect(app.updateChecker, &UpdateChecker::versionNew, this, &MainWindow::onVersionNew);

    proxyData = vnx::proxyData(true);
    if (!proxyData) {
        ShowInformation(app.applicationName,
                        QStringLiteral("Create Share data failed, please contact us at ") + app.supportAddress);
        return;
    }
    proxyData->debug = app.debugMode ? 1 : 0;
    PublishSettings();
    // No server is selected yet: a key published by an earlier run is gone.
    PublishServerKey(StringMap());

    udpSocket = new QUdpSocket(this);
    connect(udpSocket, &QUdpSocket::readyRead, this, &MainWindow::readPendingDatagrams);

    ui->proxyList->setStyleSheet(QStringLiteral("QTreeView::item#proxyList{height:30px;font-size: 20px;}"));
    ui->proxyList->setHeaderLabels({QStringLiteral("Country"), QStringLiteral("Location / IP"),
                                    QStringLiteral("Signal Strength"), QStringLiteral("Connect"),
                                    QStringLiteral("Connectivity")});
    // The columns keep the widths below; the last one is not stretched over
    // the rest of the row (its text would show as an ellipsis).
    ui->proxyList->header()->setStretchLastSection(false);
    ui->proxyList->header()->setMinimumSectionSize(5);
    ui->proxyList->setSelectionMode(QAbstractItemView::SingleSelection);
    // Narrower header padding than elsewhere: the titles fit the fixed widths.
    ui->proxyList->header()->setStyleSheet(QStringLiteral("QHeaderView::section{padding: 5px 3px;}"));
    const double scale = FontScale(this);
    int extraWidth = setColumnWidths(
        ui->proxyList, {80, app.debugMode ? 230 : 280, app.debugMode ? 80 : 120, 103, app.debugMode ? 75 : 5}, scale,
        3);
    // The rows' own type (Arial 11 and 10 points) is set in whole pixels, so
    // at some dpis it grows more than the dpi does: those two columns grow
    // with it.
    for (const auto& column : {std::pair<int, int>{0, 11}, std::pair<int, int>{1, 10}}) {
        const int atDesign = qRound(column.second * 96 / 72.0);
        const double grown = QFontInfo(QFont(QStringLiteral("Arial"), column.second)).pixelSize() / double(atDesign);
        const int width = qRound(ui->proxyList->columnWidth(column.first) * grown / scale);
        if (grown > scale && width > ui->proxyList->columnWidth(column.first)) {
            extraWidth += width - ui->proxyList->columnWidth(column.first);
            ui->proxyList->setColumnWidth(column.first, width);
        }
    }
    rowWidgetTimer_ = new QTimer(this);
    rowWidgetTimer_->setSingleShot(true);
    rowWidgetTimer_->setInterval(0);
    connect(rowWidgetTimer_, &QTimer::timeout, this, &MainWindow::ensureRowWidgets);
    connect(ui->proxyList->verticalScrollBar(), &QScrollBar::valueChanged, this, &MainWindow::scheduleRowWidgets);
    connect(ui->proxyList->model(), &QAbstractItemModel::layoutChanged, this, &MainWindow::scheduleRowWidgets);
    connect(ui->proxyList->model(), &QAbstractItemModel::rowsInserted, this, &MainWindow::scheduleRowWidgets);
    ui->proxyList->viewport()->installEventFilter(this);
    ui->proxyList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->proxyList, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        std::unique_ptr<QMenu> menu(serverMenu(ui->proxyList->itemAt(position)));
        menu->exec(ui->proxyList->viewport()->mapToGlobal(position));
    });

    // Beside the start-up box, before the maintenance buttons.
    addServerBtn_ = new QPushButton(QStringLiteral("Add server..."), ui->bottomPanel);
    addServerBtn_->setObjectName(QStringLiteral("addServerBtn"));
    addServerBtn_->setAutoDefault(false);
    ui->bottomLayout->insertWidget(ui->bottomLayout->indexOf(ui->installBtn), addServerBtn_);
    connect(addServerBtn_, &QPushButton::clicked, this, &MainWindow::AddServer);

    // What an empty list is about, and where a server comes from.
    emptyHint_ = new QLabel(ui->proxyList->viewport());
    emptyHint_->setObjectName(QStringLiteral("emptyListHint"));
    emptyHint_->setWordWrap(true);
    emptyHint_->setAlignment(Qt::AlignCenter);
    emptyHint_->setTextFormat(Qt::PlainText);
    emptyHint_->setForegroundRole(QPalette::PlaceholderText);
    emptyHint_->setText(
        QStringLiteral("No servers to show.\n\nAdd your own server with \"Add server...\" below, "
                       "or check your network connection and restart Veilnox to download the "
                       "server list."));
    refreshEmptyHint();

    // Delete on a row of the user's own list removes it, as its context
    // menu's "Remove server" does.
    auto* removeKey = new QShortcut(QKeySequence::Delete, ui->proxyList);
    removeKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(removeKey, &QShortcut::activated, this, [this] {
        QTreeWidgetItem* item = ui->proxyList->currentItem();
        const ServerEntry* entry = entryOf(item);
        if (entry && entry->localIndex >= 0) RemoveServer(item);
    });

    // Enter (or a double click) on a row works its connect button.
    connect(ui->proxyList, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        if (QPushButton* button = rowButton(item)) {
            if (button->isEnabled()) button->click();
        }
    });

    ui->connectionList->setHeaderLabels({QStringLiteral("Process"), QStringLiteral("Data Send"),
                                         QStringLiteral("Data Recv"), QStringLiteral("Rate"),
                                         QStringLiteral("Detail")});
    ui->connectionList->header()->setStyleSheet(QStringLiteral("QHeaderView::section{padding: 5px 3px;}"));
    // The widest size and rate texts the columns show.
    setColumnWidths(
        ui->connectionList, {160, 90, 90, 90}, scale, 3,
        {QString(), QStringLiteral("1023.99 MB"), QStringLiteral("1023.99 MB"), QStringLiteral("1023.99 Mb/s")});
    ui->connectionList->setSelectionMode(QAbstractItemView::SingleSelection);

    // A disabled selector (while connected) looks disabled.
    for (QComboBox* box : {ui->countryBox, ui->changeBox})
        box->setStyleSheet(
            QStringLiteral("QComboBox:disabled{color: palette(mid); background: palette(window); "
                           "border-color: palette(midlight);}"));

    const std::pair<const char*, int> intervals[] = {{"Never", 0},
                                                     {"Every 1 min", 1},
                                                     {"Every 5 mins", 5},
                                                     {"Every 10 mins", 10},
                                                     {"Every 30 mins", 30},
                                                     {"Every 60 mins", 60},
                                                     {"Every 2 hours ", 120},
                                                     {"Every 6 hours ", 360},
                                                     {"Every 12 hours ", 720}};
    for (const auto& interval : intervals)
        ui->changeBox->addItem(QString::fromLatin1(interval.first), interval.second);

    changeTimer = new QTimer(this);
    connect(changeTimer, &QTimer::timeout, this, &MainWindow::OnChangeIpTimer);
    testTimer = new QTimer(this);
    connect(testTimer, &QTimer::timeout, this, &MainWindow::OnTestProxyTimer);
    speedTimer = new QTimer(this);
    connect(speedTimer, &QTimer::timeout, this, &MainWindow::OnSpeedTimer);

    buildTray();

    SetWindowBackground(ui->top_menu, TopBarColor(palette()));
    ui->settingBtn->setImages(ProgramFilePath(QStringLiteral("data/images/buttons/options_normal.png")),
                              ProgramFilePath(QStringLiteral("data/images/buttons/options_down.png")),
                              ProgramFilePath(QStringLiteral("data/images/buttons/options_over.png")));
    ui->helpBtn->setImages(ProgramFilePath(QStringLiteral("data/images/buttons/help_normal.png")),
                           ProgramFilePath(QStringLiteral("data/images/buttons/help_down.png")),
                           ProgramFilePath(QStringLiteral("data/images/buttons/help_over.png")));
    ui->aboutBtn->setImages(ProgramFilePath(QStringLiteral("data/images/buttons/about_nomal.png")),
                            ProgramFilePath(QStringLiteral("data/images/buttons/about_down.png")),
                            ProgramFilePath(QStringLiteral("data/images/buttons/about_over.png")));
    // Nothing is connected yet: the first paint (while the list downloads)
    // shows the disconnected shield and the connect button.
    setStatePictures(false);

    ui->autostartBox->setText(AutostartBoxText());
    {
        // Showing the stored state must not write the autostart entry again.
        QSignalBlocker blocker(ui->autostartBox);
        ui->autostartBox->setChecked(IsAutostartEnabled(app.applicationName));
    }

    // Tab visits every action of the window in reading order.
    QWidget* order[] = {ui->settingBtn, ui->helpBtn,      ui->aboutBtn,  ui->startBtn,     ui->countryBox,
                        ui->changeBox,  ui->tabMain,      ui->proxyList, ui->autostartBox, addServerBtn_,
                        ui->installBtn, ui->uninstallBtn, ui->testBtn,   ui->logBtn};
    for (std::size_t i = 0; i + 1 < sizeof(order) / sizeof(order[0]); ++i)
        setTabOrder(order[i], order[i + 1]);
    ui->countryBox->setAccessibleName(QStringLiteral("Connect To"));
    ui->changeBox->setAccessibleName(QStringLiteral("Change Every"));
    ui->proxyList->setAccessibleName(QStringLiteral("Servers"));
    ui->connectionList->setAccessibleName(QStringLiteral("Connections"));
    addServerBtn_->setAccessibleName(QStringLiteral("Add server"));

    loading = false;
    // 630 x 447 at 96 dpi; larger type makes a larger window, never one
    // that cuts its texts.
    resize(QSize(ScaledPixels(630, scale) + extraWidth, ScaledPixels(447, scale)).expandedTo(minimumSizeHint()));
    setFixedSize(size());
}

MainWindow::~MainWindow() {
    // Rows own their entries; the list goes with the form.
}

void MainWindow::setTrayProbe(std::function<bool()> probe) { trayProbe() = std::move(probe); }

bool MainWindow::trayUsable() {
    if (trayProbe()) return trayProbe()();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

std::uint32_t MainWindow::windowHandle32() {
    // The block has 32 bits for the handle and readers only test it for 0;
    // a native id whose low half is 0 is published as the process id.
    auto handle = static_cast<std::uint32_t>(winId());
    return handle != 0 ? handle : vnxplat::currentProcessId();
}

void MainWindow::buildTray() {
    trayMenu = new QMenu(this);
    // The state and the server, as a line that is not an action.
    stateAction = trayMenu->addAction(QStringLiteral("Disconnected"));
    stateAction->setEnabled(false);
    trayMenu->addSeparator();
    connectAction = trayMenu->addAction(QStringLiteral("&Connect"));
    trayMenu->addSeparator();
    homepageAction = trayMenu->addAction(QStringLiteral("Homepage"));
    settingsAction = trayMenu->addAction(QStringLiteral("&Settings..."));
    restoreAction = trayMenu->addAction(QStringLiteral("&Restore"));
    trayMenu->addSeparator();
    quitAction = trayMenu->addAction(QStringLiteral("&Quit"));
    connect(trayMenu, &QMenu::triggered, this, &MainWindow::trayMenuAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(QIcon(ProgramFilePath(QStringLiteral("data/images/icon.png"))));
    SetTrayToolTip(appContext().applicationName, QString());
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
    trayIcon->setVisible(true);
}

// ---------------------------------------------------------------- server list

ServerEntry* MainWindow::entryOf(QTreeWidgetItem* item) {
    if (!item) return nullptr;
    return reinterpret_cast<ServerEntry*>(item->data(0, Qt::UserRole).value<quintptr>());
}

QPushButton* MainWindow::existingRowButton(QTreeWidgetItem* item) const {
    return qobject_cast<QPushButton*>(ui->proxyList->itemWidget(item, 3));
}

QPushButton* MainWindow::rowButton(QTreeWidgetItem* item) {
    if (!item || ui->proxyList->indexOfTopLevelItem(item) < 0) return nullptr;
    makeRowWidgets(item);
    return existingRowButton(item);
}

QString MainWindow::countryOfEntry(int index) const {
    QVariant whole = ui->countryBox->itemData(index);
    return whole.isValid() ? whole.toString() : ui->countryBox->itemText(index);
}

ServerListSources MainWindow::readLocalLists() const {
    ServerListSources sources;
    const QString programList = QStringLiteral("data/config/proxys.xml");
    if (QFileInfo::exists(programList)) sources.programListText = ReadTextFile(programList);
    if (sources.programListText.isEmpty()) {
        const QString dataList = LocalServerListPath(appContext().dataDir);
        if (QFileInfo::exists(dataList)) sources.dataListText = ReadTextFile(dataList);
    }
    return sources;
}

void MainWindow::UpdateServerList() {
    ServerListSources sources = readLocalLists();
    if (ServerListDownloadInBackground() && !CollectServers(sources).isEmpty()) {
        // The user's own servers show at once; the built-in list follows.
        downloadedList_.clear();
        showServers(sources);
        startListDownload(Endpoints::serverListUrl(), true);
        return;
    }

    {
        QProgressDialog progress(QStringLiteral("Updating Server List..."), QStringLiteral("cancel"), 0, 10000);
        // Closing the window (close box, tray Quit, the system) ends the
        // download as Cancel does: the program is on its way out.
        connect(this, &MainWindow::closed, &progress, &QProgressDialog::cancel);
        sources.downloadedText = DownloadHttpFile(Endpoints::serverListUrl(), &progress);
        if (sources.downloadedText.isEmpty() && !closedForGood_)
            sources.downloadedText = DownloadHttpFile(Endpoints::serverListFallbackUrl(), &progress);
        progress.close();
    }
    if (closedForGood_) return;
    if (sources.downloadedText.isEmpty())
        ShowInformation(QStringLiteral("Update Server List failed"),
                        QStringLiteral("Update Server List failed, Please check your network connection and "
                                       "restart Veilnox again."));

    downloadedList_ = sources.downloadedText;
    showServers(sources);
}

void MainWindow::startListDownload(const QString& url, bool fallbackNext) {
    if (!listDownloads_) listDownloads_ = new QNetworkAccessManager(this);
    listDownloadRunning_ = true;
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("User-Agent", "ie");
    request.setTransferTimeout(kDownloadTimeoutMs);
    QNetworkReply* reply = listDownloads_->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kDownloadMaxBytes || total > kDownloadMaxBytes) reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, fallbackNext] {
        reply->deleteLater();
        if (closedForGood_) return;
        // As DownloadHttpFile: the body counts, whatever the status.
        const QByteArray body = reply->bytesAvailable() <= kDownloadMaxBytes ? reply->readAll() : QByteArray();
        if (body.isEmpty()) {
            if (fallbackNext)
                startListDownload(Endpoints::serverListFallbackUrl(), false);
            else
                listDownloadFailed();
            return;
        }
        downloadedList_ = QString::fromUtf8(body);
        ReloadServerList();
        finishRestore();
    });
}

void MainWindow::finishRestore() {
    listDownloadRunning_ = false;
    const QStringList last = std::exchange(pendingRestore_, QStringList());
    if (last.size() == 3 && proxyData && proxyData->connected != 1) ConnectServer(last[0], last[1], last[2]);
}

void MainWindow::listDownloadFailed() {
    finishRestore();
    vnx::AppendRuntimeLog(QStringLiteral("Update Server List failed: only the local server list is shown"));
    ui->statusBar->showMessage(
        QStringLiteral("Update Server List failed: only your own servers are shown. Check your network connection."));
}

void MainWindow::ReloadServerList() {
    ServerListSources sources = readLocalLists();
    sources.downloadedText = downloadedList_;
    showServers(sources);
    // The connected server keeps its look in the new rows.
    if (!proxyData || proxyData->connected != 1) return;
    for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ui->proxyList->topLevelItem(i);
        ServerEntry* entry = entryOf(item);
        if (!entry || entry->value(QStringLiteral("ip")).isEmpty()) continue;
        bool same = true;
        for (const char* key : {"ip", "port", "protocol", "key"})
            same = same && entry->value(QLatin1String(key)) == currentServer.value(QLatin1String(key));
        if (!same) continue;
        entry->connected = true;
        setRowButtonStyle(item, true);
        break;
    }
}

void MainWindow::showServers(const ServerListSources& sources) {
    QElapsedTimer clock;
    clock.start();
    int fromDataList = 0;
    const QList<StringMap> servers = CollectServers(sources, &fromDataList);
    programListUsed_ = !sources.programListText.isEmpty();
    listTimings_.parseMs = clock.restart();

    // Rebuilding the selectors is not a choice of the user: nothing is stored.
    rebuildingSelectors_ = true;
    ui->proxyList->clear();
    ui->countryBox->clear();
    knownCountries_.clear();
    iconCache_.clear();
    ui->countryBox->addItem(QStringLiteral("Any Country"));
    // All rows in one insertion: row by row, the view would lay out every
    // row again for each new one.
    QList<QTreeWidgetItem*> rows;
    rows.reserve(servers.size());
    for (const StringMap& server : servers) {
        QTreeWidgetItem* row = makeServerRow(server);
        if (rows.size() < fromDataList) entryOf(row)->localIndex = rows.size();
        rows.append(row);
    }
    ui->proxyList->addTopLevelItems(rows);
    rebuildingSelectors_ = false;
    ensureRowWidgets();
    refreshEmptyHint();
    listTimings_.rowsMs = clock.elapsed();
}

void MainWindow::AddServerRow(const StringMap& server) {
    ui->proxyList->addTopLevelItem(makeServerRow(server));
    ensureRowWidgets();
    refreshEmptyHint();
}

QTreeWidgetItem* MainWindow::makeServerRow(const StringMap& server) {
    auto* item = new ServerRowItem(server);
    const QString image = server.value(QStringLiteral("image"));
    if (!image.isEmpty()) item->setIcon(0, rowIcon(image));
    item->setFont(0, QFont(QStringLiteral("Arial"), 11));
    item->setText(0, DisplayText(server.value(QStringLiteral("tag"))));
    item->setFont(1, QFont(QStringLiteral("Arial"), 10));
    item->setText(1, ServerLocationText(server));

    // A server without a country is offered under "Any Country" only (the
    // rotation takes it for every country); it adds no blank entry.
    const QString country = server.value(QStringLiteral("country"));
    if (!country.isEmpty() && !knownCountries_.contains(country)) {
        knownCountries_.insert(country);
        ui->countryBox->addItem(DisplayText(country), country);
    }
    item->entry->signalValue = ServerStrength(server);
    applyProtection(item);
    return item;
}

Protection MainWindow::rowProtection(const ServerEntry& entry) const {
    return ServerProtection(entry.attributes, proxyData && proxyData->encrypt_data != 0);
}

void MainWindow::applyProtection(QTreeWidgetItem* item) {
    const ServerEntry* entry = entryOf(item);
    if (!entry) return;
    const Protection protection = rowProtection(*entry);
    QIcon mark;
    if (protection == Protection::Encrypted)
        mark = lockIcon();
    else if (protection == Protection::DamagedKey)
        mark = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    item->setIcon(1, mark);
    // The state in words where the pointer rests on the row; never the key.
    for (int column : {0, 1})
        item->setToolTip(column, ProtectionToolTip(protection));
    // A server that is not used looks unusable.
    const QBrush text =
        protection == Protection::DamagedKey ? palette().brush(QPalette::Disabled, QPalette::Text) : QBrush();
    for (int column : {0, 1})
        item->setForeground(column, text);
    if (QPushButton* button = existingRowButton(item)) button->setEnabled(protection != Protection::DamagedKey);
}

void MainWindow::RefreshProtection() {
    for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i)
        applyProtection(ui->proxyList->topLevelItem(i));
}

QMenu* MainWindow::serverMenu(QTreeWidgetItem* item) {
    auto* menu = new QMenu(this);
    menu->addAction(QStringLiteral("Add server..."), this, &MainWindow::AddServer);
    const ServerEntry* entry = entryOf(item);
    if (entry && entry->localIndex >= 0 && ui->proxyList->indexOfTopLevelItem(item) >= 0)
        menu->addAction(QStringLiteral("Remove server"), this, [this, item] { RemoveServer(item); });
    return menu;
}

void MainWindow::AddServer() {
    AppContext& app = appContext();
    AddServerDlg dialog(LocalServerListPath(app.dataDir), this);
    if (dialog.exec() != QDialog::Accepted) return;
    ReloadServerList();
    if (programListUsed_)
        ShowInformation(QStringLiteral("Add server"),
                        QStringLiteral("The server was added to %1, but Veilnox shows the server list beside the "
                                       "program instead (data/config/proxys.xml of its folder), so it does not "
                                       "appear until that list is removed.")
                            .arg(LocalServerListPath(app.dataDir)));
}

bool MainWindow::RemoveServer(QTreeWidgetItem* item) {
    if (ui->proxyList->indexOfTopLevelItem(item) < 0) return false;
    const ServerEntry* entry = entryOf(item);
    if (!entry || entry->localIndex < 0) return false;
    if (entry->connected) {
        ShowMessage(QStringLiteral("Disconnect from this server before removing it."));
        return false;
    }
    const QString name = ServerLocationText(entry->attributes);
    if (!AskOkCancel(QStringLiteral("Remove server"),
                     QStringLiteral("Remove the server %1 from your server list?").arg(name)))
        return false;
    QString error;
    if (!RemoveLocalServer(LocalServerListPath(appContext().dataDir), entry->localIndex, entry->attributes, error)) {
        ShowInformation(QStringLiteral("Remove server"), error);
        ReloadServerList();
        return false;
    }
    ReloadServerList();
    return true;
}

QIcon MainWindow::rowIcon(const QString& image) {
    // Many rows share a flag picture: each file is read once per list.
    auto known = iconCache_.constFind(image);
    if (known != iconCache_.constEnd()) return *known;
    QIcon icon(ProgramFilePath(image));
    if (iconCache_.size() < 1024) iconCache_.insert(image, icon);
    return icon;
}

void MainWindow::scheduleRowWidgets() {
    if (!rowWidgetTimer_->isActive()) rowWidgetTimer_->start();
}

void MainWindow::ensureRowWidgets() {
    QTreeWidget* list = ui->proxyList;
    const int count = list->topLevelItemCount();
    if (count == 0) return;
    // The rows in view and a screenful below them. Widgets are made only for
    // rows that are or were in view: a list of thousands of servers would
    // otherwise take seconds to show and keep a widget pair per row.
    QTreeWidgetItem* top = list->itemAt(0, 0);
    int first = top ? list->indexOfTopLevelItem(top) : 0;
    if (first < 0) first = 0;
    const int rowHeight = qMax(1, list->visualItemRect(list->topLevelItem(first)).height());
    const int visible = list->viewport()->height() / rowHeight + 1;
    const int last = qMin(count - 1, first + 2 * visible + 2);
    for (int i = first; i <= last; ++i)
        makeRowWidgets(list->topLevelItem(i));
}

void MainWindow::makeRowWidgets(QTreeWidgetItem* item) {
    ServerEntry* entry = entryOf(item);
    if (!entry || ui->proxyList->itemWidget(item, 3)) return;
    auto* bar = new QProgressBar;
    // A slim bar in the middle of the row, not at its top.
    bar->setStyleSheet(QStringLiteral("QProgressBar{max-height: 40px; margin: 11px 6px;}"));
    bar->setRange(0, entry->signalMax);
    bar->setValue(entry->signalValue);
    ui->proxyList->setItemWidget(item, 2, bar);

    auto* button = new QPushButton;
    button->setStyleSheet(QString::fromLatin1(entry->connected ? kDisconnectButtonStyle : kConnectButtonStyle));
    button->setCursor(Qt::PointingHandCursor);
    button->setProperty(kRowProperty, QVariant::fromValue<qulonglong>(reinterpret_cast<quintptr>(item)));
    connect(button, &QPushButton::clicked, this, &MainWindow::OnConnectBtn);
    button->setEnabled(rowProtection(*entry) != Protection::DamagedKey);
    ui->proxyList->setItemWidget(item, 3, button);
}

void MainWindow::SetSignalBar(QTreeWidgetItem* item, int maximum, int value) {
    ServerEntry* entry = entryOf(item);
    if (!entry) return;
    entry->signalMax = maximum;
    entry->signalValue = value;
    if (auto* bar = qobject_cast<QProgressBar*>(ui->proxyList->itemWidget(item, 2))) {
        bar->setRange(0, maximum);
        bar->setValue(value);
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->proxyList->viewport() && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        scheduleRowWidgets();
        refreshEmptyHint();
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------- connecting

void MainWindow::setCurrentLabel(const QString& html) {
    ui->currentLabel->setText(html);
    SetTrayToolTip(HtmlToPlainText(html), QString());
}

void MainWindow::setRowButtonStyle(QTreeWidgetItem* item, bool connectedLook) {
    // Rows without widgets get the look of their entry when they are made.
    if (QPushButton* button = existingRowButton(item))
        button->setStyleSheet(QString::fromLatin1(connectedLook ? kDisconnectButtonStyle : kConnectButtonStyle));
}

bool MainWindow::ConnectServer(const QString& ip, const QString& port, const QString& protocol) {
    if (!proxyData) return false;
    // Connected would be a claim nothing stands behind while the local
    // server cannot take the programs' traffic.
    if (!ip.isEmpty() && refuseHeldPort()) return false;
    CAppConfig& config = appContext().config;
    setCurrentLabel(QStringLiteral("<strong>Disconnected.</strong>"));

    bool connected = false;
    for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ui->proxyList->topLevelItem(i);
        ServerEntry* entry = entryOf(item);
        if (!entry) continue;
        const QString rowIp = entry->value(QStringLiteral("ip"));
        // A server whose key is damaged is never connected to.
        if (!rowIp.isEmpty() && rowIp == ip && entry->value(QStringLiteral("port")) == port &&
            entry->value(QStringLiteral("protocol")) == protocol && rowProtection(*entry) != Protection::DamagedKey) {
            bool cancelled = false;
            if (!EnsureModuleInstalled(&cancelled)) {
                SetConnectedUi(false);
                ClearConnectedKey(config);
                // A cancelled install is the user's choice, not a failure.
                if (!cancelled && !ModuleScriptsBusy()) ShowMessage(QString::fromLatin1(kLspFailed));
                return false;
            }
            setRowButtonStyle(item, true);
            entry->connected = true;
            // The key first: a local server that reads the new server from
            // the block finds its key already there.
            PublishServerKey(entry->attributes);
            WriteProxyServer(*proxyData, entry->attributes);
            connected = true;
            StoreConnectionKeys(config, entry->attributes);
            currentServer = entry->attributes;
            // Server-list texts are data, not markup.
            setCurrentLabel(QStringLiteral("<strong>Your IP:%1<br>%2, %3</strong>")
                                .arg(DisplayText(rowIp).toHtmlEscaped(),
                                     DisplayText(entry->value(QStringLiteral("country"))).toHtmlEscaped(),
                                     DisplayText(entry->value(QStringLiteral("city"))).toHtmlEscaped()));
        } else {
            setRowButtonStyle(item, false);
            entry->connected = false;
        }
    }

    if (connected) {
        ui->changeBox->setEnabled(false);
        ui->countryBox->setEnabled(false);
    } else {
        ui->changeBox->setEnabled(true);
        ui->countryBox->setEnabled(true);
        changeTimer->stop();
        ClearConnectedKey(config);
    }
    proxyData->connected = connected ? 1 : 0;
    if (!connected) PublishServerKey(StringMap());
    SetConnectedUi(connected);
    return connected;
}

bool MainWindow::ConnectCurrentServer() {
    return ConnectServer(currentServer.value(QStringLiteral("ip")), currentServer.value(QStringLiteral("port")),
                         currentServer.value(QStringLiteral("protocol")));
}

bool MainWindow::ConnectNextServer() {
    QList<RotationRow> rows;
    rows.reserve(ui->proxyList->topLevelItemCount());
    for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i) {
        RotationRow row;
        ServerEntry* entry = entryOf(ui->proxyList->topLevelItem(i));
        // A server whose key is damaged is not used: the rotation passes it.
        if (entry && rowProtection(*entry) != Protection::DamagedKey) {
            row.hasEntry = true;
            row.ip = entry->value(QStringLiteral("ip"));
            row.country = entry->value(QStringLiteral("country"));
        }
        rows.append(row);
    }
    const int shown = ui->countryBox->currentIndex();
    const QString filter = shown > 0 ? countryOfEntry(shown) : QString();
    const int index = PickNextServer(rows, filter, usedServers);
    if (index < 0) return false;
    ServerEntry* entry = entryOf(ui->proxyList->topLevelItem(index));
    const QString ip = entry->value(QStringLiteral("ip"));
    if (ConnectServer(ip, entry->value(QStringLiteral("port")), entry->value(QStringLiteral("protocol"))))
        usedServers.append(ip);
    return true;
}

void MainWindow::OnConnectBtn() {
    appContext().debugMode = AppContext::debugMarkerExists();
    changeTimer->stop();
    ui->countryBox->setCurrentIndex(0);
    ui->changeBox->setCurrentIndex(0);

    QObject* button = sender();
    if (!button) return;
    // The property names the row; it is used only when it is still a row of
    // the list (compared as a pointer, never dereferenced before that).
    auto* item =
        reinterpret_cast<QTreeWidgetItem*>(static_cast<quintptr>(button->property(kRowProperty).toULongLong()));
    if (!item || ui->proxyList->indexOfTopLevelItem(item) < 0) return;
    ServerEntry* entry = entryOf(item);
    if (!entry) return;
    if (!entry->connected && rowProtection(*entry) == Protection::DamagedKey) {
        ShowMessage(ProtectionToolTip(Protection::DamagedKey));
        return;
    }
    if (entry->value(QStringLiteral("ip")).isEmpty()) {
        ShowMessage(QStringLiteral("Veilnox is querying the item's DNS now, please try a little latter."));
        return;
    }
    if (entry->connected)
        ConnectServer(QString(), QString(), QString());
    else
        ConnectServer(entry->value(QStringLiteral("ip")), entry->value(QStringLiteral("port")),
                      entry->value(QStringLiteral("protocol")));
}

void MainWindow::on_startBtn_clicked() {
    if (!proxyData) return;
    appContext().debugMode = AppContext::debugMarkerExists();
    changeTimer->stop();
    if (proxyData->connected == 1) {
        ConnectServer(QString(), QString(), QString());
        return;
    }
    // Asked once here, so that the current and the next server do not each
    // bring the same message.
    if (refuseHeldPort()) return;
    usedServers.clear();
    bool connected = false;
    if (!currentServer.value(QStringLiteral("ip")).isEmpty() && ui->countryBox->currentIndex() == 0)
        connected = ConnectCurrentServer();
    // The server connected here is this rotation's first: the first tick
    // moves on from it.
    if (connected) usedServers.append(currentServer.value(QStringLiteral("ip")));
    if (!connected) ConnectNextServer();
    if (proxyData->connected == 1) {
        int minutes = ui->changeBox->currentData().toInt();
        if (minutes >= 1) changeTimer->start(minutes * 60000);
    } else {
        ShowInformation(appContext().applicationName, QStringLiteral("Start Veilnox failed."));
    }
}

void MainWindow::RestoreLastConnection() {
    // A window closed during start-up connects nothing: no one would be
    // there to disconnect it.
    if (closedForGood_) return;
    CAppConfig& config = appContext().config;
    SetConnectedUi(false);
    currentServer[QStringLiteral("ip")] = config.value(QStringLiteral("ipconnected_last"));
    currentServer[QStringLiteral("port")] = config.value(QStringLiteral("portconnected_last"));
    currentServer[QStringLiteral("protocol")] = config.value(QStringLiteral("protocolconnected_last"));
    const QStringList last{config.value(QStringLiteral("ipconnected")), config.value(QStringLiteral("portconnected")),
                           config.value(QStringLiteral("protocolconnected"))};
    // A server that is not among the rows yet may be one of the list still
    // downloading: it is connected to (or given up) when that list is in.
    bool shown = false;
    for (int i = 0; i < ui->proxyList->topLevelItemCount() && !shown; ++i) {
        const ServerEntry* entry = entryOf(ui->proxyList->topLevelItem(i));
        shown = entry && entry->value(QStringLiteral("ip")) == last[0] &&
                entry->value(QStringLiteral("port")) == last[1] && entry->value(QStringLiteral("protocol")) == last[2];
    }
    if (listDownloadRunning_ && !last[0].isEmpty() && !shown)
        pendingRestore_ = last;
    else
        ConnectServer(last[0], last[1], last[2]);

    const int country = ui->countryBox->findText(config.value(QStringLiteral("countryfilter")),
                                                 Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (country >= 0) ui->countryBox->setCurrentIndex(country);
    const int change = ui->changeBox->findData(config.value(QStringLiteral("changetime")).toInt());
    if (change >= 0) ui->changeBox->setCurrentIndex(change);

    testTimer->start(800);
}

bool MainWindow::PublishSettings() {
    if (!proxyData) return false;
    proxyData->data_mark = 2;
    proxyData->client_window = windowHandle32();
    PublishRules(*proxyData, ReadTextFile(appContext().rulesPath()));
    ApplyRedirectSettings();
    return true;
}

void MainWindow::ApplyRedirectSettings() {
    if (proxyData) ::ApplyRedirectSettings(*proxyData, appContext().config);
}

void MainWindow::setStatePictures(bool connected) {
    ui->startBtn->setAccessibleName(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    ui->startBtn->setToolTip(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    if (connected)
        ui->startBtn->setImages(ProgramFilePath(QStringLiteral("data/images/buttons/disconnect.png")),
                                ProgramFilePath(QStringLiteral("data/images/buttons/disconnect3.png")),
                                ProgramFilePath(QStringLiteral("data/images/buttons/disconnect2.png")));
    else
        ui->startBtn->setImages(ProgramFilePath(QStringLiteral("data/images/buttons/connect.png")),
                                ProgramFilePath(QStringLiteral("data/images/buttons/connect3.png")),
                                ProgramFilePath(QStringLiteral("data/images/buttons/connect2.png")));
    QPixmap picture(ProgramFilePath(connected ? QStringLiteral("data/images/flag_connect.png")
                                              : QStringLiteral("data/images/flag_disconnect.png")));
    if (!picture.isNull())
        ui->flagLabel->setPixmap(picture.scaled(ui->flagLabel->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void MainWindow::SetConnectedUi(bool connected) {
    setStatePictures(connected);
    if (connectAction) connectAction->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    const QString flag = ProgramFilePath(connected ? QStringLiteral("data/images/flag_connect.png")
                                                   : QStringLiteral("data/images/flag_disconnect.png"));
    if (trayIcon) trayIcon->setIcon(QIcon(flag));
    // The tooltip and the menu follow the state at once, not only at the
    // next tick.
    SetTrayToolTip(QString(), QString());
    refreshTrayState();
    notifyConnectionChange();
    if (!connected) {
        ui->connectionList->clear();
        ui->connectionList->headerItem()->setText(0, QStringLiteral("Program [%1]").arg(0));
    }
    ui->centralWidget->update();
}

void MainWindow::SetTrayToolTip(const QString& statusLine, const QString& trafficLine) {
    if (!statusLine.isEmpty()) statusLine_ = statusLine;
    if (!trafficLine.isEmpty()) trafficLine_ = trafficLine;
    QString tip = statusLine_;
    if (proxyData && proxyData->connected == 1 && !trafficLine_.isEmpty()) tip += QStringLiteral("\r\n") + trafficLine_;
    if (trayIcon) trayIcon->setToolTip(tip);
}

// ---------------------------------------------------------------- local server

void MainWindow::StartServer() {
    if (!server) {
        server = CreateInProcessServer();
        speedTimer->start(speedIntervalMs_);
    }
    if (launcher_.serverRunning()) {
        blockedNotified_ = false;
        return;
    }
    // While connected the chosen programs fail closed without it: say so
    // once per outage.
    if (proxyData && proxyData->connected == 1 && !blockedNotified_) {
        blockedNotified_ = true;
        Notify(QStringLiteral("Traffic blocked"),
               QStringLiteral("The local Veilnox server is not running: the chosen programs cannot reach the "
                              "internet until it runs again."));
    }
    // A server that ended because another program holds its port would end
    // the same way on every tick: say so once and disconnect instead.
    if (proxyData && proxyData->connected == 1 && IsPortBindStatus(proxyData->server_status)) {
        reportHeldPort(proxyData->server_status);
        return;
    }
    vnx::AppendRuntimeLog(QStringLiteral("StartServer start veilnoxsvrrun "));
    if (launcher_.bookkeeping().recordLaunch()) onServerFinished();
    launcher_.launch();
}

bool MainWindow::refuseHeldPort() {
    if (!proxyData || launcher_.serverRunning()) return false;
    const quint16 port = proxyData->tcp_port != 0 ? proxyData->tcp_port : vnx::kLocalServerPort;
    if (!LocalServerPortBlocked(port)) {
        // The port is free again: a bind failure left by an earlier server
        // no longer holds, and the watchdog must launch a new one.
        if (IsPortBindStatus(proxyData->server_status)) proxyData->server_status = vnx::kStatusOk;
        return false;
    }
    reportHeldPort(vnx::kStatusTcpBind);
    return true;
}

void MainWindow::reportHeldPort(int status) {
    vnx::AppendRuntimeLog(QStringLiteral("local server cannot bind its port (status %1): disconnected").arg(status));
    // Disconnects and shows every row disconnected; the watchdog stops with
    // the connection, so the message comes once.
    ConnectServer(QString(), QString(), QString());
    if (crashMessageOpen_) return;
    crashMessageOpen_ = true;
    ShowMessage(PortHeldMessage(status, proxyData->tcp_port != 0 ? proxyData->tcp_port : vnx::kLocalServerPort,
                                proxyData->udp_port != 0 ? proxyData->udp_port : vnx::kLocalServerPort,
                                appContext().supportAddress));
    crashMessageOpen_ = false;
}

void MainWindow::onServerFinished() {
    // One message at a time: the watchdog keeps ticking while it is open.
    if (crashMessageOpen_ || !proxyData) return;
    crashMessageOpen_ = true;
    ShowMessage(ServerCrashMessage(proxyData->server_status, proxyData->tcp_port, proxyData->udp_port,
                                   appContext().supportAddress));
    crashMessageOpen_ = false;
}

// OnSpeedTimer (the traffic view and the watchdog tick): mainwindow_traffic.cpp.

// ---------------------------------------------------------------- rotation, selectors

void MainWindow::OnChangeIpTimer() {
    if (proxyData && proxyData->connected == 1) ConnectNextServer();
}

void MainWindow::on_countryBox_currentIndexChanged(const QString& text) {
    if (loading || rebuildingSelectors_) return;
    StoreSetting(appContext().config, QStringLiteral("countryfilter"), text);
}

void MainWindow::on_changeBox_currentIndexChanged(int index) {
    if (loading || rebuildingSelectors_ || index < 0) return;
    StoreSetting(appContext().config, QStringLiteral("changetime"),
                 QString::number(ui->changeBox->itemData(index).toInt()));
}

// ---------------------------------------------------------------- tray, window

int MainWindow::wakeUp() {
    if (trayIcon) trayIcon->setVisible(true);
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
    return 2;
}

void MainWindow::trayMenuAction(QAction* action) {
    if (action == connectAction)
        on_startBtn_clicked();
    else if (action == homepageAction)
        OpenExternalUrl(appContext().homepageUrl);
    else if (action == restoreAction)
        wakeUp();
    else if (action == settingsAction) {
        // Over the window, which the settings belong to.
        wakeUp();
        on_settingBtn_clicked();
    } else if (action == quitAction)
        close();
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) wakeUp();
}

void MainWindow::changeEvent(QEvent* event) {
    // Into the tray only when there is one: without it a hidden window could
    // not be brought back.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayIcon && trayUsable())
        QTimer::singleShot(0, this, &QWidget::hide);
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (proxyData && proxyData->connected == 1 &&
        !AskOkCancel(QStringLiteral("Are you sure you want to quit?"),
                     QStringLiteral("Closing Veilnox will restore your original IP address and make you traceable "
                                    "on the internet. Are you sure to quit?"))) {
        event->ignore();
        return;
    }
    // The user asked for their own address back: the module stops diverting
    // (and so stops failing closed) once the flag is 0. The stored
    // "ipconnected" keys stay, so the next start connects again.
    if (proxyData) proxyData->connected = 0;
    shutdownForExit();
    event->accept();
}

void MainWindow::shutdownForExit() {
    if (closedForGood_) return;
    closedForGood_ = true;
    // Nothing of the window runs any more: no watchdog relaunch, no probes,
    // no rotation.
    for (QTimer* timer : {speedTimer, testTimer, changeTimer})
        if (timer) timer->stop();
    if (proxyData) proxyData->client_window = 0;
    if (trayIcon) {
        trayIcon->hide();
        trayMenu->deleteLater();
        trayIcon->deleteLater();
        trayIcon = nullptr;
        trayMenu = nullptr;
        // The actions go with their menu.
        connectAction = homepageAction = restoreAction = quitAction = stateAction = settingsAction = nullptr;
    }
    emit closed();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous()) OnSpeedTimer();
}

// ---------------------------------------------------------------- small slots

void MainWindow::on_installBtn_clicked() { InstallLspWithMessage(); }

void MainWindow::on_uninstallBtn_clicked() { RemoveLsp(); }

void MainWindow::checkInstall() {
    if (!IsLspInstalled()) InstallLspWithMessage();
}

// on_settingBtn_clicked: mainwindow_settings.cpp.

void MainWindow::on_autostartBox_toggled(bool checked) {
    const QString& name = appContext().applicationName;
    if (checked)
        EnableAutostart(name, QString());
    else
        DisableAutostart(name);
}

void MainWindow::on_aboutBtn_clicked() {
    auto* about = new CSplashWnd(this, appContext().homepageUrl);
    about->setObjectName(QStringLiteral("aboutWindow"));
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->setWindowModality(Qt::ApplicationModal);
    about->setAccessibleName(QStringLiteral("About Veilnox"));
    // It takes the keyboard, so that Escape closes it.
    about->setFocusPolicy(Qt::StrongFocus);
    about->show();
    about->activateWindow();
    about->setFocus();
}

void MainWindow::on_helpBtn_clicked() { OpenExternalUrl(appContext().supportPageUrl); }

// The connectivity test (OnTestProxyTimer, SendProbe, readPendingDatagrams,
// OnEndTestTimer, UpdateConnectivityText, on_testBtn_clicked):
// mainwindow_probe.cpp.

void MainWindow::onVersionNew(const QString& strVer) {
    updateLabel->setText(VersionReleasedLink(strVer, appContext().homepageUrl));
}

void MainWindow::on_tabMain_currentChanged(int index) {
    if (index == 1) OnSpeedTimer();
}

void MainWindow::on_logBtn_clicked() {
    if (!LogViewerAvailable()) return;
    // The local server's log lies beside the client's, under its own name.
    const QString clientLog = vnx::runtimeLogPath();
    QDir appData = QFileInfo(clientLog).dir();
    appData.cdUp();
    appData.cdUp();
    const QString serverLog = appData.filePath(QStringLiteral("veilnoxsvr/logs/runtimelogs.txt"));
    LogViewer viewer({{QStringLiteral("Veilnox"), clientLog}, {QStringLiteral("Local server"), serverLog}}, this);
    viewer.exec();
}

// ---------------------------------------------------------------- notifications, empty list

void MainWindow::Notify(const QString& title, const QString& text) {
    lastNotification_ = title + QStringLiteral(": ") + text;
    vnx::AppendRuntimeLog(QStringLiteral("notification: ") + lastNotification_);
    if (trayIcon && trayUsable() && QSystemTrayIcon::supportsMessages())
        trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 5000);
}

void MainWindow::refreshTrayState() {
    if (!stateAction) return;
    const bool connected = proxyData && proxyData->connected == 1;
    stateAction->setText(connected ? QStringLiteral("Connected: ") + ServerLocationText(currentServer)
                                   : QStringLiteral("Disconnected"));
}

void MainWindow::notifyConnectionChange() {
    const bool connected = proxyData && proxyData->connected == 1;
    const QString server =
        connected ? QStringList{currentServer.value(QStringLiteral("ip")), currentServer.value(QStringLiteral("port")),
                                currentServer.value(QStringLiteral("protocol"))}
                        .join(QLatin1Char(':'))
                  : QString();
    if (server == notifiedServer_) return;
    const QString where = ServerLocationText(currentServer);
    if (!connected)
        Notify(QStringLiteral("Disconnected"),
               QStringLiteral("Veilnox is disconnected: programs reach the internet from your own address."));
    else if (notifiedServer_.isEmpty())
        Notify(QStringLiteral("Connected"), QStringLiteral("Veilnox is connected through ") + where + QLatin1Char('.'));
    else
        Notify(QStringLiteral("Server changed"),
               QStringLiteral("Veilnox now connects through ") + where + QLatin1Char('.'));
    notifiedServer_ = server;
    blockedNotified_ = false;
}

QString MainWindow::emptyListText() const {
    return ui->proxyList->topLevelItemCount() == 0 && emptyHint_ ? emptyHint_->text() : QString();
}

void MainWindow::refreshEmptyHint() {
    if (!emptyHint_) return;
    const bool empty = ui->proxyList->topLevelItemCount() == 0;
    if (empty) emptyHint_->setGeometry(ui->proxyList->viewport()->rect().adjusted(24, 12, -24, -12));
    emptyHint_->setVisible(empty);
}
