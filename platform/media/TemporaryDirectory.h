#pragma once
#include <memory>
#include <string>

namespace platform {

// A fresh directory of the caller's own under the system's temporary folder ($TMPDIR, else /tmp),
// readable and writable by this user only (mode 0700), removed with everything in it when the last
// holder lets it go. Files made inside cannot be read, replaced or raced by other users or by
// another object's files, whatever names they use. Any thread.
class TemporaryDirectory {
public:
    // nullptr when no directory can be made (the reason goes to the console).
    static std::shared_ptr<TemporaryDirectory> create(const std::string& prefix);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    explicit TemporaryDirectory(std::string path) : mPath(std::move(path)) {}
    std::string mPath;
};

} // namespace platform
