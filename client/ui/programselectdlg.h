#pragma once
// ProgramSelectDlg: the small modal dialog in which the user names one
// executable to add to the redirected-program list, typed or picked with a
// file browser. The caller reads `programName` after an Accepted result.
// GUI thread only; lives for one exec() on the caller's stack.
#include <QDialog>

#include <memory>

class CAppConfig;
namespace Ui {
class ProgramSelectDlg;
}

class ProgramSelectDlg : public QDialog {
    Q_OBJECT
public:
    // `config` keeps "AddProgramPath", the folder the file browser starts in.
    explicit ProgramSelectDlg(CAppConfig& config, QWidget* parent = nullptr);
    ~ProgramSelectDlg() override;

    // The file browser's filter.
    static QString fileFilter();

    std::unique_ptr<Ui::ProgramSelectDlg> ui;
    QString programName;

private slots:
    void on_browseBtn_clicked();
    void on_okBtn_clicked();
    void on_cancelBtn_clicked();

private:
    CAppConfig& config_;
};
