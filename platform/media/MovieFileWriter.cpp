#include "platform/media/MovieFileWriter.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include "ZQPlatform/Console.h"
#include "platform/media/FFmpegH264Encoder.h"
#include "platform/media/FFmpegLog.h"
#include "platform/foundation/DispatchCheck.h"
#include "platform/media/H264NalUnits.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace platform {

namespace {

// A live input is refused once this many pictures wait for the encoder.
constexpr int kRealTimePendingLimit = 3;
constexpr int kQueuedPendingLimit = 4;
constexpr int kIOBufferSize = 64 * 1024;
constexpr AVRational kCodecTimeBase{1, FFmpegH264Encoder::kTimeBase};

int writeAll(void* opaque, std::uint8_t* data, int size) {
    int fd = *static_cast<int*>(opaque);
    int done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, static_cast<std::size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return AVERROR(errno ? errno : EIO);
        done += static_cast<int>(n);
    }
    return size;
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
    int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        off_t here = ::lseek(fd, 0, SEEK_CUR);
        off_t end = ::lseek(fd, 0, SEEK_END);
        ::lseek(fd, here, SEEK_SET);
        return end;
    }
    off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

} // namespace

std::shared_ptr<MovieFileWriter> MovieFileWriter::create(const std::string& path, const Input& input,
                                                         std::string* reason) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (reason) *reason = "cannot create " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::shared_ptr<MovieFileWriter>(new MovieFileWriter(path, input, fd));
}

MovieFileWriter::MovieFileWriter(std::string path, Input input, int fd)
    : mPath(std::move(path)), mInput(std::move(input)), mFd(fd),
      mQueue(DispatchQueue::createSerialThread("com.zqlivekit.moviewriter")) {}

MovieFileWriter::~MovieFileWriter() {
    closeMuxer();
    mEncoder.reset();
    if (mFd >= 0) ::close(mFd);
}

MovieFileWriter::Status MovieFileWriter::status() const {
    std::lock_guard lock(mMutex);
    return mStatus;
}

std::string MovieFileWriter::error() const {
    std::lock_guard lock(mMutex);
    return mError;
}

std::vector<std::uint8_t> MovieFileWriter::codecConfiguration() const {
    std::lock_guard lock(mMutex);
    return mCodecConfiguration;
}

std::string MovieFileWriter::encoderName() const {
    std::lock_guard lock(mMutex);
    return mEncoderName;
}

bool MovieFileWriter::startWriting(MediaTime frameDuration) {
    {
        std::lock_guard lock(mMutex);
        if (mStatus != Status::Unknown || mFinishing) return false;
        mStatus = Status::Writing;
    }
    // Opening a codec takes a while: on the writer's queue, not on the caller's capture thread.
    mQueue->async([self = shared_from_this(), frameDuration] {
        if (self->open(frameDuration)) return;
        self->closeMuxer();
    });
    return true;
}

bool MovieFileWriter::open(MediaTime frameDuration) {
    ZQ_DCHECK_ON(mQueue);
    ffmpeg::routeLogToConsole();
    H264EncoderSettings settings = mInput.settings;
    if (settings.expectedFrameRate <= 0 && frameDuration.isValid() && frameDuration.value > 0)
        settings.expectedFrameRate = 1.0 / frameDuration.seconds();
    auto encoder = FFmpegH264Encoder::openPreferred(mInput.width, mInput.height, settings);
    if (!encoder) {
        fail("no H.264 encoder opens for " + std::to_string(mInput.width) + "x" + std::to_string(mInput.height));
        return false;
    }
    const auto& sets = encoder->parameterSets();
    std::vector<std::uint8_t> avcC =
        sets.size() >= 2 ? h264::avcConfigurationRecord(sets[0], sets[1]) : std::vector<std::uint8_t>{};
    if (avcC.empty()) {
        fail(encoder->name() + " gives no parameter sets before its first picture");
        return false;
    }

    AVFormatContext* muxer = nullptr;
    if (avformat_alloc_output_context2(&muxer, nullptr, "mp4", nullptr) < 0 || !muxer) {
        fail("no mp4 muxer");
        return false;
    }
    mMuxer = muxer;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIOBufferSize));
    mIO = buffer ? avio_alloc_context(buffer, kIOBufferSize, 1, &mFd, nullptr, writeAll, seekTo) : nullptr;
    if (!mIO) {
        av_free(buffer);
        fail("out of memory");
        return false;
    }
    muxer->pb = mIO;
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
    // Every picture reaches the file as soon as it is muxed: a reader tails it.
    muxer->flush_packets = 1;
    AVStream* stream = avformat_new_stream(muxer, nullptr);
    if (!stream) {
        fail("out of memory");
        return false;
    }
    stream->time_base = kCodecTimeBase;
    AVCodecParameters* par = stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = encoder->width();
    par->height = encoder->height();
    // An avcC record (first byte 1): the muxer stores the length-prefixed pictures as they are.
    par->extradata = static_cast<std::uint8_t*>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) {
        fail("out of memory");
        return false;
    }
    std::memcpy(par->extradata, avcC.data(), avcC.size());
    par->extradata_size = static_cast<int>(avcC.size());
    {
        // Known before the header reaches the file: a reader that finds the media data atom asks
        // for the configuration at once.
        std::lock_guard lock(mMutex);
        mEncoderName = encoder->name();
        mCodecConfiguration = avcC;
    }
    if (int ret = avformat_write_header(muxer, nullptr); ret < 0) {
        fail("the mp4 header cannot be written to " + mPath);
        return false;
    }
    avio_flush(mIO);
    if (mIO->error < 0) {
        fail("cannot write " + mPath);
        return false;
    }
    if (settings.expectedFrameRate > 0)
        mFrameDuration = static_cast<std::int64_t>(FFmpegH264Encoder::kTimeBase / settings.expectedFrameRate);

    mEncoder = std::move(encoder);
    std::lock_guard lock(mMutex);
    mOpen = true;
    return true;
}

void MovieFileWriter::startSessionAtSourceTime(MediaTime time) {
    std::lock_guard lock(mMutex);
    if (mHasSessionStart || !time.isValid()) return;
    mHasSessionStart = true;
    mSessionStart = time;
}

bool MovieFileWriter::isReadyForMoreMediaData() const {
    std::lock_guard lock(mMutex);
    // While the codec opens, pictures wait for it: only an encoder that falls behind refuses them.
    return mStatus == Status::Writing && !mFinishing &&
           (!mInput.expectsMediaDataInRealTime || !mOpen || mPending < kRealTimePendingLimit);
}

bool MovieFileWriter::appendSampleBuffer(const VideoSampleBuffer& sample) {
    if (!sample.pixelBuffer || !sample.presentationTime.isValid()) return false;
    {
        std::unique_lock lock(mMutex);
        if (mInput.expectsMediaDataInRealTime) {
            if (mOpen && mPending >= kRealTimePendingLimit) return false;
        } else {
            mRoom.wait(lock, [&] { return mPending < kQueuedPendingLimit || mStatus != Status::Writing || mFinishing; });
        }
        if (mStatus != Status::Writing || mFinishing) return false;
        if (!mHasSessionStart) {
            mHasSessionStart = true;
            mSessionStart = sample.presentationTime;
        }
        ++mPending;
    }
    mQueue->async([self = shared_from_this(), sample] {
        self->encode(sample);
        std::lock_guard lock(self->mMutex);
        --self->mPending;
        self->mRoom.notify_all();
    });
    return true;
}

void MovieFileWriter::encode(const VideoSampleBuffer& sample) {
    ZQ_DCHECK_ON(mQueue);
    MediaTime start;
    {
        std::lock_guard lock(mMutex);
        if (mStatus != Status::Writing || !mEncoder) return;
        start = mSessionStart;
    }
    std::int64_t pts = av_rescale(sample.presentationTime.value, FFmpegH264Encoder::kTimeBase,
                                  sample.presentationTime.timescale) -
                       av_rescale(start.value, FFmpegH264Encoder::kTimeBase, start.timescale);
    // The codec and the muxer need rising times; equal or earlier ones move just past the last.
    if (pts <= mLastPts) pts = mLastPts + 1;
    mLastPts = pts;
    if (sample.duration.isValid() && sample.duration.value > 0)
        mFrameDuration = av_rescale(sample.duration.value, FFmpegH264Encoder::kTimeBase, sample.duration.timescale);

    bool written = true;
    MediaStatus status = mEncoder->encode(sample.pixelBuffer, pts, false, [&](FFmpegH264Encoder::Picture&& picture) {
        if (written) written = writePicture(picture.nalUnits, picture.pts, picture.isKeyFrame);
    });
    if (status != MediaStatus::Ok) fail("the encoder refused a picture");
    else if (!written) fail("cannot write " + mPath);
}

bool MovieFileWriter::writePicture(const std::vector<ZQBytes>& nalUnits, std::int64_t pts, bool keyFrame) {
    ZQ_DCHECK_ON(mQueue);
    // The file's media data holds each unit behind its 4-byte length, as the avcC record says.
    std::vector<std::uint8_t> data;
    for (const auto& nal : nalUnits) h264::appendLengthPrefixed(data, {nal.data(), nal.size()});
    if (data.empty()) return true;
    if (data.size() > INT_MAX) return false;
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, static_cast<int>(data.size())) < 0) {
        av_packet_free(&packet);
        return false;
    }
    std::memcpy(packet->data, data.data(), data.size());
    packet->pts = pts;
    packet->dts = pts; // no frame reordering
    packet->duration = mFrameDuration;
    if (keyFrame) packet->flags |= AV_PKT_FLAG_KEY;
    packet->stream_index = 0;
    av_packet_rescale_ts(packet, kCodecTimeBase, mMuxer->streams[0]->time_base);
    int ret = av_write_frame(mMuxer, packet);
    av_packet_free(&packet);
    if (ret < 0) return false;
    avio_flush(mIO);
    return mIO->error >= 0;
}

void MovieFileWriter::finishWriting(Task completion) {
    bool writing;
    {
        std::lock_guard lock(mMutex);
        writing = mStatus == Status::Writing && !mFinishing;
        mFinishing = true;
    }
    mRoom.notify_all();
    mQueue->async([self = shared_from_this(), writing, completion = std::move(completion)] {
        if (writing) self->finish();
        if (completion) completion();
    });
}

void MovieFileWriter::finish() {
    ZQ_DCHECK_ON(mQueue);
    bool written = true;
    if (status() == Status::Writing) {
        MediaStatus drained = mEncoder->drain([&](FFmpegH264Encoder::Picture&& picture) {
            if (written) written = writePicture(picture.nalUnits, picture.pts, picture.isKeyFrame);
        });
        if (drained != MediaStatus::Ok || !written) {
            fail("cannot finish " + mPath);
            closeMuxer();
            return;
        }
    }
    if (status() != Status::Writing) {
        closeMuxer();
        return;
    }
    const bool trailerWritten = av_write_trailer(mMuxer) >= 0 && mIO->error >= 0;
    closeMuxer();
    if (!trailerWritten) {
        fail("cannot finish " + mPath);
        return;
    }
    std::lock_guard lock(mMutex);
    mStatus = Status::Completed;
}

void MovieFileWriter::fail(const std::string& why) {
    ZQ_DCHECK_ON(mQueue);
    {
        std::lock_guard lock(mMutex);
        if (mStatus == Status::Failed) return;
        mStatus = Status::Failed;
        mError = why;
    }
    mRoom.notify_all();
    Console::log("Movie writer " + mPath + ": " + why);
}

void MovieFileWriter::closeMuxer() {
    if (mIO) {
        avio_flush(mIO);
        av_freep(&mIO->buffer);
        avio_context_free(&mIO);
    }
    if (mMuxer) {
        mMuxer->pb = nullptr;
        avformat_free_context(mMuxer);
        mMuxer = nullptr;
    }
}

} // namespace platform
