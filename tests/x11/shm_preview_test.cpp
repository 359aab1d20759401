// The preview's shared-memory path on a real X server (Xvfb, started here):
// what reaches the screen is read back from the server. Without Xvfb every
// test is skipped.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "frontends/window/Unit1.h"
#include "frontends/window/shm_preview.h"

namespace ipcam {
namespace {

bool gHaveX = false;

// An area of `window` as the X server has it (RGB32, alpha cleared).
QImage screenArea(const QWidget& window, QRect area) {
    xcb_connection_t* c = qApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    auto* reply = xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, static_cast<xcb_window_t>(window.winId()),
                      static_cast<int16_t>(area.x()), static_cast<int16_t>(area.y()),
                      static_cast<uint16_t>(area.width()), static_cast<uint16_t>(area.height()), ~0u),
        nullptr);
    if (!reply) {
        return {};
    }
    QImage out(xcb_get_image_data(reply), area.width(), area.height(), area.width() * 4, QImage::Format_RGB32);
    out = out.copy();
    std::free(reply);
    return out;
}

QRgb screenPixel(const QWidget& window, QPoint at) { return screenArea(window, QRect(at, QSize(1, 1))).pixel(0, 0) & 0xffffff; }

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

TEST(ShmPreview, PicturesReachTheScreenUnpaintedAndSurviveOverlaysAndExposes) {
    if (!gHaveX) {
        GTEST_SKIP() << "no Xvfb";
    }
    std::unique_ptr<ShmPreview> shm = ShmPreview::create();
    ASSERT_TRUE(shm);
    QImage image = shm->allocate(QSize(320, 180));
    ASSERT_EQ(image.size(), QSize(320, 180));

    QWidget window;
    window.setGeometry(0, 0, 400, 300);
    auto* panel = new PreviewPanel(image, &window);
    panel->setGeometry(20, 30, 320, 240);
    panel->setDirectOutput(shm.get());
    auto* status = new StatusLabel(&window);
    status->setGeometry(20, 272, 300, 24);
    status->setDirectOutput(shm.get());
    auto* overlay = new QLabel("Please wait", panel);
    overlay->setAutoFillBackground(true);
    QPalette white = overlay->palette();
    white.setColor(QPalette::Window, Qt::white);
    overlay->setPalette(white);
    overlay->hide();
    PaintCounter counter;
    panel->installEventFilter(&counter);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint inPicture = panel->mapTo(&window, QPoint(160, 120));  // picture at y 30..210 of the panel

    const auto show = [&](QRgb colour) {
        image.fill(colour);
        panel->pictureChanged();
        QApplication::processEvents();
        QTest::qWait(50);
    };
    const auto onScreen = [&] { return screenPixel(window, inPicture); };

    show(qRgb(255, 0, 0));  // the first picture is painted
    EXPECT_EQ(onScreen(), qRgb(255, 0, 0) & 0xffffff);
    EXPECT_EQ(screenPixel(window, panel->mapTo(&window, QPoint(160, 10))), 0u);  // black above it

    const int painted = counter.paints;
    show(qRgb(0, 255, 0));  // the next goes straight to the screen
    EXPECT_EQ(onScreen(), qRgb(0, 255, 0) & 0xffffff);
    EXPECT_EQ(counter.paints, painted);

    // A status line drawn into shared memory shows exactly what it paints,
    // and is not painted for it.
    status->installEventFilter(&counter);
    status->setText("Preview: 29.9 (300f/10s)");
    QApplication::processEvents();
    QTest::qWait(50);
    EXPECT_EQ(counter.paints, painted);
    const QImage drawn = status->grab().toImage();
    const QImage seen = screenArea(window, QRect(status->mapTo(&window, QPoint()), status->size()));
    int differing = 0, inked = 0;
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
            differing += (seen.pixel(x, y) & 0xffffff) != (drawn.pixel(x, y) & 0xffffff);
            inked += drawn.pixel(x, y) != drawn.pixel(0, 0);
        }
    }
    EXPECT_EQ(differing, 0);
    EXPECT_GT(inked, 20) << "no text drawn";

    // A child over the panel: painted the ordinary way, the child stays on top.
    overlay->setGeometry(0, 100, 320, 40);
    overlay->show();
    show(qRgb(0, 0, 255));
    EXPECT_GT(counter.paints, painted);
    EXPECT_EQ(onScreen(), qRgb(255, 255, 255) & 0xffffff);
    EXPECT_EQ(screenPixel(window, panel->mapTo(&window, QPoint(160, 60))), qRgb(0, 0, 255) & 0xffffff);
    overlay->hide();
    QTest::qWait(50);

    // Covered by another window and uncovered: the latest picture is shown
    // again, not an older one from the backing store.
    show(qRgb(255, 255, 0));
    EXPECT_EQ(onScreen(), qRgb(255, 255, 0) & 0xffffff);
    QWidget cover;
    cover.setGeometry(window.geometry());
    cover.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&cover));
    cover.hide();
    QTest::qWait(200);
    EXPECT_EQ(onScreen(), qRgb(255, 255, 0) & 0xffffff);
}

}  // namespace
}  // namespace ipcam

// A display of our own for the whole binary; offscreen (and every test
// skipped) when Xvfb cannot be started.
int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || std::string(argv[i]) == "--gtest_list_tests";
    }
    int fds[2];
    pid_t xvfb = -1;
    if (!listing && pipe(fds) == 0) {
        xvfb = fork();
        if (xvfb == 0) {
            // Ends with the test, however it ends, and keeps off its output,
            // which the test runner waits on.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // The number and then a newline, written apart: the pipe stays open
        // until the newline is in, or the server ends on a broken pipe.
        std::string number;
        char ch = 0;
        while (xvfb > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n') {
            number += ch;
        }
        close(fds[0]);
        if (ch == '\n' && !number.empty()) {
            qputenv("DISPLAY", QByteArray(":") + QByteArray::fromStdString(number));
            qputenv("QT_QPA_PLATFORM", "xcb");
            ipcam::gHaveX = true;
        }
    }
    if (!ipcam::gHaveX) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int rc;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
    }
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    return rc;
}
