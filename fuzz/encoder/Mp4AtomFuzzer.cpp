// The atom reader over an arbitrary file: the whole tree, and the avcC chain.
#include <sys/mman.h>
#include <unistd.h>
#include "encoder/ZVMP4Atom.h"

namespace {

void walk(ZVMP4Atom atom, int depth) {
    if (depth > 8) return;
    atom.setChildOffset(0);
    for (int i = 0; i < 64; ++i) {
        auto child = atom.nextChild();
        if (!child) break;
        (void)child->readAt(0, 16);
        walk(*child, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int fd = memfd_create("mp4", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    auto file = std::make_shared<platform::FileHandle>(dup(fd));
    walk(ZVMP4Atom::atomAt(0, size, ZVMP4Atom::fourcc("file"), file), 0);
    (void)ZVReadAvcCRecord(file);
    return 0;
}
