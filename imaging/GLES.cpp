#include "imaging/GLES.h"

#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <type_traits>

namespace zvgl {
namespace {

// A function of the given pointer type that does nothing and returns zero.
template <typename F>
struct Stub;
template <typename R, typename... A>
struct Stub<R (*)(A...)> {
    static R call(A...) {
        if constexpr (!std::is_void_v<R>) return R{};
    }
};

const char* libraryName(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value && *value ? value : fallback;
}

} // namespace

#define ZV_DEFINE_POINTER(name, type) type name = &Stub<type>::call;
ZV_EGL_FUNCTIONS(ZV_DEFINE_POINTER)
ZV_EGL_EXT_FUNCTIONS(ZV_DEFINE_POINTER)
ZV_GLES_FUNCTIONS(ZV_DEFINE_POINTER)
#undef ZV_DEFINE_POINTER

bool load(std::string* error) {
    static std::once_flag once;
    static bool loaded = false;
    static std::string failure;
    std::call_once(once, [] {
        const char* eglName = libraryName("ZQLIVEKIT_EGL_LIBRARY", "libEGL.so.1");
        const char* glesName = libraryName("ZQLIVEKIT_GLES_LIBRARY", "libGLESv2.so.2");
        // Kept open for the life of the process: GL objects live as long as it does.
        void* egl = ::dlopen(eglName, RTLD_NOW | RTLD_LOCAL);
        if (!egl) {
            const char* why = ::dlerror();
            failure = std::string("cannot load ") + eglName + " (" + (why ? why : "not found") +
                      "); install libegl1 and libegl-mesa0";
            return;
        }
        void* gles = ::dlopen(glesName, RTLD_NOW | RTLD_LOCAL);
        if (!gles) {
            const char* why = ::dlerror();
            failure = std::string("cannot load ") + glesName + " (" + (why ? why : "not found") +
                      "); install libgles2";
            return;
        }
        // Resolve everything first, then install: a partial table never replaces the stubs.
#define ZV_RESOLVE(name, type)                                                        \
    auto resolved_##name = reinterpret_cast<type>(::dlsym(lib, #name));              \
    if (!resolved_##name) {                                                           \
        failure = std::string("missing entry point ") + #name + " in " + libName;     \
        return;                                                                       \
    }
#define ZV_INSTALL(name, type) name = resolved_##name;
        void* lib = egl;
        const char* libName = eglName;
        ZV_EGL_FUNCTIONS(ZV_RESOLVE)
        lib = gles;
        libName = glesName;
        ZV_GLES_FUNCTIONS(ZV_RESOLVE)
        ZV_EGL_FUNCTIONS(ZV_INSTALL)
        ZV_GLES_FUNCTIONS(ZV_INSTALL)
#undef ZV_INSTALL
#undef ZV_RESOLVE
        // Extensions may be absent; their stubs then answer "nothing".
#define ZV_RESOLVE_EXT(name, type)                                                    \
    if (auto p = reinterpret_cast<type>(eglGetProcAddress(#name))) name = p;
        ZV_EGL_EXT_FUNCTIONS(ZV_RESOLVE_EXT)
#undef ZV_RESOLVE_EXT
        loaded = true;
    });
    if (!loaded && error) *error = failure;
    return loaded;
}

std::string eglErrorName(EGLint error) {
    switch (error) {
    case EGL_SUCCESS: return "EGL_SUCCESS";
    case EGL_NOT_INITIALIZED: return "EGL_NOT_INITIALIZED";
    case EGL_BAD_ACCESS: return "EGL_BAD_ACCESS";
    case EGL_BAD_ALLOC: return "EGL_BAD_ALLOC";
    case EGL_BAD_ATTRIBUTE: return "EGL_BAD_ATTRIBUTE";
    case EGL_BAD_CONFIG: return "EGL_BAD_CONFIG";
    case EGL_BAD_CONTEXT: return "EGL_BAD_CONTEXT";
    case EGL_BAD_CURRENT_SURFACE: return "EGL_BAD_CURRENT_SURFACE";
    case EGL_BAD_DISPLAY: return "EGL_BAD_DISPLAY";
    case EGL_BAD_MATCH: return "EGL_BAD_MATCH";
    case EGL_BAD_NATIVE_PIXMAP: return "EGL_BAD_NATIVE_PIXMAP";
    case EGL_BAD_NATIVE_WINDOW: return "EGL_BAD_NATIVE_WINDOW";
    case EGL_BAD_PARAMETER: return "EGL_BAD_PARAMETER";
    case EGL_BAD_SURFACE: return "EGL_BAD_SURFACE";
    case EGL_CONTEXT_LOST: return "EGL_CONTEXT_LOST";
    default: return "EGL error " + std::to_string(error);
    }
}

} // namespace zvgl
