#include "encoder/ZVAVEncoder.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <utility>
#include "ZQPlatform/Console.h"
#include "encoder/ZVMP4Atom.h"
#include "encoder/ZVNALUnit.h"
#include "platform/foundation/DispatchCheck.h"

using namespace platform;

namespace {

constexpr std::uint32_t kMdat = ZVMP4Atom::fourcc("mdat");
// Bytes read from the file at a time; a longer unit is read whole on its own.
constexpr std::uint64_t kReadChunk = 1 << 20;
// How long shutdown waits for the writers to finish their files.
constexpr double kShutdownWaitSeconds = 5;

std::uint64_t bigEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

bool sameParameterSets(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    ZVavcCHeader first(a), second(b);
    return first.isValid() && second.isValid() && first.sps().front() == second.sps().front() &&
           first.pps().front() == second.pps().front() && first.lengthSize() == second.lengthSize();
}

} // namespace

std::string ZVAVEncoder::captureFileName(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "capture%d.mp4", number);
    return name;
}

std::shared_ptr<ZVAVEncoder> ZVAVEncoder::encoderForHeight(int height, int width, std::int64_t bitrate,
                                                           WriterFactory writerFactory) {
    if (!writerFactory) {
        writerFactory = [](const std::string& path, int h, int w, std::int64_t rate) {
            return ZVVideoEncoder::encoderForPath(path, h, w, rate);
        };
    }
    auto directory = TemporaryDirectory::create("zqlivekit-h264");
    if (!directory) return nullptr;
    std::shared_ptr<ZVAVEncoder> encoder(new ZVAVEncoder(directory, height, width, bitrate, writerFactory));
    encoder->mHeaderWriter = writerFactory(directory->file(kParamsFileName), height, width, bitrate);
    encoder->mWriter = writerFactory(directory->file(captureFileName(1)), height, width, bitrate);
    if (!encoder->mHeaderWriter || !encoder->mWriter) return nullptr;
    return encoder;
}

ZVAVEncoder::ZVAVEncoder(std::shared_ptr<TemporaryDirectory> directory, int height, int width, std::int64_t bitrate,
                         WriterFactory writerFactory)
    : mDirectory(std::move(directory)), mHeight(height), mWidth(width), mWriterFactory(std::move(writerFactory)),
      mBitrate(bitrate), mAssembler([this](std::vector<ZQBytes>&& unit) { encodedFrame(std::move(unit)); }),
      mReadQueue(DispatchQueue::createSerialThread("com.zqlivekit.h264file.read")) {}

ZVAVEncoder::~ZVAVEncoder() { shutdown(); }

void ZVAVEncoder::encodeWithBlock(OutputBlock block, ParamsBlock onParams) {
    {
        std::lock_guard lock(mBlockMutex);
        mOutputBlock = std::move(block);
        mParamsBlock = std::move(onParams);
    }
    std::lock_guard lock(mMutex);
    mNeedParams = mAvcC.empty();
}

std::vector<std::uint8_t> ZVAVEncoder::getConfigData() const {
    std::lock_guard lock(mMutex);
    return mAvcC;
}

std::int64_t ZVAVEncoder::bitrate() const {
    std::lock_guard lock(mMutex);
    return mBitrate;
}

void ZVAVEncoder::setBitrate(std::int64_t bitrate) {
    std::lock_guard lock(mMutex);
    if (bitrate == mBitrate) return;
    mBitrate = bitrate;
    mBitrateChanged = true;
}

int ZVAVEncoder::currentFile() const {
    std::lock_guard lock(mMutex);
    return mCurrentFile;
}

std::string ZVAVEncoder::currentPath() const {
    std::lock_guard lock(mMutex);
    return mWriter ? mWriter->path() : std::string();
}

bool ZVAVEncoder::isSwapping() const {
    std::lock_guard lock(mMutex);
    return mSwapping;
}

bool ZVAVEncoder::isReading() const {
    std::lock_guard lock(mMutex);
    return mReadSource != nullptr;
}

std::uint64_t ZVAVEncoder::droppedFrameCount() const {
    std::lock_guard lock(mMutex);
    return mFramesDropped;
}

std::size_t ZVAVEncoder::pendingTimeCount() const {
    std::lock_guard lock(mTimesMutex);
    return mTimes.size();
}

// MARK: - Submitting

void ZVAVEncoder::encodeFrame(const VideoSampleBuffer& sample) {
    std::lock_guard lock(mMutex);
    // Without a codec configuration nothing is ever read: writing on would only fill the disk.
    if (mShutDown || mFailed) return;

    if (mNeedParams && mHeaderWriter) {
        if (mHeaderWriter->encodeFrame(sample)) {
            mNeedParams = false;
            mFinishing->enter();
            // The completion holds the queue, not the encoder: the encoder is never released on a
            // writer's thread.
            mHeaderWriter->finishWithCompletionHandler([weak = weak_from_this(), queue = mReadQueue, group = mFinishing] {
                queue->async([weak] {
                    if (auto self = weak.lock()) self->paramsWritten();
                });
                group->leave();
            });
        } else if (mHeaderWriter->status() == MovieFileWriter::Status::Failed) {
            mFailed = true;
            Console::log("File-based encoder: params.mp4 cannot be written; no frame will be delivered");
            return;
        }
    }

    const std::uint64_t sequence = mNextSequence++;
    {
        std::lock_guard times(mTimesMutex);
        mTimes.push_back({sequence, sample.presentationTime.value});
    }
    rotateIfDue();
    ++mFramesSubmitted;
    if (mWriter && mWriter->encodeFrame(sample)) return;
    ++mFramesDropped;
    // Not taken: its time must not stay queued, or every later picture would take an earlier
    // frame's time.
    std::lock_guard times(mTimesMutex);
    auto it = std::find_if(mTimes.rbegin(), mTimes.rend(), [&](const QueuedTime& t) { return t.sequence == sequence; });
    if (it != mTimes.rend()) mTimes.erase(std::next(it).base());
}

void ZVAVEncoder::rotateIfDue() {
    // Rotations wait for reading to start: only a file being read can be drained before deletion.
    if (mSwapping || !mReadSource || !mWriter) return;
    const bool tooLarge = fileSizeAtPath(mWriter->path()).value_or(0) > kMaxFileSize;
    if (!tooLarge && !mBitrateChanged) return;

    const int next = mCurrentFile % kFileCount + 1;
    auto newWriter = mWriterFactory(filePath(captureFileName(next)), mHeight, mWidth, mBitrate);
    if (!newWriter) {
        // Stay with the current file; the next frame tries again.
        if (!mRotationFailureLogged) Console::log("File-based encoder: cannot start " + captureFileName(next));
        mRotationFailureLogged = true;
        return;
    }
    mRotationFailureLogged = false;
    mBitrateChanged = false;
    mSwapping = true;
    mCurrentFile = next;
    std::shared_ptr<ZVVideoEncoder> oldWriter = std::exchange(mWriter, newWriter);
    std::exchange(mReadSource, nullptr)->cancel();
    mFinishing->enter();
    // Finished from the read queue, so that no read of the growing file is under way when the writer
    // appends its movie atom.
    mReadQueue->async([weak = weak_from_this(), queue = mReadQueue, oldWriter, newWriter, group = mFinishing] {
        oldWriter->finishWithCompletionHandler([weak, queue, oldPath = oldWriter->path(), newWriter, group] {
            queue->async([weak, oldPath, newWriter] {
                if (auto self = weak.lock()) self->swapFiles(oldPath, newWriter);
            });
            group->leave();
        });
    });
}

// MARK: - Reading

std::shared_ptr<FileReadSource> ZVAVEncoder::makeReadSource() {
    return FileReadSource::create(mInputFile, mReadQueue, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->fileUpdate();
    });
}

void ZVAVEncoder::paramsWritten() {
    ZQ_DCHECK_ON(mReadQueue);
    std::optional<std::vector<std::uint8_t>> record = ZVReadAvcCRecord(FileHandle::openForReading(filePath(kParamsFileName)));
    std::shared_ptr<ZVVideoEncoder> writer;
    {
        std::lock_guard lock(mMutex);
        if (mShutDown) return;
        if (!record) {
            mFailed = true;
            Console::log("File-based encoder: params.mp4 holds no usable avcC; no frame will be delivered");
            return;
        }
        mAvcC = *record;
    }
    ParamsBlock onParams;
    {
        std::lock_guard lock(mBlockMutex);
        onParams = mParamsBlock;
    }
    if (onParams) onParams();
    {
        std::lock_guard lock(mMutex);
        mHeaderWriter.reset();
        mSwapping = false;
        writer = mWriter;
    }
    startReading(writer, false);
}

void ZVAVEncoder::startReading(const std::shared_ptr<ZVVideoEncoder>& writer, bool checkParams) {
    ZQ_DCHECK_ON(mReadQueue);
    mInputFile = writer ? FileHandle::openForReading(writer->path()) : nullptr;
    mInputWriter = writer;
    mReadPosition = 0;
    mFoundMDAT = false;
    mPosMDAT = 0;
    mBytesToNextAtom = 0;
    mReadStopped = false;
    mCheckParams = checkParams;
    mAssembler.setLengthSize(ZVavcCHeader(getConfigData()).lengthSize());
    auto source = mInputFile ? makeReadSource() : nullptr;
    std::lock_guard lock(mMutex);
    if (!source) {
        // Nothing can be read: stop writing rather than fill the disk.
        if (!mShutDown) Console::log("File-based encoder: cannot read " + (writer ? writer->path() : std::string("?")));
        mFailed = true;
        return;
    }
    if (mShutDown) return;
    mReadSource = source;
    mSwapping = false;
    source->resume();
}

void ZVAVEncoder::stopReading(const std::string& why) {
    ZQ_DCHECK_ON(mReadQueue);
    if (!mReadStopped) Console::log("File-based encoder: " + why + " in " + (mInputWriter ? mInputWriter->path() : ""));
    mReadStopped = true;
}

void ZVAVEncoder::fileUpdate() {
    ZQ_DCHECK_ON(mReadQueue);
    if (!mInputFile || mReadStopped) return;
    const std::uint64_t size = mInputFile->size().value_or(0);
    std::uint64_t available = size > mReadPosition ? size - mReadPosition : 0;
    if (!seekMediaData(available)) return;
    readAndDeliver(available);
}

bool ZVAVEncoder::seekMediaData(std::uint64_t& available) {
    ZQ_DCHECK_ON(mReadQueue);
    while (!mFoundMDAT) {
        if (mBytesToNextAtom > 0) {
            const std::uint64_t skip = std::min(mBytesToNextAtom, available);
            mReadPosition += skip;
            available -= skip;
            mBytesToNextAtom -= skip;
            if (mBytesToNextAtom > 0) return false;
        }
        if (available < 8) return false;
        std::uint8_t header[16];
        if (mInputFile->readAt(mReadPosition, {header, 8}) < 8) return false;
        std::uint64_t atomSize = bigEndian(header, 4);
        const auto type = static_cast<std::uint32_t>(bigEndian(header + 4, 4));
        std::uint64_t headerSize = 8;
        if (atomSize == 1) {
            if (available < 16 || mInputFile->readAt(mReadPosition + 8, {header + 8, 8}) < 8) return false;
            atomSize = bigEndian(header + 8, 8);
            headerSize = 16;
        }
        if (type == kMdat) {
            mFoundMDAT = true;
            mPosMDAT = mReadPosition;
        } else if (atomSize < headerSize) {
            // Size 0 (to the end of the file) or a size below its header: no media data can follow.
            stopReading("an atom before the media data cannot be skipped");
            return false;
        } else {
            mBytesToNextAtom = atomSize - headerSize;
        }
        mReadPosition += headerSize;
        available -= headerSize;
        // A rotated file's writer has opened its codec by the time its media data begins.
        if (mFoundMDAT && mCheckParams) checkParameterSets();
    }
    return true;
}

void ZVAVEncoder::readAndDeliver(std::uint64_t count) {
    ZQ_DCHECK_ON(mReadQueue);
    const auto lengthSize = static_cast<std::uint64_t>(mAssembler.lengthSize());
    while (count > lengthSize && !mReadStopped) {
        std::size_t want = static_cast<std::size_t>(std::min(count, kReadChunk));
        mReadBuffer.resize(want);
        std::size_t got = mInputFile->readAt(mReadPosition, {mReadBuffer.data(), want});
        auto used = mAssembler.consume({mReadBuffer.data(), got});
        if (used.corrupt) return stopReading("a NAL length beyond any picture");
        if (used.bytes == 0) {
            if (got < want || got == count || got <= lengthSize) return; // the unit is not complete yet
            // A unit longer than one chunk: read it whole.
            std::uint64_t length = bigEndian(mReadBuffer.data(), static_cast<int>(lengthSize));
            const std::uint64_t needed = lengthSize + length;
            if (needed > count) return;
            mReadBuffer.resize(static_cast<std::size_t>(needed));
            got = mInputFile->readAt(mReadPosition, {mReadBuffer.data(), mReadBuffer.size()});
            used = mAssembler.consume({mReadBuffer.data(), got});
            if (used.bytes == 0) return;
        }
        mReadPosition += used.bytes;
        count -= used.bytes;
    }
}

void ZVAVEncoder::checkParameterSets() {
    ZQ_DCHECK_ON(mReadQueue);
    mCheckParams = false;
    // The file has its media data atom, so its writer has opened its codec.
    std::vector<std::uint8_t> fileConfig = mInputWriter ? mInputWriter->configData() : std::vector<std::uint8_t>{};
    ZVavcCHeader header(fileConfig);
    if (!header.isValid()) return;
    {
        std::lock_guard lock(mMutex);
        if (sameParameterSets(fileConfig, mAvcC)) return;
        mAvcC = fileConfig;
    }
    Console::log("File-based encoder: new parameter sets in " + mInputWriter->path());
    mAssembler.setLengthSize(header.lengthSize());
    ParamsBlock onParams;
    {
        std::lock_guard lock(mBlockMutex);
        onParams = mParamsBlock;
    }
    if (onParams) onParams();
}

void ZVAVEncoder::swapFiles(const std::string& oldPath, const std::shared_ptr<ZVVideoEncoder>& newWriter) {
    ZQ_DCHECK_ON(mReadQueue);
    // Whatever the reader had not reached yet: up to the end of the old file's media data.
    if (mInputFile && !mReadStopped) {
        const std::uint64_t fileSize = mInputFile->size().value_or(0);
        std::uint64_t available = fileSize > mReadPosition ? fileSize - mReadPosition : 0;
        std::uint8_t sizeField[4];
        if (seekMediaData(available) && mInputFile->readAt(mPosMDAT, {sizeField, 4}) == 4) {
            const std::uint64_t mdatSize = bigEndian(sizeField, 4);
            // Size 0: the writer never finished the file; its media data runs to the end.
            std::uint64_t end = mdatSize == 0 ? fileSize : (mdatSize >= 8 ? mPosMDAT + mdatSize : mReadPosition);
            end = std::min(end, fileSize);
            if (end > mReadPosition) readAndDeliver(end - mReadPosition);
        }
    }
    // The old file ended on a picture boundary: its last picture is whole.
    mAssembler.flush();
    mInputFile.reset();
    ::unlink(oldPath.c_str());
    {
        std::lock_guard lock(mMutex);
        if (mShutDown) return;
    }
    startReading(newWriter, true);
}

void ZVAVEncoder::encodedFrame(std::vector<ZQBytes>&& nalUnits) {
    ZQ_DCHECK_ON(mReadQueue);
    std::int64_t value = 0;
    {
        std::lock_guard lock(mTimesMutex);
        if (!mTimes.empty()) {
            value = mTimes.front().value;
            mTimes.pop_front();
        }
    }
    OutputBlock output;
    {
        std::lock_guard lock(mBlockMutex);
        output = mOutputBlock;
    }
    if (output) output(std::move(nalUnits), value);
}

// MARK: - Shutdown

void ZVAVEncoder::shutdown() {
    std::shared_ptr<FileReadSource> source;
    std::vector<std::shared_ptr<ZVVideoEncoder>> writers;
    {
        std::lock_guard lock(mMutex);
        if (mShutDown) return;
        mShutDown = true;
        if (mFramesDropped > 0)
            Console::logf("File-based encoder: %llu of %llu frames dropped (the encoder was behind)",
                          static_cast<unsigned long long>(mFramesDropped), static_cast<unsigned long long>(mFramesSubmitted));
        source = std::move(mReadSource);
        writers = {std::move(mHeaderWriter), std::move(mWriter)};
    }
    if (source) source->cancel();
    // A read already under way ends before the writers append their movie atoms.
    if (!mReadQueue->isCurrent()) mReadQueue->sync([] {});
    for (auto& writer : writers) {
        if (!writer) continue;
        mFinishing->enter();
        writer->finishWithCompletionHandler([writer, group = mFinishing]() mutable {
            writer.reset();
            group->leave();
        });
    }
    if (!mReadQueue->isCurrent() && !mFinishing->waitFor(kShutdownWaitSeconds))
        Console::log("File-based encoder: writers still finishing at shutdown");
}
