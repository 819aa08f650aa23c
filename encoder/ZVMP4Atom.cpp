#include "encoder/ZVMP4Atom.h"

#include "encoder/ZVNALUnit.h"

namespace {

constexpr std::uint32_t kUuid = ZVMP4Atom::fourcc("uuid");

std::uint64_t bigEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

} // namespace

std::string ZVMP4Atom::typeName(std::uint32_t type) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((type >> (24 - 8 * i)) & 0xFF);
        name[static_cast<std::size_t>(i)] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

ZVMP4Atom ZVMP4Atom::atomAt(std::uint64_t offset, std::uint64_t size, std::uint32_t type,
                            std::shared_ptr<platform::FileHandle> file) {
    return ZVMP4Atom(offset, size, type, std::move(file));
}

std::vector<std::uint8_t> ZVMP4Atom::readAt(std::uint64_t offset, std::uint64_t size) const {
    if (!mFile || offset >= mLength) return {};
    std::uint64_t n = std::min(size, mLength - offset);
    // The payload may claim more than the file holds: read in bounded steps rather than trusting it.
    std::vector<std::uint8_t> out;
    constexpr std::uint64_t kStep = 1 << 20;
    while (out.size() < n) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, n - out.size()));
        std::size_t at = out.size();
        out.resize(at + want);
        std::size_t got = mFile->readAt(mOffset + offset + at, {out.data() + at, want});
        out.resize(at + got);
        if (got < want) break;
    }
    return out;
}

std::optional<ZVMP4Atom> ZVMP4Atom::nextChild() {
    if (mNextChild > mLength || mLength - mNextChild < 8) return std::nullopt;
    std::vector<std::uint8_t> header = readAt(mNextChild, 8);
    if (header.size() < 8) return std::nullopt;
    const std::uint64_t remaining = mLength - mNextChild;
    std::uint64_t size = bigEndian(header.data(), 4);
    const auto type = static_cast<std::uint32_t>(bigEndian(header.data() + 4, 4));
    std::uint64_t headerSize = 8;
    if (size == 0) {
        size = remaining; // runs to the end of the parent
    } else if (size == 1) {
        std::vector<std::uint8_t> large = readAt(mNextChild + 8, 8);
        if (large.size() < 8) return std::nullopt;
        size = bigEndian(large.data(), 8);
        headerSize = 16;
    }
    if (type == kUuid) headerSize += 16;
    if (size < headerSize || size > remaining) return std::nullopt;
    ZVMP4Atom child(mOffset + mNextChild + headerSize, size - headerSize, type, mFile);
    mNextChild += size;
    return child;
}

std::optional<ZVMP4Atom> ZVMP4Atom::childOfType(std::uint32_t type, std::uint64_t startAt) {
    setChildOffset(startAt);
    while (auto child = nextChild())
        if (child->type() == type) return child;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ZVReadAvcCRecord(const std::shared_ptr<platform::FileHandle>& file) {
    if (!file) return std::nullopt;
    auto size = file->size();
    if (!size) return std::nullopt;
    ZVMP4Atom root = ZVMP4Atom::atomAt(0, *size, ZVMP4Atom::fourcc("file"), file);
    auto moov = root.childOfType(ZVMP4Atom::fourcc("moov"), 0);
    if (!moov) return std::nullopt;
    moov->setChildOffset(0);
    while (auto trak = moov->nextChild()) {
        if (trak->type() != ZVMP4Atom::fourcc("trak")) continue;
        auto tkhd = trak->childOfType(ZVMP4Atom::fourcc("tkhd"), 0);
        if (!tkhd) continue;
        std::vector<std::uint8_t> versionAndFlags = tkhd->readAt(0, 4);
        if (versionAndFlags.size() < 4 || !(versionAndFlags[3] & 1)) continue; // not enabled
        auto mdia = trak->childOfType(ZVMP4Atom::fourcc("mdia"), 0);
        auto minf = mdia ? mdia->childOfType(ZVMP4Atom::fourcc("minf"), 0) : std::nullopt;
        auto stbl = minf ? minf->childOfType(ZVMP4Atom::fourcc("stbl"), 0) : std::nullopt;
        auto stsd = stbl ? stbl->childOfType(ZVMP4Atom::fourcc("stsd"), 0) : std::nullopt;
        // stsd: version, flags and entry count before the first sample entry.
        auto avc1 = stsd ? stsd->childOfType(ZVMP4Atom::fourcc("avc1"), 8) : std::nullopt;
        // avc1: the 78 bytes of the visual sample entry before its child atoms.
        auto avcC = avc1 ? avc1->childOfType(ZVMP4Atom::fourcc("avcC"), 78) : std::nullopt;
        if (!avcC) continue;
        std::vector<std::uint8_t> record = avcC->readAt(0, avcC->length());
        if (record.size() != avcC->length() || !ZVavcCHeader(record).isValid()) continue;
        return record;
    }
    return std::nullopt;
}
