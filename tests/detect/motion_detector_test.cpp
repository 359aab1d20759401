#include <gtest/gtest.h>

#include <QImage>
#include <QSize>

#include <algorithm>
#include <vector>

#include "camera/jpeg_decoder.h"
#include "detect/motion_detector.h"
#include "ipcam_sim/scene.h"

namespace ipcam {
namespace {

// A picture in the preview's pixel layout (0xAARRGGBB), one colour throughout.
struct Picture {
    Picture(int w, int h, uint32_t argb = 0xFF000000u) : width(w), height(h), pixels(static_cast<size_t>(w * h), argb) {}

    void set(int x, int y, int r, int g, int b) {
        pixels[static_cast<size_t>(y * width + x)] =
            0xFF000000u | static_cast<uint32_t>(r << 16) | static_cast<uint32_t>(g << 8) | static_cast<uint32_t>(b);
    }
    void fillRect(int x0, int y0, int x1, int y1, int r, int g, int b) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                set(x, y, r, g, b);
    }
    PixelView view() const { return PixelView{pixels.data(), width, height, width}; }

    int width;
    int height;
    std::vector<uint32_t> pixels;
};

// Runs the skip and reference pictures, so the next step compares.
void prime(MotionState& session, const Picture& reference, uint8_t sensitivity) {
    session.MotionPhase = 0;
    ASSERT_FALSE(motionStep(session, reference.view(), sensitivity, false));
    ASSERT_FALSE(motionStep(session, reference.view(), sensitivity, false));
    ASSERT_EQ(session.MotionPhase, 2);
}

bool changeIsSeen(const Picture& before, const Picture& after, uint8_t sensitivity) {
    MotionState session;
    prime(session, before, sensitivity);
    return motionStep(session, after.view(), sensitivity, false);
}

TEST(MotionColour, LayoutAndInvalidValue) {
    Picture p(320, 240);
    p.set(20, 15, 0x11, 0x22, 0x33);
    EXPECT_EQ(colourAt(p.view(), 20, 15), 0x00332211u);
    EXPECT_EQ(colourAt(p.view(), 320, 15), 0xFFFFFFFFu);
    EXPECT_EQ(colourAt(p.view(), 20, 240), 0xFFFFFFFFu);
    EXPECT_EQ(colourAt(p.view(), -1, 0), 0xFFFFFFFFu);
    EXPECT_EQ(colourAt(PixelView{}, 0, 0), 0xFFFFFFFFu);
    // Rows wider than the picture: a 4 x 2 picture inside rows of 8 pixels.
    std::vector<uint32_t> rows(16, 0xFF000000u);
    rows[8 + 3] = 0xFF0000FFu;
    const PixelView inRows{rows.data(), 4, 2, 8};
    EXPECT_EQ(colourAt(inRows, 3, 1), 0x00FF0000u);
    EXPECT_EQ(colourAt(inRows, 4, 1), 0xFFFFFFFFu);
}

TEST(MotionStep, IdenticalPicturesNeverReportMotion) {
    Picture scene(320, 240, 0xFF406080u);
    scene.fillRect(0, 0, 100, 100, 250, 10, 200);
    for (uint8_t s = 0; s <= 10; ++s) {
        MotionState session;
        prime(session, scene, s);
        for (int n = 0; n < 3; ++n)
            EXPECT_FALSE(motionStep(session, scene.view(), s, false)) << "sensitivity " << int(s);
    }
}

TEST(MotionStep, BlackToGreyAtOnePointCrossesBetweenSensitivityThreeAndFour) {
    Picture black(320, 240);
    Picture grey(320, 240);
    grey.set(260, 195, 128, 128, 128);  // sample point (6, 6): d = 384
    for (uint8_t s = 0; s <= 3; ++s)
        EXPECT_FALSE(changeIsSeen(black, grey, s)) << "sensitivity " << int(s);
    for (uint8_t s = 4; s <= 10; ++s)
        EXPECT_TRUE(changeIsSeen(black, grey, s)) << "sensitivity " << int(s);
}

TEST(MotionStep, DistanceEqualToThresholdIsNotMotion) {
    Picture black(320, 240);
    Picture exact(320, 240);
    exact.set(20, 15, 128, 128, 94);  // d = 350 = T at sensitivity 5
    EXPECT_FALSE(changeIsSeen(black, exact, 5));
    Picture above(320, 240);
    above.set(20, 15, 128, 128, 95);  // d = 351
    EXPECT_TRUE(changeIsSeen(black, above, 5));
}

TEST(MotionStep, ChangeBetweenSamplePointsIsNotSeen) {
    Picture black(320, 240);
    Picture object(320, 240);
    object.fillRect(25, 20, 55, 40, 255, 255, 255);  // inside a cell, off its centre
    EXPECT_FALSE(changeIsSeen(black, object, 10));
}

TEST(MotionStep, SmallPictureUsesOnlyInnerSixteenPoints) {
    Picture black(160, 120);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            Picture changed(160, 120);
            changed.set(20 + 40 * i, 15 + 30 * j, 255, 255, 255);
            EXPECT_TRUE(changeIsSeen(black, changed, 0)) << i << "," << j;
        }
    // Points outside read as the invalid colour in both grids: d = 0 always.
    EXPECT_FALSE(changeIsSeen(black, black, 10));
    MotionState session;
    prime(session, black, 10);
    EXPECT_EQ(session.ReferenceGrid[4][0], -1);
    EXPECT_EQ(session.ReferenceGrid[0][4], -1);
    EXPECT_EQ(session.ReferenceGrid[3][3], 0);
}

TEST(MotionStep, LargePictureNeverSeesRightOrBottomHalf) {
    Picture black(640, 480);
    Picture right(640, 480);
    right.fillRect(320, 0, 640, 480, 255, 255, 255);
    Picture bottom(640, 480);
    bottom.fillRect(0, 240, 640, 480, 255, 255, 255);
    EXPECT_FALSE(changeIsSeen(black, right, 10));
    EXPECT_FALSE(changeIsSeen(black, bottom, 10));
    Picture topLeft(640, 480);
    topLeft.fillRect(0, 0, 320, 240, 255, 255, 255);
    EXPECT_TRUE(changeIsSeen(black, topLeft, 10));
}

TEST(MotionStep, ThirdPictureAfterResetIsFirstCompared) {
    Picture a(320, 240);
    Picture b(320, 240, 0xFFFFFFFFu);
    MotionState session;
    session.MotionPhase = 0;
    EXPECT_FALSE(motionStep(session, b.view(), 10, false));  // skipped
    EXPECT_EQ(session.MotionPhase, 1);
    EXPECT_FALSE(motionStep(session, a.view(), 10, false));  // reference
    EXPECT_EQ(session.MotionPhase, 2);
    EXPECT_TRUE(motionStep(session, b.view(), 10, false));   // compared
    // The reference follows every compared picture: b again is no change.
    EXPECT_FALSE(motionStep(session, b.view(), 10, false));
    EXPECT_TRUE(motionStep(session, a.view(), 10, false));
}

TEST(MotionStep, TriggerSuppressesComparisonAndKeepsReference) {
    Picture a(320, 240);
    Picture b(320, 240, 0xFFFFFFFFu);
    MotionState session;
    prime(session, a, 10);
    EXPECT_FALSE(motionStep(session, b.view(), 10, /*motionTrigger=*/true));
    EXPECT_EQ(session.MotionPhase, 2);
    EXPECT_EQ(session.ReferenceGrid[0][0], 0);  // still picture a
    EXPECT_TRUE(motionStep(session, b.view(), 10, false));
}

// While nobody looks at the preview, only what motion detection reads is
// decoded (at 1/8, read in the preview's pixels): it decides as the preview
// does, for a moving scene (the block is 250 to 340 from the wall behind it:
// clear of the threshold at sensitivity 10) and for a still one whose
// pictures differ only in their coding.
std::vector<bool> decisions(const std::vector<QByteArray>& pictures, QSize area, bool sampled) {
    JpegDecoder decoder;
    QImage image;
    MotionState session;
    std::vector<bool> out;
    for (const QByteArray& p : pictures) {
        const auto* data = reinterpret_cast<const uint8_t*>(p.constData());
        const size_t size = static_cast<size_t>(p.size());
        QSize shown;
        EXPECT_TRUE(sampled ? decoder.decodeSamples(data, size, image, area.width(), area.height(), &shown)
                            : decoder.decode(data, size, image, area.width(), area.height()));
        PixelView view{reinterpret_cast<const uint32_t*>(image.constBits()), image.width(), image.height(),
                       static_cast<int>(image.bytesPerLine() / 4)};
        if (sampled) {
            EXPECT_EQ(shown, JpegDecoder::fittedSize(1920, 1080, area.width(), area.height()));
            EXPECT_EQ(image.size(), QSize(240, 135));
            view = PixelView{view.pixels, shown.width(), shown.height(), view.stride, view.width, view.height};
        }
        out.push_back(motionStep(session, view, 10, false));
    }
    return out;
}

TEST(MotionOnSamples, DecidesAsThePreviewForMovingAndStillScenes) {
    const QSize size(1920, 1080);
    std::vector<QByteArray> moving, still;
    for (uint64_t n = 0; n < 12; ++n) {
        moving.push_back(sim::encodeJpeg(sim::renderScene(size, sim::SceneKind::Moving, n * 5, {12, 0, int(n)}), size));
        still.push_back(sim::encodeJpeg(sim::renderScene(size, sim::SceneKind::Still, 0, {}), size, 60 + 3 * int(n)));
    }
    for (const QSize area : {QSize(640, 480), QSize(320, 240), QSize(160, 120)}) {
        SCOPED_TRACE(area.width());
        const std::vector<bool> seen = decisions(moving, area, false);
        EXPECT_EQ(decisions(moving, area, true), seen);
        EXPECT_NE(std::count(seen.begin(), seen.end(), true), 0);
        EXPECT_EQ(decisions(still, area, true), std::vector<bool>(still.size(), false));
        EXPECT_EQ(decisions(still, area, false), std::vector<bool>(still.size(), false));
    }
}

}  // namespace
}  // namespace ipcam
