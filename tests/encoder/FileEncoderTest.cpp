// The file-based encoder over real files and libx264 on small pictures: params.mp4, the growing
// capture file read back picture by picture with the right times, rotations and what they must not
// lose, private temporary folders, and frames that decode.
#include <gtest/gtest.h>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include "ZQLiveKit/TestPatternSource.h"
#include "encoder/ZVAVEncoder.h"
#include "encoder/ZVH264VideoEncoder.h"
#include "encoder/ZVMP4Atom.h"
#include "encoder/ZVNALUnit.h"
#include "platform/media/H264NalUnits.h"
#include "tests/platform/media/MediaTestSupport.h"

using namespace platform;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr double kWait = 30; // seconds; generous for a loaded two-core machine

// Writers that queue rather than drop, so that counts are exact; `tweak` adjusts one file's input.
ZVAVEncoder::WriterFactory queuedWriters(std::function<void(const std::string&, MovieFileWriter::Input&)> tweak = {}) {
    return [tweak](const std::string& path, int height, int width, std::int64_t rate) {
        auto input = ZVVideoEncoder::inputFor(height, width, rate);
        input.expectsMediaDataInRealTime = false;
        if (tweak) tweak(path, input);
        return ZVVideoEncoder::encoderForPath(path, input, rate);
    };
}

// What the file encoder's blocks received.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::vector<ZQBytes>, std::int64_t>> units;
    int params = 0;

    std::size_t count() {
        std::lock_guard lock(mutex);
        return units.size();
    }
    bool waitFor(std::size_t n, double seconds = kWait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return units.size() >= n; });
    }
    std::vector<std::int64_t> times() {
        std::lock_guard lock(mutex);
        std::vector<std::int64_t> out;
        for (auto& u : units) out.push_back(u.second);
        return out;
    }
};

class FileEncoderTest : public ::testing::Test {
protected:
    std::shared_ptr<ZVAVEncoder> make(ZVAVEncoder::WriterFactory factory = queuedWriters()) {
        auto encoder = ZVAVEncoder::encoderForHeight(kHeight, kWidth, 300000, std::move(factory));
        encoder->encodeWithBlock(
            [this](std::vector<ZQBytes>&& nals, std::int64_t pts) {
                std::lock_guard lock(received.mutex);
                received.units.emplace_back(std::move(nals), pts);
                received.changed.notify_all();
            },
            [this] {
                std::lock_guard lock(received.mutex);
                ++received.params;
            });
        return encoder;
    }
    static std::int64_t timeOf(int index) { return 10000 + index * 33; }
    void submit(ZVAVEncoder& encoder) {
        VideoSampleBuffer sample{pattern.renderFrame(static_cast<std::uint64_t>(mNext)), {timeOf(mNext), 1000}, {1, 30}};
        encoder.encodeFrame(sample);
        ++mNext;
    }
    // Submits frames until `n` access units came back (the codec and the reader each hold the latest
    // picture back until the next one arrives).
    bool pumpUntil(ZVAVEncoder& encoder, std::size_t n, int maxFrames = 200) {
        for (int i = 0; i < maxFrames; ++i) {
            if (received.waitFor(n, 0.05)) return true;
            submit(encoder);
        }
        return received.waitFor(n);
    }
    int submitted() const { return mNext; }

    TestPatternSource pattern{kWidth, kHeight, 30, PixelFormat::NV12};
    Received received;

private:
    int mNext = 0;
};

TEST_F(FileEncoderTest, ParamsFileGivesTheConfigurationAndPicturesComeBackWithTheirTimes) {
    auto encoder = make();
    ASSERT_TRUE(encoder);
    for (int i = 0; i < 12; ++i) submit(*encoder);
    ASSERT_TRUE(pumpUntil(*encoder, 10));

    // The avcC chain of the real params.mp4, as libavformat wrote it.
    auto record = ZVReadAvcCRecord(FileHandle::openForReading(encoder->temporaryDirectory() + "/params.mp4"));
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, encoder->getConfigData());
    ZVavcCHeader header(*record);
    ASSERT_TRUE(header.isValid());
    EXPECT_EQ(header.lengthSize(), 4);
    ZVSeqParamSet sps{ZVNALUnit(header.sps().front())};
    ASSERT_TRUE(sps.isValid());
    EXPECT_EQ(sps.profile(), 66);
    EXPECT_EQ(sps.level(), 41);
    EXPECT_EQ(sps.width(), 160u);
    EXPECT_EQ(sps.height(), 120u);
    EXPECT_TRUE(encoder->isReading());

    {
        std::lock_guard lock(received.mutex);
        EXPECT_EQ(received.params, 1);
        // One picture per submitted frame, in order, each with its own frame's time.
        for (std::size_t i = 0; i < received.units.size(); ++i) {
            EXPECT_EQ(received.units[i].second, timeOf(static_cast<int>(i))) << i;
            int slices = 0;
            for (auto& nal : received.units[i].first) slices += ZVNALUnit::isSlice(nal[0] & 0x1F);
            EXPECT_EQ(slices, 1) << "one slice per picture";
        }
        const auto& first = received.units[0].first;
        EXPECT_EQ(first.back()[0] & 0x1F, 5) << "the file starts with an IDR picture";
        ZVSliceHeader slice{ZVNALUnit({first.back().data(), first.back().size()})};
        EXPECT_EQ(slice.firstMbInSlice(), 0u);
    }
    // Only the pictures in flight still wait for their times.
    EXPECT_EQ(encoder->pendingTimeCount(), static_cast<std::size_t>(submitted()) - received.count());
}

TEST_F(FileEncoderTest, AFinishedCaptureFileReadsAsMediaDataThenMovieWithTheSameConfiguration) {
    auto encoder = make();
    ASSERT_TRUE(pumpUntil(*encoder, 5));
    encoder->shutdown(); // the writers finish their files; the folder stays until the encoder goes
    const std::string path = encoder->temporaryDirectory() + "/capture1.mp4";
    auto file = FileHandle::openForReading(path);
    ASSERT_TRUE(file);
    ZVMP4Atom root = ZVMP4Atom::atomAt(0, *file->size(), ZVMP4Atom::fourcc("file"), file);
    std::vector<std::string> types;
    std::uint64_t mdatLength = 0;
    root.setChildOffset(0);
    while (auto child = root.nextChild()) {
        types.push_back(ZVMP4Atom::typeName(child->type()));
        if (child->type() == ZVMP4Atom::fourcc("mdat")) mdatLength = child->length();
    }
    EXPECT_EQ(types, (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
    EXPECT_GT(mdatLength, 1000u);
    auto record = ZVReadAvcCRecord(file);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, encoder->getConfigData());

    // Cut inside its movie atom, the file yields no configuration (and reads nothing past its end).
    const std::string cut = encoder->temporaryDirectory() + "/cut.mp4";
    fs::copy_file(path, cut);
    fs::resize_file(cut, *file->size() - 30);
    EXPECT_FALSE(ZVReadAvcCRecord(FileHandle::openForReading(cut)));
}

TEST_F(FileEncoderTest, EachEncoderHasAPrivateFolderRemovedAtShutdown) {
    auto first = make();
    auto second = ZVAVEncoder::encoderForHeight(kHeight, kWidth, 300000, queuedWriters());
    ASSERT_TRUE(first && second);
    const std::string a = first->temporaryDirectory(), b = second->temporaryDirectory();
    EXPECT_NE(a, b);
    for (const auto& dir : {a, b}) {
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
        EXPECT_EQ(st.st_uid, ::geteuid());
    }
    EXPECT_TRUE(fs::exists(a + "/params.mp4"));
    EXPECT_EQ(first->currentPath(), a + "/capture1.mp4");

    for (int i = 0; i < 5; ++i) submit(*first);
    first->shutdown();
    const std::size_t after = received.count();
    submit(*first); // dropped
    EXPECT_EQ(first->pendingTimeCount(), 5u - after) << "a frame after shutdown queues no time";
    first.reset();
    second.reset();
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
}

TEST_F(FileEncoderTest, ABitRateChangeStartsTheNextFileAtTheNextFrameAndLosesNoPicture) {
    auto encoder = make();
    ASSERT_TRUE(pumpUntil(*encoder, 3));
    EXPECT_EQ(encoder->currentFile(), 1);
    encoder->setBitrate(450000);
    EXPECT_EQ(encoder->currentFile(), 1) << "nothing happens until a frame comes";
    const int rotationFrame = submitted();
    submit(*encoder);
    EXPECT_EQ(encoder->currentFile(), 2);
    EXPECT_EQ(encoder->currentPath(), encoder->temporaryDirectory() + "/capture2.mp4");
    EXPECT_EQ(encoder->bitrate(), 450000);

    // Reading moves on once the old file is drained and deleted.
    ASSERT_TRUE(pumpUntil(*encoder, static_cast<std::size_t>(rotationFrame) + 3));
    EXPECT_FALSE(fs::exists(encoder->temporaryDirectory() + "/capture1.mp4"));
    auto times = received.times();
    for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], timeOf(static_cast<int>(i))) << i;
    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.units[static_cast<std::size_t>(rotationFrame)].first.back()[0] & 0x1F, 5)
        << "the new file starts with an IDR picture";
    EXPECT_EQ(received.params, 1) << "same parameter sets: nothing new announced";
}

TEST_F(FileEncoderTest, CaptureFileNamesCycleOneToFiveAndBack) {
    auto encoder = make();
    ASSERT_TRUE(pumpUntil(*encoder, 2));
    std::vector<std::string> names;
    for (int k = 1; k <= 6; ++k) {
        encoder->setBitrate(300000 + k * 10000);
        const int rotationFrame = submitted();
        submit(*encoder);
        names.push_back(fs::path(encoder->currentPath()).filename());
        // Until the new file's first picture is read, no further rotation can start.
        ASSERT_TRUE(pumpUntil(*encoder, static_cast<std::size_t>(rotationFrame) + 1)) << k;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"capture2.mp4", "capture3.mp4", "capture4.mp4", "capture5.mp4",
                                               "capture1.mp4", "capture2.mp4"}));
    auto times = received.times();
    for (std::size_t i = 0; i < times.size(); ++i) ASSERT_EQ(times[i], timeOf(static_cast<int>(i))) << i;
    std::size_t captureFiles = 0;
    for (auto& entry : fs::directory_iterator(encoder->temporaryDirectory()))
        captureFiles += entry.path().filename().string().rfind("capture", 0) == 0;
    EXPECT_EQ(captureFiles, 1u) << "drained files are deleted";
}

TEST_F(FileEncoderTest, AFrameTheWriterDoesNotTakeLeavesNoTimeBehind) {
    auto encoder = make();
    ASSERT_TRUE(pumpUntil(*encoder, 2));
    const int before = submitted();
    encoder->encodeFrame(VideoSampleBuffer{nullptr, {99999, 1000}, {1, 30}}); // no picture: not taken
    EXPECT_EQ(encoder->droppedFrameCount(), 1u);
    ASSERT_TRUE(pumpUntil(*encoder, static_cast<std::size_t>(before) + 4));
    auto times = received.times();
    for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], timeOf(static_cast<int>(i))) << i;
}

// Frames from ZVH264VideoEncoder, with a condition to wait on.
class FrameRecorder final : public ZVVideoEncodingDelegate {
public:
    void videoEncoder(ZVVideoEncoding*, const std::shared_ptr<ZQVideoFrame>& frame) override {
        std::lock_guard lock(mutex);
        frames.push_back(frame);
        changed.notify_all();
    }
    bool waitFor(const std::function<bool(const std::vector<std::shared_ptr<ZQVideoFrame>>&)>& done, double seconds) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done(frames); });
    }
    std::vector<std::shared_ptr<ZQVideoFrame>> snapshot() {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<ZQVideoFrame>> frames;
};

std::shared_ptr<ZQLiveVideoConfiguration> configuration() {
    auto c = std::make_shared<ZQLiveVideoConfiguration>();
    c->setVideoSize({kWidth, kHeight});
    c->setVideoFrameRate(30);
    c->setVideoBitRate(300000);
    return c;
}

TEST(H264VideoEncoderFileTest, FramesAreSingleBareNalUnitsThatDecode) {
    auto recorder = std::make_shared<FrameRecorder>();
    auto encoder = ZVH264VideoEncoder::create(configuration(), queuedWriters());
    encoder->setDelegate(recorder);
    TestPatternSource pattern(kWidth, kHeight, 30, PixelFormat::NV12);
    std::uint64_t index = 0;
    auto enough = [](const std::vector<std::shared_ptr<ZQVideoFrame>>& f) { return f.size() >= 70; };
    while (!recorder->waitFor(enough, index < 70 ? 0.0 : 0.05) && index < 400) {
        encoder->encodeVideoData(pattern.renderFrame(index), 5000 + index * 33);
        ++index;
    }
    auto frames = recorder->snapshot();
    ASSERT_GE(frames.size(), 70u);
    EXPECT_EQ(encoder->frameCount(), static_cast<std::int64_t>(index));

    zqtest::H264TestDecoder decoder;
    int keyFrames = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& f = frames[i];
        const ZQBytes& nal = f->data();
        ASSERT_GE(nal.size(), 2u);
        EXPECT_FALSE(nal[0] == 0 && nal[1] == 0) << "no start code";
        const int type = nal[0] & 0x1F;
        EXPECT_TRUE(type == 1 || type == 5) << "only slices: no SEI, SPS or PPS in a frame, got " << type;
        EXPECT_EQ(f->isKeyFrame(), type == 5);
        EXPECT_EQ(f->timestamp(), 5000 + i * 33) << i;
        ASSERT_GE(f->sps().size(), 4u);
        EXPECT_EQ(f->sps()[0] & 0x1F, 7);
        EXPECT_EQ(f->sps()[1], 66);
        EXPECT_EQ(f->pps()[0] & 0x1F, 8);
        keyFrames += f->isKeyFrame();
        Bytes picture;
        h264::appendLengthPrefixed(picture, {nal.data(), nal.size()});
        std::vector<std::vector<std::uint8_t>> sets;
        if (f->isKeyFrame()) sets = {Bytes(f->sps().begin(), f->sps().end()), Bytes(f->pps().begin(), f->pps().end())};
        EXPECT_TRUE(decoder.decode(picture, sets)) << "frame " << i;
    }
    decoder.flush();
    EXPECT_EQ(keyFrames, 2) << "a key frame every 60 pictures";
    EXPECT_TRUE(frames[0]->isKeyFrame());
    EXPECT_TRUE(frames[60]->isKeyFrame());
    ASSERT_EQ(decoder.pictures().size(), frames.size());
    EXPECT_TRUE(decoder.pictures()[0].isKeyFrame);
    EXPECT_EQ(decoder.pictures()[0].width, kWidth);
}

TEST(H264VideoEncoderFileTest, NewParameterSetsAfterARotationReachTheFrames) {
    // The second capture file is made at another profile, so its SPS differs from params.mp4's.
    auto factory = queuedWriters([](const std::string& path, MovieFileWriter::Input& input) {
        if (fs::path(path).filename() == "capture2.mp4") input.settings.profileLevel = H264ProfileLevel::MainAutoLevel;
    });
    auto recorder = std::make_shared<FrameRecorder>();
    auto encoder = ZVH264VideoEncoder::create(configuration(), factory);
    encoder->setDelegate(recorder);
    TestPatternSource pattern(kWidth, kHeight, 30, PixelFormat::NV12);
    std::uint64_t index = 0;
    auto pumpUntil = [&](const std::function<bool(const std::vector<std::shared_ptr<ZQVideoFrame>>&)>& done) {
        for (int i = 0; i < 300; ++i) {
            if (recorder->waitFor(done, 0.05)) return true;
            encoder->encodeVideoData(pattern.renderFrame(index), 1000 + index * 33);
            ++index;
        }
        // A loaded machine (or a sanitizer build) may still be finishing the old file.
        return recorder->waitFor(done, kWait);
    };
    ASSERT_TRUE(pumpUntil([](const auto& f) { return f.size() >= 3; }));
    encoder->setVideoBitRate(500000);
    EXPECT_EQ(encoder->videoBitRate(), 500000);
    ASSERT_TRUE(pumpUntil([](const auto& f) { return !f.empty() && f.back()->sps()[1] == 77 && f.size() >= 10; }));

    auto frames = recorder->snapshot();
    std::size_t firstNew = 0;
    while (frames[firstNew]->sps()[1] == 66) ++firstNew;
    EXPECT_TRUE(frames[firstNew]->isKeyFrame()) << "the new sets arrive with the new file's key frame";
    for (std::size_t i = firstNew; i < frames.size(); ++i) EXPECT_EQ(frames[i]->sps()[1], 77) << i;
    EXPECT_EQ(encoder->sps()[1], 77);
    for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i]->timestamp(), frames[i - 1]->timestamp() + 33);
}

} // namespace
