// The view model that stands in for the mobile OS's views.
#include <gtest/gtest.h>
#include "ZQLiveKit/View.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace {

using platform::makeRect;
using Colour = std::array<std::uint8_t, 4>;

std::shared_ptr<platform::Image> solidImage(int width, int height, Colour bgra) {
    auto buffer = platform::PixelBuffer::create(width, height, platform::PixelFormat::BGRA);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            std::copy(bgra.begin(), bgra.end(), buffer->planeData(0) + y * buffer->bytesPerRow(0) + x * 4);
    return platform::Image::create(buffer);
}

zvtest::Picture snapshot(const platform::View& view) { return zvtest::fromBGRA(*view.snapshotImage()->pixelBuffer()); }

TEST(ViewTest, HierarchyOrderAndMoves) {
    auto a = platform::View::create(), b = platform::View::create(), c = platform::View::create();
    a->addSubview(b);
    a->insertSubview(c, 0);
    EXPECT_EQ(a->subviews(), (std::vector<std::shared_ptr<platform::View>>{c, b}));
    EXPECT_EQ(b->superview(), a);
    c->addSubview(b); // moves
    EXPECT_EQ(a->subviews().size(), 1u);
    EXPECT_EQ(b->superview(), c);
    b->addSubview(a); // a is b's ancestor: refused
    EXPECT_TRUE(b->subviews().empty());
    b->removeFromSuperview();
    EXPECT_EQ(b->superview(), nullptr);
    EXPECT_TRUE(c->subviews().empty());
}

TEST(ViewTest, FlexibleSubviewsFollowTheirSuperviewsSize) {
    auto host = platform::View::create(makeRect(0, 0, 100, 200));
    auto flexible = platform::View::create(makeRect(0, 0, 100, 200));
    flexible->setAutoresizingMask(platform::ViewAutoresizingFlexibleWidth | platform::ViewAutoresizingFlexibleHeight);
    auto fixed = platform::View::create(makeRect(10, 10, 20, 20));
    host->addSubview(flexible);
    host->addSubview(fixed);
    host->setFrame(makeRect(0, 0, 50, 80));
    EXPECT_EQ(flexible->frame(), makeRect(0, 0, 50, 80));
    EXPECT_EQ(fixed->frame(), makeRect(10, 10, 20, 20));
}

TEST(ViewTest, SnapshotDrawsBackgroundsImagesAlphaAndTransforms) {
    auto window = platform::View::create(makeRect(0, 0, 8, 4));
    window->setBackgroundColor(platform::Color{0, 0, 1, 1});
    auto left = platform::ImageView::create(solidImage(2, 2, {0, 0, 255, 255}), makeRect(0, 0, 2, 4)); // red
    auto half = platform::View::create(makeRect(4, 0, 2, 4));
    half->setBackgroundColor(platform::Color{1, 1, 1, 1});
    half->setAlpha(0.5);
    window->addSubview(left);
    window->addSubview(half);
    zvtest::Picture p = snapshot(*window);
    ASSERT_EQ(p.width, 8);
    EXPECT_EQ(p.at(0, 0), (Colour{255, 0, 0, 255}));
    EXPECT_EQ(p.at(3, 2), (Colour{0, 0, 255, 255}));
    EXPECT_EQ(p.at(4, 1), (Colour{128, 128, 255, 255}));

    // A mirror transform acts about the view's centre: the left half's picture moves to its right.
    auto mirrored = platform::View::create(makeRect(0, 0, 8, 4));
    auto marker = platform::View::create(makeRect(0, 0, 2, 4));
    marker->setBackgroundColor(platform::Color{0, 1, 0, 1});
    mirrored->addSubview(marker);
    mirrored->setTransform(platform::AffineTransform::identity().scaled(-1, 1));
    auto host = platform::View::create(makeRect(0, 0, 8, 4));
    host->addSubview(mirrored);
    zvtest::Picture m = snapshot(*host);
    EXPECT_EQ(m.at(7, 0)[1], 255);
    EXPECT_EQ(m.at(0, 0)[3], 0) << "nothing left of centre any more";
}

TEST(ViewTest, EmptyViewsHaveNoSnapshotAndBadValuesAreTamed) {
    EXPECT_EQ(platform::View::create()->snapshotImage(), nullptr);
    auto view = platform::View::create(makeRect(0, 0, 2, 2));
    view->setAlpha(7);
    EXPECT_EQ(view->alpha(), 1.0);
    view->setAlpha(std::nan(""));
    EXPECT_EQ(view->alpha(), 0.0);
    EXPECT_EQ(platform::Image::create(platform::PixelBuffer::create(2, 2, platform::PixelFormat::NV12)), nullptr);
}

} // namespace
