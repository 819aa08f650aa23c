#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Geometry.h"
#include "imaging/EGLSetup.h"
#include "imaging/GLES.h"

class ZVGLProgram;
class ZVImageFramebufferCache;

// The one OpenGL ES 2 context of the imaging pipeline and the video-processing queue that owns it.
// Every GL call of the kit runs on that queue; the queue is a real thread of its own. The context is
// made through EGL on first use (see EGLSetup.h for how the display is chosen); when EGL cannot be
// had the reason is written to the console once, isAvailable() answers false and every GL call
// becomes a no-op, so nothing crashes.
class ZVImageContext {
public:
    // sharedImageProcessingContext: made once, lives for the process.
    static ZVImageContext& sharedImageProcessingContext();
    static std::shared_ptr<platform::DispatchQueue> sharedContextQueue();
    static ZVImageFramebufferCache& sharedFramebufferCache();
    // The queue-specific key of the video-processing queue (its value is the context).
    static const void* contextKey();

    // Makes the shared context current when it is not. Video-processing queue.
    static void useImageProcessingContext();
    // Makes the context current and the program the active one when it is not. Video-processing queue.
    static void setActiveShaderProgram(const std::shared_ptr<ZVGLProgram>& program);
    static bool supportsFastTextureUpload() { return true; }
    // Device limits, each read from GL once and kept. Any thread (0 without a context).
    static int maximumTextureSizeForThisDevice();
    static int maximumTextureUnitsForThisDevice();
    static int maximumVaryingVectorsForThisDevice();
    static bool deviceSupportsOpenGLESExtension(const std::string& extension);
    static bool deviceSupportsRedTextures();
    static bool deviceSupportsFramebufferReads();
    // The size scaled down, keeping its shape, so that neither side exceeds the maximum texture size.
    static platform::Size sizeThatFitsWithinATextureForSize(platform::Size size);

    // How pictures can be read back and uploaded on this context. Video-processing queue.
    struct TransferCapabilities {
        bool readsBGRA = false;       // glReadPixels takes GL_BGRA_EXT
        bool packRowLength = false;   // GL_PACK_ROW_LENGTH
        bool unpackRowLength = false; // GL_UNPACK_ROW_LENGTH
    };
    static const TransferCapabilities& readbackCapabilities();
    // Uploads rows of `bytesPerPixel` bytes a pixel (any row stride) into the bound 2D texture,
    // allocating its storage when `allocate`, else replacing its contents. Video-processing queue.
    static void uploadRows(GLenum format, int bytesPerPixel, int width, int height, const std::uint8_t* data,
                           std::size_t bytesPerRow, bool allocate);

    // Makes this context current on the calling thread (the video-processing queue).
    void useAsCurrentContext();
    // There is no window: a "presented" picture stays in the view's own framebuffer.
    void presentBufferForDisplay() {}
    // The program for the two sources, made and cached on first request; never evicted.
    // Video-processing queue.
    std::shared_ptr<ZVGLProgram> programForVertexShaderString(const std::string& vertexShader,
                                                              const std::string& fragmentShader);
    // The cached program for the two sources, linked with the attributes bound in order when it is
    // new; a link failure writes the program, fragment-shader and vertex-shader logs to the console.
    // Video-processing queue.
    std::shared_ptr<ZVGLProgram> linkedProgram(const std::string& vertexShader, const std::string& fragmentShader,
                                               const std::vector<std::string>& attributes);
    // Another EGL context to share objects with; only before the context is made. Any thread.
    void useSharegroup(EGLContext sharegroup);

    // Whether a context exists or can be made (it is made on the first call). Any thread; the
    // caller must not be waiting for the video-processing queue in a way that the queue waits for.
    bool isAvailable();
    // Why the context could not be made ("" while it could). Any thread.
    std::string unavailableReason();
    // Whether pictures are drawn by the CPU (Mesa's llvmpipe or softpipe). Any thread.
    bool rendersOnCPU();
    // Renderer and platform, e.g. "llvmpipe (LLVM 15.0.6, 256 bits) on the surfaceless platform".
    std::string rendererDescription();

    const std::shared_ptr<platform::DispatchQueue>& contextQueue() const { return mContextQueue; }
    ZVImageFramebufferCache& framebufferCache();
    std::shared_ptr<ZVGLProgram> currentShaderProgram() const { return mCurrentShaderProgram; }
    // The number of programs in the cache (tests).
    std::size_t programCount();

private:
    ZVImageContext();
    // Makes the EGL context once; on the video-processing queue.
    bool ensureContext();
    struct Limits {
        int maxTextureSize = 0;
        int maxTextureUnits = 0;
        int maxVaryingVectors = 0;
        std::string extensions;
        TransferCapabilities transfer;
        bool softwareRenderer = false;
    };
    const Limits& limits();

    std::shared_ptr<platform::DispatchQueue> mContextQueue;
    std::unique_ptr<ZVImageFramebufferCache> mFramebufferCache;

    // Owned by the video-processing queue.
    std::map<std::string, std::shared_ptr<ZVGLProgram>> mShaderProgramCache;
    std::shared_ptr<ZVGLProgram> mCurrentShaderProgram;
    zvgl::EGLSetup mEGL;
    EGLContext mSharegroup = EGL_NO_CONTEXT;

    std::mutex mStateMutex; // guards the three below
    bool mContextTried = false;
    bool mContextMade = false;
    std::string mUnavailableReason;
    std::once_flag mLimitsOnce;
    Limits mLimits;
};

// Runs the block on the video-processing queue and waits, or at once when already on it.
void runSynchronouslyOnVideoProcessingQueue(const platform::Task& block);
// Runs the block on the video-processing queue without waiting, or at once when already on it.
void runAsynchronouslyOnVideoProcessingQueue(platform::Task block);
void runSynchronouslyOnContextQueue(ZVImageContext& context, const platform::Task& block);
void runAsynchronouslyOnContextQueue(ZVImageContext& context, platform::Task block);
// On the main thread at once, otherwise synchronously on the main queue. Never called from the
// video-processing queue: the main queue waits on that queue for graph changes.
void runOnMainQueueWithoutDeadlocking(const platform::Task& block);
// Writes "<tag> - Memory used: <resident bytes>" (or "<tag> - Error: <reason>") to the console.
void reportAvailableMemoryForZVImage(const char* tag);
// The priority the video-processing queue is made with: high from OS version 9.0 on.
platform::DispatchQueue::Priority ZVImageDefaultQueueAttribute();
