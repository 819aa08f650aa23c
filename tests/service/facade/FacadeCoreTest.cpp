// The facade itself: the singleton, preview start and stop with its size, bit-rate, frame-rate and
// orientation rules, the device controls, the shared defaults, the device table, and logout.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>
#include "platform/media/ImageCodec.h"
#include "tests/service/facade/FacadeFixture.h"

using nlohmann::json;
using zqtest::FacadeTest;

TEST(QWPushUtilSingleton, OneInstanceEvenUnderConcurrentFirstCallsAndAFreshOneAfterDealloc) {
    QWPushUtil::attempDealloc();
    std::vector<std::shared_ptr<QWPushUtil>> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = QWPushUtil::sharedInstance(); });
    for (auto& t : threads) t.join();
    for (auto& s : seen) EXPECT_EQ(s, seen[0]);
    seen[0]->setPitId(12);
    seen[0]->setFMicGain(0.5f);
    std::weak_ptr<QWPushUtil> old = seen[0];
    seen.clear();
    QWPushUtil::attempDealloc();
    EXPECT_TRUE(old.expired());
    auto fresh = QWPushUtil::sharedInstance();
    EXPECT_EQ(fresh->pitId(), 0);
    EXPECT_EQ(fresh->fMicGain(), 0.0f);
    EXPECT_FALSE(fresh->isPushActive());
    EXPECT_FALSE(fresh->loginUserId());
    EXPECT_EQ(fresh->smallIndex(), 0);
    QWPushUtil::attempDealloc();
}

TEST_F(FacadeTest, BitRateRulesAtPreviewStart) {
    struct Case {
        int requested;
        std::int64_t maxBitrate;
        std::uint64_t bitRate;
        std::uint64_t max;
    };
    // The configuration stores a maximum only above the bit rate, so a capped rate keeps none.
    for (auto c : {Case{99, 800, 102400, 800 * 1024}, Case{100, 800, 102400, 800 * 1024},
                   Case{1000, 800, 800 * 1024, 0}, Case{500, 800, 500 * 1024, 800 * 1024},
                   Case{100, 0, 0, 0}}) {
        util->setMaxBitrate(c.maxBitrate);
        util->setVideoSize({360, 640}, c.requested, 15);
        util->startPreviewWithCameraFront(true, 1);
        auto& video = *videoConfigurations.back();
        EXPECT_EQ(video.videoBitRate(), c.bitRate) << c.requested << " of " << c.maxBitrate;
        EXPECT_EQ(video.videoMaxBitRate(), c.max) << c.requested << " of " << c.maxBitrate;
        EXPECT_EQ(video.videoFrameRate(), 30u);
        EXPECT_EQ(video.videoMaxKeyframeInterval(), 30u);
        EXPECT_EQ(util->frameRate(), 30);
    }
}

TEST_F(FacadeTest, SizeIsMadeEvenAndTurnedToTheOrientation) {
    struct Case {
        platform::Size requested;
        std::int64_t orientation;
        platform::Size previewed;
    };
    for (auto c : {Case{{641, 361}, 3, {642, 362}}, Case{{1280, 720}, 1, {720, 1280}}, Case{{720, 1280}, 3, {1280, 720}},
                   Case{{500, 500}, 1, {500, 500}}, Case{{500, 500}, 4, {500, 500}}, Case{{641.5, 1000}, 1, {642.5, 1000}},
                   Case{{640.5, 1000}, 2, {640.5, 1000}}, Case{{-3, 1000}, 1, {-3, 1000}}}) {
        util->setVideoSize(c.requested, 800, 30);
        util->startPreviewWithCameraFront(false, c.orientation);
        EXPECT_EQ(util->size(), c.previewed) << c.requested.toString() << " orientation " << c.orientation;
        EXPECT_EQ(videoConfigurations.back()->outputImageOrientation(), c.orientation);
        EXPECT_EQ(util->outputImageOrientation(), c.orientation);
    }
}

TEST_F(FacadeTest, PreviewBuildsARunningSessionAndWritesTheSharedDefaults) {
    util->setMaxBitrate(1000);
    util->setVideoSize({360, 640}, 800, 30);
    util->startPreviewWithCameraFront(false, 1);
    auto session = util->session();
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->running());
    EXPECT_EQ(session->captureType(), ZQLiveCaptureAudio | ZQLiveCaptureVideo);
    auto& video = *videoConfigurations.back();
    EXPECT_EQ(video.videoMinBitRate(), 102400u);
    EXPECT_FALSE(video.autorotate());
    EXPECT_EQ(video.sessionPreset(), static_cast<std::uint64_t>(ZQVideoPreset720));

    auto defaults = util->userDefaults();
    ASSERT_TRUE(defaults);
    auto stored = json::parse(zqtest::readFile(home.path() + "/zqlivekit/" + QWPushUtil::applicationGroup() + ".json"));
    EXPECT_EQ(stored["videoConfiguration"],
              (json{{"sizeWidth", 360.0}, {"sizeHeight", 640.0}, {"videoBitRate", 800 * 1024}, {"videoMaxBitRate", 1000 * 1024},
                    {"videoFrameRate", 30}, {"outputImageOrientation", 1}}));
    struct stat info {};
    ASSERT_EQ(::stat(defaults->path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A second preview replaces the session; stopping the preview drops it and the ping manager.
    util->startPreviewWithCameraFront(true, 1);
    EXPECT_NE(util->session(), session);
    auto manager = util->pingManager();
    util->stopPreview();
    EXPECT_FALSE(util->session());
    EXPECT_NE(util->pingManager(), manager);
}

TEST_F(FacadeTest, ApplicationGroupNamesThatCouldLeaveTheConfigFolderAreRefused) {
    EXPECT_FALSE(QWPushUtil::setApplicationGroup("../../etc/x"));
    EXPECT_FALSE(QWPushUtil::setApplicationGroup(""));
    EXPECT_EQ(QWPushUtil::applicationGroup(), "group.zqlivekit.push");
    EXPECT_TRUE(QWPushUtil::setApplicationGroup("group.test"));
    EXPECT_EQ(util->userDefaults()->path(), home.path() + "/zqlivekit/group.test.json");
    QWPushUtil::setApplicationGroup("group.zqlivekit.push");
}

TEST_F(FacadeTest, DeviceControlsReachTheSessionAndDoNothingWithoutOne) {
    util->setMicGain(0.0f);
    util->setCameraFront(true);
    util->setTorch(true);
    EXPECT_EQ(util->fMicGain(), 0.0f);
    EXPECT_TRUE(util->isCameraFront());

    util->startPreviewWithCameraFront(true, 1);
    auto session = util->session();
    util->setMicGain(0.0f);
    EXPECT_TRUE(session->muted());
    util->setMicGain(0.01f);
    EXPECT_FALSE(session->muted());
    EXPECT_FLOAT_EQ(util->fMicGain(), 0.01f);
    EXPECT_EQ(cameras.back()->position, 2);
    EXPECT_TRUE(cameras.back()->isRunning);
    util->setCameraFront(false);
    EXPECT_EQ(session->captureDevicePosition(), 1);
    util->setCameraFront(true);
    EXPECT_EQ(session->captureDevicePosition(), 2);
    util->setTorch(true);
    EXPECT_TRUE(cameras.back()->torchOn);
    util->setCameraBeautyFilterWithSmooth(0.7f, 0.2f, 0.1f);
    EXPECT_FLOAT_EQ(cameras.back()->beauty, 0.7f);
}

TEST_F(FacadeTest, PreviewViewGoesToTheSessionAndWatermarkAndPublishImageOnlyWhilePublishing) {
    auto view = platform::View::create(platform::makeRect(0, 0, 360, 640));
    view->setTransform(platform::AffineTransform::identity().scaled(-1, 1));
    util->setPreview(view);
    EXPECT_EQ(util->AllBackGroudView(), view);
    EXPECT_EQ(util->transform(), (platform::AffineTransform{-1, 0, 0, 1, 0, 0}));
    util->setPreview(nullptr);
    EXPECT_EQ(util->transform(), (platform::AffineTransform{0, 0, 0, 0, 0, 0}));
    util->setPreview(view);
    util->startPreviewWithCameraFront(true, 1);
    EXPECT_EQ(cameras.back()->preview, view);

    // A PNG as an application loads it: decoded by the kit's image decoders.
    auto pixels = platform::PixelBuffer::create(32, 16, platform::PixelFormat::BGRA);
    std::vector<std::uint8_t> png;
    std::string error;
    ASSERT_TRUE(platform::encodePng(*pixels, &png, &error)) << error;
    auto image = platform::Image::create(platform::decodeImage(png, &error));
    ASSERT_TRUE(image) << error;

    for (std::int64_t state : {0, 1, 5}) {
        util->setSessionState(state);
        util->addWaterMask(image, platform::makeRect(10, 20, 64, 32));
        util->publishImage(image, true);
        EXPECT_FALSE(cameras.back()->watermark) << state;
        EXPECT_FALSE(util->isBigImage()) << state;
        EXPECT_FALSE(util->isBig()) << state;
    }
    util->setSessionState(3);
    util->addWaterMask(image, platform::makeRect(10, 20, 64, 32));
    auto watermark = std::dynamic_pointer_cast<platform::ImageView>(cameras.back()->watermark);
    ASSERT_TRUE(watermark);
    EXPECT_EQ(watermark->image(), image);
    EXPECT_EQ(watermark->frame(), platform::makeRect(10, 20, 64, 32));
    EXPECT_DOUBLE_EQ(watermark->alpha(), 0.8);
    util->publishImage(image, true);
    EXPECT_EQ(util->isBigImage(), image);
    EXPECT_TRUE(util->isBig());
    util->setSessionState(5);
    util->clearPublishImage();
    EXPECT_EQ(util->isBigImage(), image) << "kept unless publishing";
    util->setSessionState(3);
    util->clearPublishImage();
    EXPECT_FALSE(util->isBigImage());
}

TEST(QWPushUtilDeviceTable, KnownIdentifiersHaveNamesAndNewOnesPassThrough) {
    EXPECT_EQ(QWPushUtil::deviceModelForMachine("iPhone10,6"), "iPhone X");
    EXPECT_EQ(QWPushUtil::deviceModelForMachine("iPhone11,6"), "iPhone XS Max");
    EXPECT_EQ(QWPushUtil::deviceModelForMachine("iPad2,5"), "iPadmini1G");
    EXPECT_EQ(QWPushUtil::deviceModelForMachine("x86_64"), "iPhoneSimulator");
    EXPECT_EQ(QWPushUtil::deviceModelForMachine("iPhone15,2"), "iPhone15,2");
    EXPECT_EQ(QWPushUtil::deviceModelForMachine("aarch64"), "aarch64");
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
    auto util = QWPushUtil::sharedInstance();
    EXPECT_EQ(util->getDeviceName(), name.machine);
    EXPECT_EQ(util->getCurrentDeviceModel(), QWPushUtil::deviceModelForMachine(name.machine));
    QWPushUtil::attempDealloc();
}
