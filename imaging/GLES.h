#pragma once
// EGL and OpenGL ES 2 entry points, loaded at run time. The kit links neither library: a host
// without EGL still loads the kit, and the imaging pipeline reports once why it cannot run.
// Until the libraries are loaded (or when they are missing) every GL call goes to a stub that does
// nothing and returns zero, so a missing GPU stack can never crash a caller.
#define GL_GLES_PROTOTYPES 0
#define EGL_EGL_PROTOTYPES 0
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>
#include <string>

// GL_PACK_ROW_LENGTH / GL_UNPACK_ROW_LENGTH (ES 3.0, NV_pack_subimage, EXT_unpack_subimage).
#ifndef GL_PACK_ROW_LENGTH
#define GL_PACK_ROW_LENGTH 0x0D02
#endif
#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif

#define ZV_EGL_FUNCTIONS(X)                                  \
    X(eglGetProcAddress, PFNEGLGETPROCADDRESSPROC)           \
    X(eglGetError, PFNEGLGETERRORPROC)                       \
    X(eglGetDisplay, PFNEGLGETDISPLAYPROC)                   \
    X(eglQueryString, PFNEGLQUERYSTRINGPROC)                 \
    X(eglInitialize, PFNEGLINITIALIZEPROC)                   \
    X(eglTerminate, PFNEGLTERMINATEPROC)                     \
    X(eglBindAPI, PFNEGLBINDAPIPROC)                         \
    X(eglChooseConfig, PFNEGLCHOOSECONFIGPROC)               \
    X(eglCreateContext, PFNEGLCREATECONTEXTPROC)             \
    X(eglDestroyContext, PFNEGLDESTROYCONTEXTPROC)           \
    X(eglMakeCurrent, PFNEGLMAKECURRENTPROC)                 \
    X(eglGetCurrentContext, PFNEGLGETCURRENTCONTEXTPROC)     \
    X(eglCreatePbufferSurface, PFNEGLCREATEPBUFFERSURFACEPROC)

// Extension entry points, asked of eglGetProcAddress.
#define ZV_EGL_EXT_FUNCTIONS(X)                                     \
    X(eglGetPlatformDisplayEXT, PFNEGLGETPLATFORMDISPLAYEXTPROC)    \
    X(eglQueryDevicesEXT, PFNEGLQUERYDEVICESEXTPROC)                \
    X(eglQueryDeviceStringEXT, PFNEGLQUERYDEVICESTRINGEXTPROC)

#define ZV_GLES_FUNCTIONS(X)                                          \
    X(glActiveTexture, PFNGLACTIVETEXTUREPROC)                        \
    X(glAttachShader, PFNGLATTACHSHADERPROC)                          \
    X(glBindAttribLocation, PFNGLBINDATTRIBLOCATIONPROC)              \
    X(glBindFramebuffer, PFNGLBINDFRAMEBUFFERPROC)                    \
    X(glBindTexture, PFNGLBINDTEXTUREPROC)                            \
    X(glCheckFramebufferStatus, PFNGLCHECKFRAMEBUFFERSTATUSPROC)      \
    X(glClear, PFNGLCLEARPROC)                                        \
    X(glClearColor, PFNGLCLEARCOLORPROC)                              \
    X(glCompileShader, PFNGLCOMPILESHADERPROC)                        \
    X(glCreateProgram, PFNGLCREATEPROGRAMPROC)                        \
    X(glCreateShader, PFNGLCREATESHADERPROC)                          \
    X(glDeleteFramebuffers, PFNGLDELETEFRAMEBUFFERSPROC)              \
    X(glDeleteProgram, PFNGLDELETEPROGRAMPROC)                        \
    X(glDeleteShader, PFNGLDELETESHADERPROC)                          \
    X(glDeleteTextures, PFNGLDELETETEXTURESPROC)                      \
    X(glDisable, PFNGLDISABLEPROC)                                    \
    X(glDrawArrays, PFNGLDRAWARRAYSPROC)                              \
    X(glEnableVertexAttribArray, PFNGLENABLEVERTEXATTRIBARRAYPROC)    \
    X(glFinish, PFNGLFINISHPROC)                                      \
    X(glFlush, PFNGLFLUSHPROC)                                        \
    X(glFramebufferTexture2D, PFNGLFRAMEBUFFERTEXTURE2DPROC)          \
    X(glGenFramebuffers, PFNGLGENFRAMEBUFFERSPROC)                    \
    X(glGenTextures, PFNGLGENTEXTURESPROC)                            \
    X(glGetAttribLocation, PFNGLGETATTRIBLOCATIONPROC)                \
    X(glGetError, PFNGLGETERRORPROC)                                  \
    X(glGetIntegerv, PFNGLGETINTEGERVPROC)                            \
    X(glGetProgramInfoLog, PFNGLGETPROGRAMINFOLOGPROC)                \
    X(glGetProgramiv, PFNGLGETPROGRAMIVPROC)                          \
    X(glGetShaderInfoLog, PFNGLGETSHADERINFOLOGPROC)                  \
    X(glGetShaderiv, PFNGLGETSHADERIVPROC)                            \
    X(glGetString, PFNGLGETSTRINGPROC)                                \
    X(glGetUniformLocation, PFNGLGETUNIFORMLOCATIONPROC)              \
    X(glLinkProgram, PFNGLLINKPROGRAMPROC)                            \
    X(glPixelStorei, PFNGLPIXELSTOREIPROC)                            \
    X(glReadPixels, PFNGLREADPIXELSPROC)                              \
    X(glShaderSource, PFNGLSHADERSOURCEPROC)                          \
    X(glTexImage2D, PFNGLTEXIMAGE2DPROC)                              \
    X(glTexParameteri, PFNGLTEXPARAMETERIPROC)                        \
    X(glTexSubImage2D, PFNGLTEXSUBIMAGE2DPROC)                        \
    X(glUniform1f, PFNGLUNIFORM1FPROC)                                \
    X(glUniform1i, PFNGLUNIFORM1IPROC)                                \
    X(glUniform2fv, PFNGLUNIFORM2FVPROC)                              \
    X(glUniform3fv, PFNGLUNIFORM3FVPROC)                              \
    X(glUniform4fv, PFNGLUNIFORM4FVPROC)                              \
    X(glUniform1fv, PFNGLUNIFORM1FVPROC)                              \
    X(glUniformMatrix3fv, PFNGLUNIFORMMATRIX3FVPROC)                  \
    X(glUniformMatrix4fv, PFNGLUNIFORMMATRIX4FVPROC)                  \
    X(glUseProgram, PFNGLUSEPROGRAMPROC)                              \
    X(glVertexAttribPointer, PFNGLVERTEXATTRIBPOINTERPROC)            \
    X(glViewport, PFNGLVIEWPORTPROC)

namespace zvgl {

#define ZV_DECLARE_POINTER(name, type) extern type name;
ZV_EGL_FUNCTIONS(ZV_DECLARE_POINTER)
ZV_EGL_EXT_FUNCTIONS(ZV_DECLARE_POINTER)
ZV_GLES_FUNCTIONS(ZV_DECLARE_POINTER)
#undef ZV_DECLARE_POINTER

// Loads libEGL and libGLESv2 once per process (ZQLIVEKIT_EGL_LIBRARY / ZQLIVEKIT_GLES_LIBRARY name
// other files). True when every entry point was found; otherwise the stubs stay in place and
// `error` says what is missing. Any thread; later calls return the first answer.
bool load(std::string* error);

// Text of an EGL error code ("EGL_BAD_MATCH").
std::string eglErrorName(EGLint error);

} // namespace zvgl
