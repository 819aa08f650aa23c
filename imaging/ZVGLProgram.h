#pragma once
#include <string>
#include <vector>
#include "imaging/GLES.h"

// A compiled and linked GL shader program with the compiler and linker logs. Made, used and
// destroyed on the video-processing queue, with the shared context current.
class ZVGLProgram {
public:
    // Creates the program and compiles both shaders (vertex, then fragment), writing "Failed to
    // compile vertex shader" / "Failed to compile fragment shader" on failure, and attaches them.
    ZVGLProgram(const std::string& vertexShaderString, const std::string& fragmentShaderString);
    ~ZVGLProgram();
    ZVGLProgram(const ZVGLProgram&) = delete;
    ZVGLProgram& operator=(const ZVGLProgram&) = delete;

    // Adds a name once and binds it to its position in attributes() (effective at link()).
    void addAttribute(const std::string& attributeName);
    // The bound location of an attribute (its position in attributes()), or -1.
    GLuint attributeIndex(const std::string& attributeName) const;
    // GL's location of a uniform (-1 when the program has none by that name).
    GLint uniformIndex(const std::string& uniformName);
    // Links; on success deletes both shader objects and sets initialized().
    bool link();
    void use();

    bool initialized() const { return mInitialized; }
    GLuint program() const { return mProgram; }
    const std::vector<std::string>& attributes() const { return mAttributes; }
    const std::vector<std::string>& uniforms() const { return mUniforms; }
    const std::string& vertexShaderLog() const { return mVertexShaderLog; }
    const std::string& fragmentShaderLog() const { return mFragmentShaderLog; }
    const std::string& programLog() const { return mProgramLog; }

private:
    bool compileShader(GLuint* shader, GLenum type, const std::string& source, std::string* log);

    std::vector<std::string> mAttributes;
    std::vector<std::string> mUniforms;
    GLuint mProgram = 0;
    GLuint mVertShader = 0;
    GLuint mFragShader = 0;
    bool mInitialized = false;
    std::string mVertexShaderLog;
    std::string mFragmentShaderLog;
    std::string mProgramLog;
};
