#include "trafficview.h"

#include <QTreeWidget>
#include <QTreeWidgetItem>

void UpdateAppRow(QTreeWidgetItem* row, const vnx::AppStatus& c) {
    if (!row) return;
    const QString sent = FormatSize(static_cast<std::uint64_t>(c.tcp_sent) + c.udp_sent);
    const QString recv = FormatSize(static_cast<std::uint64_t>(c.tcp_recv) + c.udp_recv);
    const QString rate = RateText(c.udp_rate, c.tcp_rate);
    const QString detail = QStringLiteral("TCP: ") + FormatBits(8 * static_cast<std::uint64_t>(c.tcp_rate)) +
                           QStringLiteral("/s Connects: ") + QString::number(c.tcp_connections) +
                           QStringLiteral(", UDP: ") + FormatBits(8 * static_cast<std::uint64_t>(c.udp_rate)) +
                           QStringLiteral("/s Connects: ") + QString::number(c.udp_connections) +
                           QStringLiteral(" [Send:") + FormatSize(c.udp_sent) + QStringLiteral(",Recv:") +
                           FormatSize(c.udp_recv) + QStringLiteral("]");
    // Unchanged texts are left alone: setText on an equal text still
    // repaints the row every tick.
    const QString texts[4] = {sent, recv, rate, detail};
    for (int column = 1; column <= 4; ++column)
        if (row->text(column) != texts[column - 1]) row->setText(column, texts[column - 1]);
}

int RefreshConnectionList(QTreeWidget* list, QMap<QString, vnx::AppStatus> apps) {
    if (!list) return 0;
    for (int i = 0; i < list->topLevelItemCount();) {
        QTreeWidgetItem* row = list->topLevelItem(i);
        auto it = apps.find(row->text(0));
        if (it == apps.end()) {
            delete list->takeTopLevelItem(i);  // the next row moves into place i
            continue;
        }
        UpdateAppRow(row, it.value());
        apps.erase(it);
        ++i;
    }
    for (auto it = apps.cbegin(); it != apps.cend(); ++it) {
        auto* row = new QTreeWidgetItem(list);
        row->setText(0, it.key());
        UpdateAppRow(row, it.value());
    }
    const int count = list->topLevelItemCount();
    const QString header = QStringLiteral("Program [%1]").arg(count);
    if (list->headerItem()->text(0) != header) list->headerItem()->setText(0, header);
    return count;
}
