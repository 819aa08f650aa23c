#pragma once
#include <string>
#include "imaging/GLES.h"

namespace zvgl {

// An EGL display with an OpenGL ES 2 context current on the calling thread, without any window.
struct EGLSetup {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
    EGLSurface surface = EGL_NO_SURFACE; // a 1x1 pbuffer, only where surfaceless contexts are refused
    std::string description;             // "llvmpipe (...) on the surfaceless platform"
};

// Which display to use, from ZQLIVEKIT_EGL:
//   unset or "auto"   a hardware EGL device when one exists, else Mesa's surfaceless platform
//   "surfaceless"     Mesa's surfaceless platform (llvmpipe on machines without a GPU)
//   "device"          the first hardware EGL device (software devices are never taken)
//   "/dev/dri/renderDN" the EGL device behind that DRM node
// Creates the context and makes it current on the calling thread. False with a one-line reason
// when no display or context can be had; nothing is left half made.
// `share` is a context to share objects with (EGL_NO_CONTEXT for none).
bool createContext(const std::string& selection, EGLContext share, EGLSetup* setup, std::string* error);

} // namespace zvgl
