#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace platform {

// Decodes single compressed pictures (JPEG, PNG) with libavcodec's image decoders, keeping one
// decoder across pictures (a camera's MJPEG stream decodes one JPEG a frame). One thread at a time.
class StillImageDecoder {
public:
    enum class Codec { Jpeg, Png };

    explicit StillImageDecoder(Codec codec);
    ~StillImageDecoder();
    StillImageDecoder(const StillImageDecoder&) = delete;
    StillImageDecoder& operator=(const StillImageDecoder&) = delete;

    // The decoded picture, valid until the next call; null with a reason for bytes that do not
    // decode or a picture above the size limit.
    const AVFrame* decode(std::span<const std::uint8_t> bytes, std::string* error);

    // Largest picture accepted, in pixels (a bad header cannot make us allocate gigabytes).
    static constexpr std::int64_t kMaxPixels = 8192LL * 8192;

private:
    bool ensureOpen(std::string* error);

    const Codec mCodec;
    AVCodecContext* mContext = nullptr;
    AVFrame* mFrame = nullptr;
    AVPacket* mPacket = nullptr;
};

// A PNG or JPEG image (told apart by its signature) as BGRA, alpha kept (opaque for JPEG and for PNG
// without alpha); null with a one-line reason for anything else, a corrupt or truncated image.
std::shared_ptr<PixelBuffer> decodeImage(std::span<const std::uint8_t> bytes, std::string* error);
// The same for a file; a missing or unreadable file fails with its reason.
std::shared_ptr<PixelBuffer> decodeImageFile(const std::string& path, std::string* error);

// A BGRA picture as PNG bytes (RGBA, alpha kept). False with a reason for a picture that is not BGRA.
bool encodePng(const PixelBuffer& bgra, std::vector<std::uint8_t>* png, std::string* error);
// Writes a BGRA picture as a PNG file, whole or not at all (written beside it, then renamed).
bool writePngFile(const PixelBuffer& bgra, const std::string& path, std::string* error);

} // namespace platform
