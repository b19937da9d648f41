// ProgramSelectDlg and the about window (CSplashWnd).
#include "appconfig.h"
#include "csplashwnd.h"
#include "programselectdlg.h"
#include "qt/widgets.h"
#include "ui_programselectdlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override {
        vnxtest::app();
        ASSERT_TRUE(dir_.isValid());
        config_.setPath(dir_.path() + "/appconfig.xml");
    }
    QTemporaryDir dir_;
    CAppConfig config_;
};

// Answers file dialogs with a fixed choice and records their arguments.
struct FileChoice {
    explicit FileChoice(const QString& answer) {
        previous = SetOpenFileHook(
            [this, answer](QWidget* parent, const QString& caption, const QString& folder, const QString& filter) {
                parents << parent;
                captions << caption;
                folders << folder;
                filters << filter;
                return answer;
            });
    }
    ~FileChoice() { SetOpenFileHook(previous); }
    OpenFileHook previous;
    QList<QWidget*> parents;
    QStringList captions, folders, filters;
};

}  // namespace

TEST_F(Dialogs, AddProgramFormMatchesItsLayout) {
    ProgramSelectDlg dialog(config_);
    EXPECT_EQ(dialog.windowTitle(), "Add Redirect Program");
    EXPECT_EQ(dialog.size(), QSize(422, 121));
    EXPECT_TRUE(dialog.ui->okBtn->isDefault());
    EXPECT_EQ(dialog.ui->browseBtn->maximumWidth(), 50);
    EXPECT_EQ(dialog.findChild<QLabel*>("label")->text(),
              "Enter the executable filename (exduding path) of the program below.");
}

TEST_F(Dialogs, AddProgramRefusesABlankName) {
    vnxtest::MessageRecorder boxes;
    ProgramSelectDlg dialog(config_);
    dialog.show();
    dialog.ui->programEdit->setText("   \t ");
    dialog.ui->okBtn->click();
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].kind, MessageKind::About);
    EXPECT_EQ(boxes.boxes[0].title, "Veilnox Message");
    EXPECT_EQ(boxes.boxes[0].text, "Program name can not be empty.");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);

    dialog.ui->programEdit->setText("  Firefox.exe  ");
    dialog.ui->okBtn->click();
    EXPECT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.programName, "Firefox.exe");
    EXPECT_FALSE(dialog.isVisible());

    ProgramSelectDlg cancelled(config_);
    cancelled.show();
    cancelled.ui->programEdit->setText("chrome");
    cancelled.ui->cancelBtn->click();
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
}

TEST_F(Dialogs, BrowsingFillsTheFileNameAndRemembersTheFolder) {
    const QString folder = dir_.path() + "/apps/bin";
    ASSERT_TRUE(QDir().mkpath(folder));
    ProgramSelectDlg dialog(config_);
    {
        FileChoice choice(folder + "/telegram-desktop");
        dialog.ui->browseBtn->click();
        ASSERT_EQ(choice.folders.size(), 1);
        EXPECT_EQ(choice.folders[0], QDir::homePath());  // nothing remembered yet
        EXPECT_EQ(choice.parents[0], &dialog);
        EXPECT_TRUE(choice.captions[0].isEmpty());
        EXPECT_TRUE(choice.filters[0].contains("(*.exe)"));
    }
    EXPECT_EQ(dialog.ui->programEdit->text(), "telegram-desktop");
    EXPECT_NE(dialog.result(), QDialog::Accepted);  // still to be confirmed
    CAppConfig restarted(dir_.path() + "/appconfig.xml");
    EXPECT_EQ(restarted.value("AddProgramPath"), folder);

    ProgramSelectDlg next(restarted);
    {
        FileChoice cancel{QString()};
        next.ui->browseBtn->click();
        EXPECT_EQ(cancel.folders.value(0), folder);
    }
    EXPECT_TRUE(next.ui->programEdit->text().isEmpty());
    EXPECT_EQ(restarted.value("AddProgramPath"), folder);
}

TEST_F(Dialogs, ACancelledFirstBrowseSavesNothing) {
    ProgramSelectDlg dialog(config_);
    FileChoice cancel{QString()};
    dialog.ui->browseBtn->click();
    EXPECT_EQ(config_.value("AddProgramPath"), QDir::homePath());  // in memory only
    EXPECT_FALSE(QFile::exists(dir_.path() + "/appconfig.xml"));
}

TEST_F(Dialogs, AboutWindowShowsPictureVersionAndLinks) {
    QWidget owner;
    auto* about = new CSplashWnd(&owner, "https://home.example/");
    EXPECT_EQ(about->parent(), &owner);
    EXPECT_TRUE(about->isWindow());
    about->show();
    EXPECT_EQ(about->windowTitle(), "Veilnox");
    EXPECT_FALSE(about->pixmap().isNull());
    EXPECT_EQ(about->size(), QSize(480, 360));
    EXPECT_FALSE(about->ui.labelTitel->isVisible());
    EXPECT_TRUE(about->ui.homeLabel->isVisible());
    EXPECT_EQ(about->ui.versionLabel->pos(), QPoint(374, 204));
    QString version = QString::fromLatin1(VEILNOX_VERSION);
    while (version.count('.') < 3)
        version += ".0";
    EXPECT_EQ(about->ui.versionLabel->text(), version);
    EXPECT_EQ(about->ui.homeLabel->url, "https://home.example/");
    EXPECT_TRUE(about->ui.homeLabel->text().contains("Home Page:"));
    EXPECT_TRUE(about->ui.homeLabel->text().contains("href=\"https://home.example/\""));
    EXPECT_TRUE(about->ui.homeLabel->text().contains("#0000ff"));
    EXPECT_TRUE(about->ui.labelEmail->text().startsWith("Email: "));
    EXPECT_TRUE(about->ui.labelEmail->text().contains("mailto:"));
    EXPECT_TRUE(about->ui.labelEmail->openExternalLinks());
    EXPECT_FALSE(about->ui.labelCopyright->text().isEmpty());

    // The picture is what the window shows behind its labels.
    const QImage shot = about->grab().toImage();
    const QImage picture = about->pixmap().toImage();
    EXPECT_EQ(shot.pixel(5, 5), picture.pixel(5, 5));

    // A click closes it; the owner keeps it until the owner goes.
    QTest::mouseClick(about, Qt::LeftButton, Qt::NoModifier, QPoint(240, 100));
    EXPECT_FALSE(about->isVisible());
    EXPECT_EQ(owner.findChildren<CSplashWnd*>().size(), 1);
}
