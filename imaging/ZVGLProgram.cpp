#include "imaging/ZVGLProgram.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include "ZQPlatform/Console.h"

using namespace zvgl;

namespace {

bool isUTF8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

std::string shaderLog(GLuint shader) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    if (length <= 1) return {};
    std::string log(static_cast<std::size_t>(length), '\0');
    glGetShaderInfoLog(shader, length, nullptr, log.data());
    log.resize(std::strlen(log.c_str()));
    return log;
}

} // namespace

ZVGLProgram::ZVGLProgram(const std::string& vertexShaderString, const std::string& fragmentShaderString) {
    mProgram = glCreateProgram();
    if (!compileShader(&mVertShader, GL_VERTEX_SHADER, vertexShaderString, &mVertexShaderLog))
        platform::Console::log("Failed to compile vertex shader");
    if (!compileShader(&mFragShader, GL_FRAGMENT_SHADER, fragmentShaderString, &mFragmentShaderLog))
        platform::Console::log("Failed to compile fragment shader");
    glAttachShader(mProgram, mVertShader);
    glAttachShader(mProgram, mFragShader);
}

ZVGLProgram::~ZVGLProgram() {
    if (mVertShader) glDeleteShader(mVertShader);
    if (mFragShader) glDeleteShader(mFragShader);
    if (mProgram) glDeleteProgram(mProgram);
}

bool ZVGLProgram::compileShader(GLuint* shader, GLenum type, const std::string& source, std::string* log) {
    if (!isUTF8(source)) {
        *log = "the shader source is not UTF-8 text";
        return false;
    }
    *shader = glCreateShader(type);
    const GLchar* text = source.c_str();
    glShaderSource(*shader, 1, &text, nullptr);
    glCompileShader(*shader);
    GLint status = 0;
    glGetShaderiv(*shader, GL_COMPILE_STATUS, &status);
    if (status != GL_TRUE) {
        *log = shaderLog(*shader);
        if (log->empty()) *log = "compilation failed without a log";
        return false;
    }
    return true;
}

void ZVGLProgram::addAttribute(const std::string& attributeName) {
    if (std::find(mAttributes.begin(), mAttributes.end(), attributeName) != mAttributes.end()) return;
    mAttributes.push_back(attributeName);
    glBindAttribLocation(mProgram, static_cast<GLuint>(mAttributes.size() - 1), attributeName.c_str());
}

GLuint ZVGLProgram::attributeIndex(const std::string& attributeName) const {
    auto found = std::find(mAttributes.begin(), mAttributes.end(), attributeName);
    if (found == mAttributes.end()) return static_cast<GLuint>(-1);
    return static_cast<GLuint>(found - mAttributes.begin());
}

GLint ZVGLProgram::uniformIndex(const std::string& uniformName) {
    if (std::find(mUniforms.begin(), mUniforms.end(), uniformName) == mUniforms.end())
        mUniforms.push_back(uniformName);
    return glGetUniformLocation(mProgram, uniformName.c_str());
}

bool ZVGLProgram::link() {
    glLinkProgram(mProgram);
    GLint status = 0;
    glGetProgramiv(mProgram, GL_LINK_STATUS, &status);
    if (status != GL_TRUE) {
        GLint length = 0;
        glGetProgramiv(mProgram, GL_INFO_LOG_LENGTH, &length);
        if (length > 1) {
            mProgramLog.assign(static_cast<std::size_t>(length), '\0');
            glGetProgramInfoLog(mProgram, length, nullptr, mProgramLog.data());
            mProgramLog.resize(std::strlen(mProgramLog.c_str()));
        }
        if (mProgramLog.empty()) mProgramLog = "linking failed without a log";
        return false;
    }
    if (mVertShader) {
        glDeleteShader(mVertShader);
        mVertShader = 0;
    }
    if (mFragShader) {
        glDeleteShader(mFragShader);
        mFragShader = 0;
    }
    mInitialized = true;
    return true;
}

void ZVGLProgram::use() { glUseProgram(mProgram); }
