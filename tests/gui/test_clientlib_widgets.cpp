// QImageButton, QHTMLLabel, CDragTreeWidget, CSortHeaderView and the
// widget helpers on the offscreen platform.
#include "cdragtreewidget.h"
#include "csortheaderview.h"
#include "qhtmllabel.h"
#include "qimagebutton.h"
#include "qt/widgets.h"
#include "widgethelpers.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QImage>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

QString solidImage(const QTemporaryDir& dir, const QString& name, QColor color, QSize size = QSize(60, 40)) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    const QString path = dir.path() + "/" + name + ".png";
    image.save(path);
    return path;
}

QImage grabImage(QWidget& widget) { return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32); }

int countColor(const QImage& image, QRgb color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == color) ++n;
    return n;
}

// Darkest grey level in the image (0 = black).
int darkest(const QImage& image) {
    int low = 255;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            low = std::min(low, qGray(image.pixel(x, y)));
    return low;
}

void sendEnter(QWidget& w) {
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&w, &enter);
}
void sendLeave(QWidget& w) {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&w, &leave);
}

class Widgets : public ::testing::Test {
protected:
    void SetUp() override {
        vnxtest::app();
        ASSERT_TRUE(dir_.isValid());
    }
    QTemporaryDir dir_;
};

}  // namespace

TEST_F(Widgets, ImageButtonPaintsThePictureOfEachState) {
    QImageButton button;
    button.resize(60, 40);
    ASSERT_TRUE(button.setImages(solidImage(dir_, "n", Qt::red), solidImage(dir_, "d", Qt::blue),
                                 solidImage(dir_, "h", Qt::green), solidImage(dir_, "x", Qt::gray)));
    auto center = [&] { return QColor(grabImage(button).pixel(30, 20)); };
    EXPECT_EQ(button.state(), QImageButton::State::Normal);
    EXPECT_EQ(center(), QColor(Qt::red));
    sendEnter(button);
    EXPECT_TRUE(button.isHovered());
    EXPECT_EQ(center(), QColor(Qt::green));
    sendLeave(button);
    EXPECT_EQ(center(), QColor(Qt::red));
    button.setDown(true);
    EXPECT_EQ(center(), QColor(Qt::blue));
    button.setDown(false);
    button.setCheckable(true);
    button.setChecked(true);
    sendEnter(button);  // checked wins over hovered
    EXPECT_EQ(center(), QColor(Qt::blue));
    button.setChecked(false);
    EXPECT_EQ(center(), QColor(Qt::green));
    button.setEnabled(false);  // disabled wins over everything
    EXPECT_EQ(center(), QColor(Qt::gray));

    // Releasing the mouse ends the hover look.
    button.setEnabled(true);
    button.setCheckable(false);
    sendEnter(button);
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(button.isHovered());
    EXPECT_EQ(center(), QColor(Qt::red));
}

TEST_F(Widgets, ImageButtonWithOnlyANormalPictureMovesTheCaptionWhenPressed) {
    QImageButton button;
    button.resize(120, 50);
    button.setImages(solidImage(dir_, "white", Qt::white, QSize(120, 50)), "", dir_.path() + "/missing.png");
    QFont font = button.font();
    font.setPixelSize(30);
    font.setBold(true);
    button.setFont(font);
    button.setText("MW");
    const QImage normal = grabImage(button);
    sendEnter(button);
    EXPECT_EQ(grabImage(button), normal);  // a hover picture that did not load: the normal one
    sendLeave(button);
    button.setDown(true);
    const QImage pressed = grabImage(button);
    ASSERT_NE(pressed, normal);
    for (int y = 0; y < normal.height() - 1; ++y)
        for (int x = 0; x < normal.width() - 1; ++x)
            ASSERT_EQ(pressed.pixel(x + 1, y + 1), normal.pixel(x, y)) << x << "," << y;
    EXPECT_LT(darkest(normal), 20);  // black caption
}

TEST_F(Widgets, DisabledImageButtonDrawsItsCaptionInGrey) {
    QImageButton button;
    button.resize(120, 50);
    button.setImages(solidImage(dir_, "white", Qt::white, QSize(120, 50)));
    QFont font = button.font();
    font.setPixelSize(34);
    font.setBold(true);
    button.setFont(font);
    button.setText("HH");
    button.setEnabled(false);
    const QImage disabled = grabImage(button);
    EXPECT_GT(countColor(disabled, 0xFF7F7F7F), 50);  // solid strokes in exactly 0x7F7F7F
    EXPECT_EQ(darkest(disabled), 0x7F);               // nothing darker
    button.setEnabled(true);
    EXPECT_EQ(countColor(grabImage(button), 0xFF000000) > 50, true);

    button.setTextColors(0xFF112233, 0xFF000000, 0xFF000000, 0xFF445566);
    EXPECT_GT(countColor(grabImage(button), 0xFF112233), 50);
    button.setEnabled(false);
    EXPECT_GT(countColor(grabImage(button), 0xFF445566), 50);
}

TEST_F(Widgets, ImageButtonWithoutAPicturePaintsLikeAPushButton) {
    QImageButton image;
    QPushButton plain;
    for (QPushButton* b : {static_cast<QPushButton*>(&image), &plain}) {
        b->setText("Connect");
        b->resize(110, 32);
    }
    image.setImages(dir_.path() + "/does-not-exist.png", dir_.path() + "/d.png");
    EXPECT_EQ(image.size(), QSize(110, 32));
    EXPECT_EQ(grabImage(image), grabImage(plain));
    image.setEnabled(false);
    plain.setEnabled(false);
    EXPECT_EQ(grabImage(image), grabImage(plain));
}

TEST_F(Widgets, ImageButtonSizesAndClipsItsPicture) {
    // Four quadrants: red, green / blue, yellow.
    QImage big(100, 100, QImage::Format_ARGB32);
    {
        QPainter p(&big);
        p.fillRect(0, 0, 50, 50, Qt::red);
        p.fillRect(50, 0, 50, 50, Qt::green);
        p.fillRect(0, 50, 50, 50, Qt::blue);
        p.fillRect(50, 50, 50, 50, Qt::yellow);
    }
    const QString path = dir_.path() + "/big.png";
    ASSERT_TRUE(big.save(path));

    QImageButton clipped;
    clipped.resize(40, 40);
    clipped.setImages(path);
    QImage shot = grabImage(clipped);
    EXPECT_EQ(countColor(shot, QColor(Qt::red).rgba()), 40 * 40);  // own size from the top-left: clipped

    QImageButton stretched;
    stretched.resize(40, 40);
    stretched.setImages(path, "", "", "", false, true);
    shot = grabImage(stretched);
    EXPECT_EQ(QColor(shot.pixel(5, 5)), QColor(Qt::red));
    EXPECT_EQ(QColor(shot.pixel(35, 5)), QColor(Qt::green));
    EXPECT_EQ(QColor(shot.pixel(5, 35)), QColor(Qt::blue));
    EXPECT_EQ(QColor(shot.pixel(35, 35)), QColor(Qt::yellow));

    QImageButton sized;
    sized.resize(10, 10);
    sized.setImages(path, "", "", "", true);
    EXPECT_EQ(sized.size(), QSize(100, 100));
}

TEST_F(Widgets, ImageButtonClicksCarryTheUserData) {
    QImageButton button;
    button.setUserData(42);
    QSignalSpy spy(&button, &QImageButton::dataclicked);
    button.click();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toUInt(), 42u);
}

TEST_F(Widgets, HtmlLabelTakesItsTextAsAddressAndOpensWebAddresses) {
    vnxtest::UrlRecorder opened;
    QHTMLLabel label;
    EXPECT_EQ(label.cursor().shape(), Qt::PointingHandCursor);
    label.resize(200, 20);
    label.setText("plain words");
    QTest::mouseClick(&label, Qt::LeftButton);
    EXPECT_EQ(label.url, "plain words");
    EXPECT_TRUE(opened.urls.isEmpty());  // not an address

    QHTMLLabel link;
    link.resize(200, 20);
    link.setText("<a href=\"https://x.example/\">x</a>");
    link.url = "https://home.example/";
    QTest::mouseClick(&link, Qt::LeftButton);
    EXPECT_EQ(link.url, "https://home.example/");
    EXPECT_EQ(opened.urls, QStringList{"https://home.example/"});
}

namespace {

// Sends a drag-enter with `urls` (or plain text when empty) and reports
// whether the tree accepted it.
bool dragAccepted(CDragTreeWidget& tree, const QList<QUrl>& urls) {
    QMimeData mime;
    if (urls.isEmpty())
        mime.setText("just text");
    else
        mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QApplication::sendEvent(tree.viewport(), &enter);
    return enter.isAccepted();
}

}  // namespace

TEST_F(Widgets, DragTreeAcceptsOnlyFilesEndingInXml) {
    CDragTreeWidget tree;
    tree.resize(300, 200);
    tree.show();
    ASSERT_TRUE(QDir().mkpath(dir_.path() + "/servers.xml"));  // a folder with an xml name
    const QUrl folder = QUrl::fromLocalFile(dir_.path() + "/servers.xml");
    const QUrl exe = QUrl::fromLocalFile(dir_.path() + "/program.exe");
    const QUrl upper = QUrl::fromLocalFile(dir_.path() + "/LIST.XML");
    EXPECT_FALSE(dragAccepted(tree, {folder}));
    EXPECT_FALSE(dragAccepted(tree, {exe}));
    EXPECT_FALSE(dragAccepted(tree, {}));
    EXPECT_TRUE(dragAccepted(tree, {upper}));
    EXPECT_TRUE(dragAccepted(tree, {exe, folder, upper}));  // one suitable URL is enough
    EXPECT_TRUE(dragAccepted(tree, {QUrl("https://example.org/proxys.xml")}));

    // Moves are turned into copies.
    QMimeData mime;
    mime.setUrls({upper});
    QDragMoveEvent move(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &move);
    EXPECT_TRUE(move.isAccepted());
    EXPECT_EQ(move.dropAction(), Qt::CopyAction);
}

TEST_F(Widgets, DropAnnouncesEachUrlThenTheListAndAddsNoRow) {
    CDragTreeWidget tree;
    tree.resize(300, 200);
    tree.show();
    QSignalSpy items(&tree, &CDragTreeWidget::itemEntered);
    QSignalSpy lists(&tree, &CDragTreeWidget::listEntered);
    QMimeData mime;
    const QList<QUrl> urls = {QUrl::fromLocalFile("/tmp/a.xml"), QUrl::fromLocalFile("/tmp/b.txt")};
    mime.setUrls(urls);
    // Drops go to the widget that accepted the drag.
    ASSERT_TRUE(dragAccepted(tree, urls));
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &drop);
    ASSERT_EQ(items.count(), 2);
    EXPECT_EQ(items.at(0).at(0).toString(), "file:///tmp/a.xml");
    EXPECT_EQ(items.at(1).at(0).toString(), "file:///tmp/b.txt");
    ASSERT_EQ(lists.count(), 1);
    EXPECT_EQ(lists.at(0).at(0).toStringList(), QStringList({"file:///tmp/a.xml", "file:///tmp/b.txt"}));
    EXPECT_EQ(tree.topLevelItemCount(), 0);

    QMimeData text;
    text.setText("no urls");
    QDropEvent ignored(QPointF(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &ignored);
    EXPECT_EQ(items.count(), 2);
    EXPECT_EQ(lists.count(), 1);
}

TEST_F(Widgets, SpaceBarTogglesTheCheckMarkOfTheSelectedRow) {
    CDragTreeWidget tree;
    tree.setColumnCount(2);
    auto* plain = new QTreeWidgetItem(&tree, QStringList{"notepad.exe", ""});  // no check mark yet
    auto* other = new QTreeWidgetItem(&tree, QStringList{"chrome.exe", ""});
    other->setCheckState(0, Qt::Unchecked);
    tree.show();
    tree.setCurrentItem(plain);
    ASSERT_EQ(tree.selectedItems().size(), 1);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(plain->checkState(0), Qt::Checked);
    EXPECT_EQ(other->checkState(0), Qt::Unchecked);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(plain->checkState(0), Qt::Unchecked);
    // Other keys keep their usual meaning.
    QTest::keyClick(&tree, Qt::Key_Down);
    EXPECT_EQ(tree.currentItem(), other);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(other->checkState(0), Qt::Checked);
    EXPECT_EQ(plain->checkState(0), Qt::Unchecked);
}

using vnxtest::columnTexts;

namespace {

QPoint sectionCenter(const QHeaderView& header, int column) {
    return QPoint(header.sectionViewportPosition(column) + header.sectionSize(column) / 2, header.height() / 2);
}

}  // namespace

TEST_F(Widgets, HeaderClicksSortDescendingFirstThenAlternate) {
    CDragTreeWidget tree;
    tree.setColumnCount(2);
    tree.setHeaderLabels({"Country", "Location / IP"});
    for (auto row : {QStringList{"DE", "b"}, QStringList{"US", "c"}, QStringList{"AT", "a"}})
        new QTreeWidgetItem(&tree, row);
    tree.resize(400, 200);
    tree.header()->resizeSection(0, 150);
    tree.show();
    ASSERT_EQ(tree.header(), tree.headerView);
    EXPECT_FALSE(tree.isSortingEnabled());
    EXPECT_TRUE(tree.headerView->descending);
    QWidget* port = tree.headerView->viewport();
    const int current = tree.sortColumn();
    const int other = current == 1 ? 0 : 1;

    QTest::mouseClick(port, Qt::LeftButton, Qt::NoModifier, sectionCenter(*tree.headerView, other));
    EXPECT_EQ(tree.sortColumn(), other);
    EXPECT_TRUE(tree.headerView->descending);
    EXPECT_EQ(tree.header()->sortIndicatorOrder(), Qt::DescendingOrder);
    const QStringList descendingRows = columnTexts(tree, other);
    QStringList sorted = descendingRows;
    std::sort(sorted.begin(), sorted.end(), std::greater<QString>());
    EXPECT_EQ(descendingRows, sorted);

    QTest::mouseClick(port, Qt::LeftButton, Qt::NoModifier, sectionCenter(*tree.headerView, other));
    EXPECT_FALSE(tree.headerView->descending);
    std::reverse(sorted.begin(), sorted.end());
    EXPECT_EQ(columnTexts(tree, other), sorted);
    QTest::mouseClick(port, Qt::LeftButton, Qt::NoModifier, sectionCenter(*tree.headerView, other));
    EXPECT_TRUE(tree.headerView->descending);

    // Back to the first column: descending again.
    QTest::mouseClick(port, Qt::LeftButton, Qt::NoModifier, sectionCenter(*tree.headerView, current));
    EXPECT_EQ(tree.sortColumn(), current);
    EXPECT_TRUE(tree.headerView->descending);
    EXPECT_EQ(columnTexts(tree, 0).first(), "US");
}

TEST_F(Widgets, HeaderDragOnASectionEdgeOnlyResizes) {
    CDragTreeWidget tree;
    tree.setColumnCount(2);
    for (auto row : {QStringList{"DE", "b"}, QStringList{"US", "c"}, QStringList{"AT", "a"}})
        new QTreeWidgetItem(&tree, row);
    tree.resize(400, 200);
    tree.header()->resizeSection(0, 150);
    tree.show();
    const QStringList before = columnTexts(tree, 0);
    const int sortColumn = tree.sortColumn();
    const bool descending = tree.headerView->descending;
    QWidget* port = tree.headerView->viewport();
    const QPoint edge(150 - 1, tree.headerView->height() / 2);
    QTest::mouseMove(port, edge);
    ASSERT_NE(tree.headerView->cursor().shape(), Qt::ArrowCursor);  // the resize cursor shows
    QTest::mousePress(port, Qt::LeftButton, Qt::NoModifier, edge);
    QMouseEvent drag(QEvent::MouseMove, QPointF(edge + QPoint(40, 0)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(port, &drag);
    QTest::mouseRelease(port, Qt::LeftButton, Qt::NoModifier, edge + QPoint(40, 0));
    EXPECT_GT(tree.header()->sectionSize(0), 170);
    EXPECT_EQ(columnTexts(tree, 0), before);
    EXPECT_EQ(tree.sortColumn(), sortColumn);
    EXPECT_EQ(tree.headerView->descending, descending);
}

TEST(SetWindowBackground, FillsTheWindowRoleInEveryGroup) {
    vnxtest::app();
    QWidget widget;
    SetWindowBackground(&widget, QColor(229, 239, 241));
    EXPECT_TRUE(widget.autoFillBackground());
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        EXPECT_EQ(widget.palette().brush(group, QPalette::Window).color(), QColor(229, 239, 241));
        EXPECT_EQ(widget.palette().brush(group, QPalette::Window).style(), Qt::SolidPattern);
    }
    widget.resize(20, 20);
    EXPECT_EQ(widget.grab().toImage().pixelColor(10, 10), QColor(229, 239, 241));
}
