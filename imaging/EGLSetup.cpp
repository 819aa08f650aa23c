#include "imaging/EGLSetup.h"

#include <cstring>
#include <vector>

namespace zvgl {
namespace {

bool hasExtension(const char* list, const char* name) {
    if (!list) return false;
    std::size_t length = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += length) {
        bool startOk = p == list || p[-1] == ' ';
        bool endOk = p[length] == '\0' || p[length] == ' ';
        if (startOk && endOk) return true;
    }
    return false;
}

std::string lastEGLError() { return eglErrorName(eglGetError()); }

struct Device {
    EGLDeviceEXT handle;
    bool software;
    std::string node; // the DRM render node or device file, when the device has one
};

std::vector<Device> listDevices() {
    std::vector<Device> devices;
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!hasExtension(clientExtensions, "EGL_EXT_device_enumeration") &&
        !hasExtension(clientExtensions, "EGL_EXT_device_base"))
        return devices;
    EGLint count = 0;
    if (!eglQueryDevicesEXT(0, nullptr, &count) || count <= 0) return devices;
    std::vector<EGLDeviceEXT> handles(static_cast<std::size_t>(count));
    if (!eglQueryDevicesEXT(count, handles.data(), &count)) return devices;
    handles.resize(static_cast<std::size_t>(count));
    for (EGLDeviceEXT handle : handles) {
        const char* extensions = eglQueryDeviceStringEXT(handle, EGL_EXTENSIONS);
        Device device{handle, hasExtension(extensions, "EGL_MESA_device_software"), {}};
        if (hasExtension(extensions, "EGL_EXT_device_drm_render_node")) {
            if (const char* node = eglQueryDeviceStringEXT(handle, EGL_DRM_RENDER_NODE_FILE_EXT)) device.node = node;
        }
        if (device.node.empty() && hasExtension(extensions, "EGL_EXT_device_drm")) {
            if (const char* file = eglQueryDeviceStringEXT(handle, EGL_DRM_DEVICE_FILE_EXT)) device.node = file;
        }
        devices.push_back(device);
    }
    return devices;
}

EGLDisplay deviceDisplay(const Device& device) {
    return eglGetPlatformDisplayEXT(EGL_PLATFORM_DEVICE_EXT, device.handle, nullptr);
}

// Makes the ES 2 context on an initialised display current, surfaceless where the display allows.
bool makeContext(EGLDisplay display, EGLContext share, EGLSetup* setup, std::string* error) {
    if (!eglBindAPI(EGL_OPENGL_ES_API)) {
        *error = "eglBindAPI(OpenGL ES) failed: " + lastEGLError();
        return false;
    }
    const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
    bool surfaceless = hasExtension(extensions, "EGL_KHR_surfaceless_context");
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT,
                                       EGL_SURFACE_TYPE,    surfaceless ? 0 : EGL_PBUFFER_BIT,
                                       EGL_RED_SIZE,        8,
                                       EGL_GREEN_SIZE,      8,
                                       EGL_BLUE_SIZE,       8,
                                       EGL_ALPHA_SIZE,      8,
                                       EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configs = 0;
    if (!eglChooseConfig(display, configAttributes, &config, 1, &configs) || configs < 1) {
        if (!surfaceless || !hasExtension(extensions, "EGL_KHR_no_config_context")) {
            *error = "no EGL configuration for OpenGL ES 2: " + lastEGLError();
            return false;
        }
        config = EGL_NO_CONFIG_KHR;
    }
    const EGLint contextAttributes[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    EGLContext context = eglCreateContext(display, config, share, contextAttributes);
    if (context == EGL_NO_CONTEXT) {
        *error = "eglCreateContext(OpenGL ES 2) failed: " + lastEGLError();
        return false;
    }
    EGLSurface surface = EGL_NO_SURFACE;
    if (!surfaceless) {
        const EGLint pbufferAttributes[] = {EGL_WIDTH, 1, EGL_HEIGHT, 1, EGL_NONE};
        surface = eglCreatePbufferSurface(display, config, pbufferAttributes);
        if (surface == EGL_NO_SURFACE) {
            *error = "eglCreatePbufferSurface failed: " + lastEGLError();
            eglDestroyContext(display, context);
            return false;
        }
    }
    if (!eglMakeCurrent(display, surface, surface, context)) {
        *error = "eglMakeCurrent failed: " + lastEGLError();
        eglDestroyContext(display, context);
        return false;
    }
    setup->display = display;
    setup->context = context;
    setup->surface = surface;
    return true;
}

bool initialise(EGLDisplay display, std::string* error) {
    if (display == EGL_NO_DISPLAY) {
        *error = "no EGL display: " + lastEGLError();
        return false;
    }
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) {
        *error = "eglInitialize failed: " + lastEGLError();
        return false;
    }
    return true;
}

bool tryDisplay(EGLDisplay display, const std::string& what, EGLContext share, EGLSetup* setup, std::string* error) {
    if (!initialise(display, error) || !makeContext(display, share, setup, error)) {
        if (display != EGL_NO_DISPLAY) eglTerminate(display);
        *error = what + ": " + *error;
        return false;
    }
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    setup->description = std::string(renderer ? renderer : "unknown renderer") + " on " + what;
    return true;
}

bool trySurfaceless(EGLContext share, EGLSetup* setup, std::string* error) {
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!hasExtension(clientExtensions, "EGL_MESA_platform_surfaceless")) {
        *error = "the EGL library offers no surfaceless platform (install libegl-mesa0 and libgl1-mesa-dri)";
        return false;
    }
    EGLDisplay display = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    return tryDisplay(display, "the surfaceless platform", share, setup, error);
}

bool tryHardwareDevice(const std::string& node, EGLContext share, EGLSetup* setup, std::string* error) {
    std::vector<Device> devices = listDevices();
    bool sawHardware = false;
    std::string lastFailure;
    for (const Device& device : devices) {
        if (device.software) continue;
        if (!node.empty() && device.node != node) continue;
        sawHardware = true;
        std::string what = "EGL device " + (device.node.empty() ? std::string("(no DRM node)") : device.node);
        if (tryDisplay(deviceDisplay(device), what, share, setup, &lastFailure)) return true;
    }
    if (!sawHardware)
        *error = node.empty() ? "no hardware EGL device" : "no EGL device behind " + node;
    else
        *error = lastFailure;
    return false;
}

} // namespace

bool createContext(const std::string& selection, EGLContext share, EGLSetup* setup, std::string* error) {
    if (selection == "surfaceless") return trySurfaceless(share, setup, error);
    if (selection == "device") return tryHardwareDevice({}, share, setup, error);
    if (selection.rfind("/dev/", 0) == 0) return tryHardwareDevice(selection, share, setup, error);
    if (!selection.empty() && selection != "auto") {
        *error = "ZQLIVEKIT_EGL must be auto, surfaceless, device or a /dev/dri/renderD node, not '" + selection + "'";
        return false;
    }
    std::string deviceFailure;
    if (tryHardwareDevice({}, share, setup, &deviceFailure)) return true;
    if (!trySurfaceless(share, setup, error)) return false;
    // A hardware device that was there but refused is worth knowing about.
    if (deviceFailure != "no hardware EGL device") setup->description += " (" + deviceFailure + ")";
    return true;
}

} // namespace zvgl
