#pragma once
// ProgramDlg: the modal settings dialog of the main window. It edits the
// redirect options (encrypt, DNS, TCP, UDP), all applications or only the
// listed ones, the list of programs (kept in the rules file) and the start
// with the session; it also offers the module repair and the manual update
// check.
//
// It opens on the applied state (the check boxes come from the live proxy
// data block, the list from the rules file) and never writes the block: Save
// stores the keys in CAppConfig, the rules file and the autostart entry and
// closes with Accepted, after which the main window publishes them
// (PublishSettings). Cancel writes nothing. A rules file that exists but
// could not be read is not replaced by an unedited (empty) list.
//
// Lives on the caller's stack for one exec(); GUI thread only.
#include "records.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The tooltip of "udpBox": what switching UDP off means.
QString UdpBoxToolTip();

class QCheckBox;
class QTreeWidgetItem;
namespace Ui {
class ProgramDlg;
}

class ProgramDlg : public QDialog {
    Q_OBJECT
public:
    // `proxy` is borrowed for the dialog's lifetime (may be null: the
    // options then show unchecked).
    ProgramDlg(vnx::ProxyData* proxy, QWidget* parent = nullptr);
    ~ProgramDlg() override;

    // The list (case-insensitive names).
    bool HasProgram(const QString& name) const;
    // Inserts a row at the top unless the name is listed; true when added.
    bool AddProgram(const QString& name);
    // Deletes every row of that name (any case).
    void RemoveProgram(const QString& name);
    // Checks each browser box whose executables are all listed.
    void SyncBrowserChecks();
    // Replaces the list with the names of a rules file (reverse file order,
    // because each name is inserted at the top).
    void LoadProgramList(const QString& path);

    // The names of the rows, top to bottom.
    QStringList programNames() const;
    // The seed of the rules file, relative to the program folder.
    static QString defaultRulesPath();

    std::unique_ptr<Ui::ProgramDlg> ui;
    vnx::ProxyData* proxy = nullptr;

private slots:
    void on_okBtn_clicked();
    void on_cancelBtn_clicked();
    void on_addBtn_clicked();
    void on_encBox_toggled(bool checked);
    void on_defaultBtn_clicked();
    void OnRemoveBtn();
    void on_ieCheck_clicked();
    void on_chromeCheck_clicked();
    void on_firefoxCheck_clicked();
    void on_safariCheck_clicked();
    void on_operaCheck_clicked();
    void on_repairinstallBtn_clicked();
    void on_checkupdateBtn_clicked();
    void on_allRadio_clicked();
    void on_selectRadio_clicked();

private:
    // Adds (box checked) or removes (unchecked) the executables of browser
    // box `box` (an index of BrowserBoxes()).
    void onBrowserBox(int box);
    QList<QCheckBox*> browserChecks() const;
    // `name` is in the list, with or without a trailing ".exe".
    bool listsExecutable(const QString& name) const;
    void onRadioClicked();
    void updateSelectFrame();
    void updateHeader();
    // Deletes one row and forgets its name.
    void deleteRow(QTreeWidgetItem* item);
    void clearList();

    // Lower-cased name -> its row, so that HasProgram stays cheap for long
    // rules files (every name of a file is tested before it is added).
    QHash<QString, QTreeWidgetItem*> rowsByName_;
    // The rules file existed but could not be read when the dialog opened,
    // and the names the list showed then.
    bool rulesUnreadable_ = false;
    QStringList loadedNames_;
};
