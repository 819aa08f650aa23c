// The file-based encoder's platform pieces on their own: the read-readiness source on a growing file
// and the private temporary folder.
#include <gtest/gtest.h>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include "ZQPlatform/DispatchQueue.h"
#include "platform/media/FileReadSource.h"
#include "platform/media/TemporaryDirectory.h"

using namespace platform;

namespace {

void append(int fd, std::size_t n) {
    std::vector<char> bytes(n, 'x');
    ASSERT_EQ(::write(fd, bytes.data(), n), static_cast<ssize_t>(n));
}

TEST(FileReadSourceTest, CallsAtTheStartAndAfterGrowthButNotAfterCancel) {
    auto dir = TemporaryDirectory::create("zqlivekit-test");
    ASSERT_TRUE(dir);
    const std::string path = dir->file("growing");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    append(fd, 10);

    auto queue = DispatchQueue::createSerialThread("com.zqlivekit.test.read");
    auto file = FileHandle::openForReading(path);
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    std::uint64_t seen = 0;
    auto source = FileReadSource::create(file, queue, [&] {
        std::lock_guard lock(mutex);
        ++calls;
        seen = file->size().value_or(0);
        changed.notify_all();
    });
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->watchesFileEvents());
    auto waitForSize = [&](std::uint64_t size) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen == size; });
    };

    queue->sync([] {});
    EXPECT_EQ(calls, 0) << "nothing before resume";
    source->resume();
    EXPECT_TRUE(waitForSize(10)) << "a first call for what is already there";
    append(fd, 100);
    EXPECT_TRUE(waitForSize(110));
    append(fd, 5);
    EXPECT_TRUE(waitForSize(115));

    source->cancel();
    queue->sync([] {});
    int before;
    {
        std::lock_guard lock(mutex);
        before = calls;
    }
    append(fd, 7);
    ::close(fd);
    source->cancel(); // idempotent
    queue->sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, before);
}

TEST(TemporaryDirectoryTest, PrivateDistinctAndRemovedWithItsContents) {
    auto a = TemporaryDirectory::create("zqlivekit-test");
    auto b = TemporaryDirectory::create("zqlivekit-test");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->path(), b->path());
    struct stat st {};
    ASSERT_EQ(::lstat(a->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::filesystem::create_directory(a->file("inner"));
    int fd = ::open((a->file("inner") + "/file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string path = a->path();
    a.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(b->path()));
}

} // namespace
