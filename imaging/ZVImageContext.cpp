#include "imaging/ZVImageContext.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/SystemInfo.h"
#include "imaging/ZVGLProgram.h"
#include "imaging/ZVImageFramebufferCache.h"
#include "platform/foundation/DispatchCheck.h"

using namespace zvgl;

namespace {

bool listHas(const std::string& list, const std::string& name) {
    std::size_t at = 0;
    while ((at = list.find(name, at)) != std::string::npos) {
        bool startOk = at == 0 || list[at - 1] == ' ';
        bool endOk = at + name.size() == list.size() || list[at + name.size()] == ' ';
        if (startOk && endOk) return true;
        at += name.size();
    }
    return false;
}

} // namespace

ZVImageContext::ZVImageContext()
    : mContextQueue(platform::DispatchQueue::createSerialThread("com.zqlivekit.imaging.video-processing")) {}

ZVImageContext& ZVImageContext::sharedImageProcessingContext() {
    // Lives for the process: framebuffers and programs may be released from any thread until exit.
    static auto* context = new ZVImageContext();
    return *context;
}

std::shared_ptr<platform::DispatchQueue> ZVImageContext::sharedContextQueue() {
    return sharedImageProcessingContext().mContextQueue;
}

ZVImageFramebufferCache& ZVImageContext::sharedFramebufferCache() {
    return sharedImageProcessingContext().framebufferCache();
}

ZVImageFramebufferCache& ZVImageContext::framebufferCache() {
    static std::once_flag once;
    std::call_once(once, [this] { mFramebufferCache = std::make_unique<ZVImageFramebufferCache>(); });
    return *mFramebufferCache;
}

const void* ZVImageContext::contextKey() {
    static const char key = 0;
    return &key;
}

bool ZVImageContext::ensureContext() {
    ZQ_DCHECK_ON(mContextQueue);
    {
        std::lock_guard lock(mStateMutex);
        if (mContextTried) return mContextMade;
        mContextTried = true;
    }
    std::string error;
    bool made = zvgl::load(&error);
    if (made) {
        const char* selection = std::getenv("ZQLIVEKIT_EGL");
        made = zvgl::createContext(selection ? selection : "", mSharegroup, &mEGL, &error);
    }
    if (made) {
        glDisable(GL_DEPTH_TEST);
        GLint value = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &value);
        mLimits.maxTextureSize = value;
        glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &value);
        mLimits.maxTextureUnits = value;
        glGetIntegerv(GL_MAX_VARYING_VECTORS, &value);
        mLimits.maxVaryingVectors = value;
        const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
        const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
        mLimits.extensions = extensions ? extensions : "";
        bool es3 = version && std::strncmp(version, "OpenGL ES 3", 11) == 0;
        mLimits.transfer.readsBGRA = listHas(mLimits.extensions, "GL_EXT_read_format_bgra");
        mLimits.transfer.packRowLength = es3 || listHas(mLimits.extensions, "GL_NV_pack_subimage");
        mLimits.transfer.unpackRowLength = es3 || listHas(mLimits.extensions, "GL_EXT_unpack_subimage");
        const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        mLimits.softwareRenderer =
            renderer && (std::strstr(renderer, "llvmpipe") || std::strstr(renderer, "softpipe"));
    } else {
        platform::Console::log("ZVImageContext: no OpenGL ES context, the imaging pipeline is off: " + error);
    }
    std::lock_guard lock(mStateMutex);
    mContextMade = made;
    mUnavailableReason = made ? "" : error;
    return made;
}

bool ZVImageContext::isAvailable() {
    bool made = false;
    runSynchronouslyOnContextQueue(*this, [&] { made = ensureContext(); });
    return made;
}

std::string ZVImageContext::unavailableReason() {
    isAvailable();
    std::lock_guard lock(mStateMutex);
    return mUnavailableReason;
}

std::string ZVImageContext::rendererDescription() {
    std::string description;
    runSynchronouslyOnContextQueue(*this, [&] {
        if (ensureContext()) description = mEGL.description;
    });
    return description;
}

bool ZVImageContext::rendersOnCPU() { return limits().softwareRenderer; }

const ZVImageContext::Limits& ZVImageContext::limits() {
    // Filled once by ensureContext(); answering from the queue keeps the first reader from racing it.
    isAvailable();
    return mLimits;
}

void ZVImageContext::useAsCurrentContext() {
    ZQ_DCHECK_ON(mContextQueue);
    if (!ensureContext()) return;
    if (eglGetCurrentContext() != mEGL.context) eglMakeCurrent(mEGL.display, mEGL.surface, mEGL.surface, mEGL.context);
}

void ZVImageContext::useImageProcessingContext() { sharedImageProcessingContext().useAsCurrentContext(); }

void ZVImageContext::setActiveShaderProgram(const std::shared_ptr<ZVGLProgram>& program) {
    auto& shared = sharedImageProcessingContext();
    shared.useAsCurrentContext();
    if (program && shared.mCurrentShaderProgram != program) {
        shared.mCurrentShaderProgram = program;
        program->use();
    }
}

int ZVImageContext::maximumTextureSizeForThisDevice() { return sharedImageProcessingContext().limits().maxTextureSize; }
int ZVImageContext::maximumTextureUnitsForThisDevice() { return sharedImageProcessingContext().limits().maxTextureUnits; }
int ZVImageContext::maximumVaryingVectorsForThisDevice() {
    return sharedImageProcessingContext().limits().maxVaryingVectors;
}

bool ZVImageContext::deviceSupportsOpenGLESExtension(const std::string& extension) {
    return listHas(sharedImageProcessingContext().limits().extensions, extension);
}

bool ZVImageContext::deviceSupportsRedTextures() { return deviceSupportsOpenGLESExtension("GL_EXT_texture_rg"); }

bool ZVImageContext::deviceSupportsFramebufferReads() {
    return deviceSupportsOpenGLESExtension("GL_EXT_shader_framebuffer_fetch");
}

const ZVImageContext::TransferCapabilities& ZVImageContext::readbackCapabilities() {
    return sharedImageProcessingContext().limits().transfer;
}

platform::Size ZVImageContext::sizeThatFitsWithinATextureForSize(platform::Size size) {
    double maximum = maximumTextureSizeForThisDevice();
    if (maximum <= 0 || (size.width < maximum && size.height < maximum)) return size;
    if (size.height > size.width) return {size.width * maximum / size.height, maximum};
    return {maximum, size.height * maximum / size.width};
}

void ZVImageContext::uploadRows(GLenum format, int bytesPerPixel, int width, int height, const std::uint8_t* data,
                                std::size_t bytesPerRow, bool allocate) {
    std::size_t tight = static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    bool rowLength = bytesPerRow != tight && readbackCapabilities().unpackRowLength &&
                     bytesPerRow % static_cast<std::size_t>(bytesPerPixel) == 0;
    if (bytesPerRow == tight || rowLength) {
        if (rowLength) glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(bytesPerRow / bytesPerPixel));
        if (allocate)
            glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(format), width, height, 0, format, GL_UNSIGNED_BYTE, data);
        else
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, GL_UNSIGNED_BYTE, data);
        if (rowLength) glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        return;
    }
    if (allocate)
        glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(format), width, height, 0, format, GL_UNSIGNED_BYTE, nullptr);
    for (int y = 0; y < height; ++y)
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y, width, 1, format, GL_UNSIGNED_BYTE,
                        data + static_cast<std::size_t>(y) * bytesPerRow);
}

std::shared_ptr<ZVGLProgram> ZVImageContext::programForVertexShaderString(const std::string& vertexShader,
                                                                          const std::string& fragmentShader) {
    std::shared_ptr<ZVGLProgram> program;
    runSynchronouslyOnContextQueue(*this, [&] {
        useAsCurrentContext();
        std::string key = "V: " + vertexShader + " - F: " + fragmentShader;
        auto found = mShaderProgramCache.find(key);
        if (found != mShaderProgramCache.end()) {
            program = found->second;
            return;
        }
        program = std::make_shared<ZVGLProgram>(vertexShader, fragmentShader);
        mShaderProgramCache.emplace(std::move(key), program);
    });
    return program;
}

std::shared_ptr<ZVGLProgram> ZVImageContext::linkedProgram(const std::string& vertexShader,
                                                           const std::string& fragmentShader,
                                                           const std::vector<std::string>& attributes) {
    auto program = programForVertexShaderString(vertexShader, fragmentShader);
    runSynchronouslyOnContextQueue(*this, [&] {
        if (program->initialized()) return;
        for (const auto& name : attributes) program->addAttribute(name);
        if (!program->link()) {
            platform::Console::log("Program link log: " + program->programLog());
            platform::Console::log("Fragment shader compile log: " + program->fragmentShaderLog());
            platform::Console::log("Vertex shader compile log: " + program->vertexShaderLog());
        }
    });
    return program;
}

std::size_t ZVImageContext::programCount() {
    std::size_t count = 0;
    runSynchronouslyOnContextQueue(*this, [&] { count = mShaderProgramCache.size(); });
    return count;
}

void ZVImageContext::useSharegroup(EGLContext sharegroup) {
    runSynchronouslyOnContextQueue(*this, [&] {
        std::lock_guard lock(mStateMutex);
        if (!mContextTried) mSharegroup = sharegroup;
    });
}

// --- queue functions ---

void runSynchronouslyOnVideoProcessingQueue(const platform::Task& block) {
    runSynchronouslyOnContextQueue(ZVImageContext::sharedImageProcessingContext(), block);
}

void runAsynchronouslyOnVideoProcessingQueue(platform::Task block) {
    runAsynchronouslyOnContextQueue(ZVImageContext::sharedImageProcessingContext(), std::move(block));
}

void runSynchronouslyOnContextQueue(ZVImageContext& context, const platform::Task& block) {
    const auto& queue = context.contextQueue();
    if (queue->isCurrent())
        block();
    else
        queue->sync(block);
}

void runAsynchronouslyOnContextQueue(ZVImageContext& context, platform::Task block) {
    const auto& queue = context.contextQueue();
    if (queue->isCurrent())
        block();
    else
        queue->async(std::move(block));
}

void runOnMainQueueWithoutDeadlocking(const platform::Task& block) {
    // The main queue waits on the video-processing queue; the reverse would deadlock.
    assert(!ZVImageContext::sharedContextQueue()->isCurrent());
    auto main = platform::DispatchQueue::main();
    if (main->isCurrent())
        block();
    else
        main->sync(block);
}

void reportAvailableMemoryForZVImage(const char* tag) {
    const char* name = tag ? tag : "Default";
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0, resident = 0;
    if (!statm || std::fscanf(statm, "%lu %lu", &pages, &resident) != 2) {
        platform::Console::logf("%s - Error: %s", name, std::strerror(errno ? errno : EIO));
        if (statm) std::fclose(statm);
        return;
    }
    std::fclose(statm);
    auto bytes = static_cast<unsigned long long>(resident) * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    platform::Console::logf("%s - Memory used: %u", name, static_cast<unsigned>(bytes));
}

platform::DispatchQueue::Priority ZVImageDefaultQueueAttribute() {
    return platform::SystemInfo::systemVersionNumber() >= 9.0 ? platform::DispatchQueue::Priority::High
                                                              : platform::DispatchQueue::Priority::Default;
}
