// The reading half of the file-based encoder without a codec: the atom reader on hand-made files,
// the bit-stream reader, the cutting of length-prefixed media data into access units, and how
// ZVH264VideoEncoder turns access units into frames.
#include <gtest/gtest.h>
#include <algorithm>
#include <fstream>
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "encoder/ZVAccessUnitAssembler.h"
#include "encoder/ZVH264VideoEncoder.h"
#include "encoder/ZVMP4Atom.h"
#include "encoder/ZVNALUnit.h"
#include "platform/media/H264NalUnits.h"
#include "tests/encoder/EncoderFakes.h"
#include "tests/encoder/H264BitWriter.h"
#include "tests/support/TestUtil.h"

using Bytes = std::vector<std::uint8_t>;
using platform::FileHandle;
using zqtest::H264BitWriter;

namespace {

constexpr auto fourcc = ZVMP4Atom::fourcc;

void put32(Bytes& out, std::uint64_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void putType(Bytes& out, const char* type) { out.insert(out.end(), type, type + 4); }

Bytes box(const char* type, const Bytes& payload) {
    Bytes out;
    put32(out, payload.size() + 8);
    putType(out, type);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}
Bytes box64(const char* type, const Bytes& payload) {
    Bytes out;
    put32(out, 1);
    putType(out, type);
    put32(out, 0);
    put32(out, payload.size() + 16);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes testSps() { return zqtest::baselineSps(320, 240); }
Bytes testPps() { return H264BitWriter(0x68).ue(0).ue(0).bits(0, 1).take(); }
Bytes testAvcC() { return platform::h264::avcConfigurationRecord(testSps(), testPps()); }

// moov → trak (tkhd with `flags`) → mdia → minf → stbl → stsd → avc1 → avcC.
Bytes movieWith(const Bytes& avcC, std::uint8_t tkhdFlags) {
    Bytes avc1Payload(78, 0);
    Bytes avc1 = box("avc1", cat({avc1Payload, box("colr", Bytes(10, 1)), box("avcC", avcC)}));
    Bytes stsd = box("stsd", cat({Bytes{0, 0, 0, 0, 0, 0, 0, 1}, avc1}));
    Bytes stbl = box("stbl", cat({stsd, box("stts", Bytes(8, 0))}));
    Bytes mdia = box("mdia", cat({box("mdhd", Bytes(24, 0)), box("minf", cat({box("vmhd", Bytes(12, 0)), stbl}))}));
    Bytes tkhd = box("tkhd", cat({Bytes{0, 0, 0, tkhdFlags}, Bytes(80, 0)}));
    return box("moov", cat({box("mvhd", Bytes(100, 0)), box("trak", cat({tkhd, mdia}))}));
}

class AtomFile {
public:
    explicit AtomFile(const Bytes& bytes) {
        std::ofstream(path(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
        handle = FileHandle::openForReading(path());
    }
    std::string path() const { return dir.file("movie.mp4"); }
    ZVMP4Atom root() const { return ZVMP4Atom::atomAt(0, *handle->size(), fourcc("file"), handle); }

    zqtest::TempDir dir;
    std::shared_ptr<FileHandle> handle;
};

// MARK: - Atoms

TEST(MP4AtomTest, ChildrenWithEveryHeaderForm) {
    Bytes uuid = {'u', 'u', 'i', 'd'};
    Bytes uuidBox;
    put32(uuidBox, 8 + 16 + 3);
    putType(uuidBox, "uuid");
    uuidBox.insert(uuidBox.end(), 16, 0x5A); // extended type
    uuidBox.insert(uuidBox.end(), {7, 8, 9});
    AtomFile file(cat({box("ftyp", Bytes{'i', 's', 'o', 'm'}), box64("wide", Bytes{1, 2, 3}), uuidBox,
                       // Size 0: the last atom runs to the end of the file.
                       Bytes{0, 0, 0, 0, 'm', 'd', 'a', 't', 0xAA, 0xBB}}));
    ZVMP4Atom root = file.root();
    root.setChildOffset(0);

    auto ftyp = root.nextChild();
    ASSERT_TRUE(ftyp);
    EXPECT_EQ(ftyp->type(), fourcc("ftyp"));
    EXPECT_EQ(ftyp->offset(), 8u);
    EXPECT_EQ(ftyp->readAt(0, 100), (Bytes{'i', 's', 'o', 'm'}));

    auto wide = root.nextChild();
    ASSERT_TRUE(wide);
    EXPECT_EQ(ZVMP4Atom::typeName(wide->type()), "wide");
    EXPECT_EQ(wide->offset(), 12u + 16u); // after a 16-byte header
    EXPECT_EQ(wide->length(), 3u);
    EXPECT_EQ(wide->readAt(1, 5), (Bytes{2, 3}));

    auto extended = root.nextChild();
    ASSERT_TRUE(extended);
    EXPECT_EQ(extended->type(), fourcc("uuid"));
    EXPECT_EQ(extended->length(), 3u); // the 16-byte extended type is header
    EXPECT_EQ(extended->readAt(0, 3), (Bytes{7, 8, 9}));

    auto mdat = root.nextChild();
    ASSERT_TRUE(mdat);
    EXPECT_EQ(mdat->type(), fourcc("mdat"));
    EXPECT_EQ(mdat->readAt(0, 10), (Bytes{0xAA, 0xBB}));
    EXPECT_FALSE(root.nextChild());
    EXPECT_EQ(root.childOfType(fourcc("mdat"), 0)->offset(), mdat->offset());
    EXPECT_FALSE(root.childOfType(fourcc("moov"), 0));
}

TEST(MP4AtomTest, AtomsThatDoNotFitAreNotReturned) {
    // A child claiming more than its parent holds, one below its own header size, and a 64-bit size
    // cut off: none is returned, and the cursor stays before them.
    Bytes lying = box("moov", box("trak", Bytes(4, 0)));
    lying[11] = 0xFF; // trak's size: 255, beyond moov
    AtomFile file(cat({lying, Bytes{0, 0, 0, 4, 'f', 'r', 'e', 'e'}}));
    ZVMP4Atom root = file.root();
    auto moov = root.childOfType(fourcc("moov"), 0);
    ASSERT_TRUE(moov);
    EXPECT_FALSE(moov->childOfType(fourcc("trak"), 0));
    root.setChildOffset(moov->offset() + moov->length());
    EXPECT_FALSE(root.nextChild()) << "size 4 is below the header";

    AtomFile cut(Bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0});
    EXPECT_FALSE(cut.root().childOfType(fourcc("mdat"), 0));
    AtomFile tiny(Bytes{0, 0, 0, 8, 'f', 'r'});
    EXPECT_FALSE(tiny.root().childOfType(fourcc("free"), 0)) << "fewer than 8 bytes left";
}

TEST(MP4AtomTest, AvcCChainOfAnEnabledTrack) {
    AtomFile enabled(cat({box("ftyp", Bytes(8, 0)), box("mdat", Bytes(30, 0)), movieWith(testAvcC(), 0x03)}));
    auto record = ZVReadAvcCRecord(enabled.handle);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, testAvcC());

    AtomFile disabled(movieWith(testAvcC(), 0x02));
    EXPECT_FALSE(ZVReadAvcCRecord(disabled.handle)) << "tkhd flag 1 clear: the track is not enabled";

    Bytes broken = testAvcC();
    broken.resize(9); // the SPS is cut off
    AtomFile unusable(movieWith(broken, 0x01));
    EXPECT_FALSE(ZVReadAvcCRecord(unusable.handle));

    // The same file cut short anywhere inside the movie atom yields nothing, and reads nothing beyond.
    Bytes whole = cat({box("ftyp", Bytes(8, 0)), movieWith(testAvcC(), 0x01)});
    for (std::size_t size : {whole.size() - 1, whole.size() - 20, std::size_t{40}}) {
        AtomFile truncated(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
        EXPECT_FALSE(ZVReadAvcCRecord(truncated.handle)) << size;
    }
}

// MARK: - Bit-stream reader

TEST(NALUnitTest, ExpGolombValuesAcrossEmulationPrevention) {
    Bytes nal = H264BitWriter(0x41).ue(0).ue(1).ue(2).ue(7).ue(65534).se(-3).se(3).se(0).bits(0, 24).bits(1, 8).take();
    ZVNALUnit unit(nal);
    EXPECT_EQ(unit.type(), 1);
    EXPECT_EQ(unit.refIdcBits(), 0x40);
    EXPECT_EQ(unit.getUE(), 0u);
    EXPECT_EQ(unit.getUE(), 1u);
    EXPECT_EQ(unit.getUE(), 2u);
    EXPECT_EQ(unit.getUE(), 7u);
    EXPECT_EQ(unit.getUE(), 65534u);
    EXPECT_EQ(unit.getSE(), -3);
    EXPECT_EQ(unit.getSE(), 3);
    EXPECT_EQ(unit.getSE(), 0);
    // 00 00 00 01 went out as 00 00 03 00 01: read back without the 03.
    const Bytes escape{0, 0, 3};
    EXPECT_NE(std::search(nal.begin(), nal.end(), escape.begin(), escape.end()), nal.end());
    EXPECT_EQ(unit.getWord(24), 0u);
    EXPECT_EQ(unit.getWord(8), 1u);
    EXPECT_TRUE(unit.noMoreBits());
    EXPECT_FALSE(unit.overrun());
    unit.getBit();
    unit.getWord(16);
    EXPECT_TRUE(unit.overrun());

    unit.resetBitstream();
    EXPECT_FALSE(unit.noMoreBits());
    EXPECT_EQ(unit.getUE(), 0u);
}

TEST(NALUnitTest, MalformedExpGolombIsAnOverrunNotAHugeValue) {
    Bytes zeros{0x41, 0, 0, 0, 0, 0, 0x80};
    ZVNALUnit unit(zeros);
    EXPECT_EQ(unit.getUE(), 0u);
    EXPECT_TRUE(unit.overrun());
    ZVNALUnit cut(Bytes{0x41});
    EXPECT_EQ(cut.getUE(), 0u);
    EXPECT_TRUE(cut.overrun());
}

TEST(NALUnitTest, SequenceParameterSets) {
    Bytes sps = zqtest::baselineSps(320, 240, 41);
    ZVSeqParamSet baseline{ZVNALUnit(sps)};
    ASSERT_TRUE(baseline.isValid());
    EXPECT_EQ(baseline.profile(), 66);
    EXPECT_EQ(baseline.level(), 41);
    EXPECT_EQ(baseline.width(), 320u);
    EXPECT_EQ(baseline.height(), 240u);

    // High profile, 1920×1080 (68 rows of macroblocks cropped by 4 rows of chroma pairs), with a
    // scaling list, POC type 1.
    Bytes high = H264BitWriter(0x67)
                     .bits(100, 8).bits(0, 8).bits(40, 8).ue(1)
                     .ue(1).ue(0).ue(0).bits(0, 1) // chroma 4:2:0, 8-bit, no bypass
                     .bits(1, 1)                   // scaling matrix present
                     .bits(1, 1).se(2).se(-1).se(-1).se(-8) // list 0: 10, 9, 8, then 0 repeats 8 to the end
                     .bits(0, 7)                   // the other seven lists absent
                     .ue(4).ue(1).bits(0, 1).se(-2).se(1).ue(2).se(1).se(-1)
                     .ue(4).bits(0, 1).ue(119).ue(67).bits(1, 1).bits(1, 1)
                     .bits(1, 1).ue(0).ue(0).ue(0).ue(4) // crop 8 rows at the bottom
                     .bits(0, 1)
                     .take();
    ZVSeqParamSet hd{ZVNALUnit(high)};
    ASSERT_TRUE(hd.isValid());
    EXPECT_EQ(hd.profile(), 100);
    EXPECT_EQ(hd.seqParamSetId(), 1u);
    EXPECT_EQ(hd.log2MaxFrameNum(), 8u);
    EXPECT_EQ(hd.picOrderCntType(), 1u);
    EXPECT_EQ(hd.width(), 1920u);
    EXPECT_EQ(hd.height(), 1080u);

    Bytes truncated(sps.begin(), sps.begin() + 6);
    EXPECT_FALSE(ZVSeqParamSet{ZVNALUnit(truncated)}.isValid());
    EXPECT_FALSE(ZVSeqParamSet{ZVNALUnit(testPps())}.isValid()) << "not an SPS";
}

TEST(NALUnitTest, SliceHeadersAndSEIMessages) {
    ZVSliceHeader second{ZVNALUnit(zqtest::sliceNal(1, 0x40, 40))};
    ASSERT_TRUE(second.isValid());
    EXPECT_EQ(second.firstMbInSlice(), 40u);
    EXPECT_EQ(second.sliceType(), 5u);
    EXPECT_FALSE(ZVSliceHeader{ZVNALUnit(testSps())}.isValid());

    // A user-data message (type 5, 20 bytes) and one of type 300 (FF 2D) with 2 bytes, then the stop bit.
    Bytes sei{0x06, 5, 20};
    sei.insert(sei.end(), 20, 0x11);
    sei.insert(sei.end(), {0xFF, 45, 2, 0, 0, 3, 0x80});
    auto messages = ZVSEIMessage::parse(ZVNALUnit(sei));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].type(), 5u);
    EXPECT_EQ(messages[0].size(), 20u);
    EXPECT_EQ(messages[1].type(), 300u);
    EXPECT_EQ(messages[1].payload(), (Bytes{0, 0})) << "00 00 03 is 00 00 in the payload";

    Bytes lying{0x06, 5, 200, 1, 2, 3};
    EXPECT_TRUE(ZVSEIMessage::parse(ZVNALUnit(lying)).empty());
}

TEST(NALUnitTest, AvcCRecords) {
    ZVavcCHeader header(testAvcC());
    ASSERT_TRUE(header.isValid());
    EXPECT_EQ(header.profile(), 66);
    EXPECT_EQ(header.lengthSize(), 4);
    EXPECT_EQ(header.sps().front(), testSps());
    EXPECT_EQ(header.pps().front(), testPps());
    Bytes twoByteLengths = testAvcC();
    twoByteLengths[4] = 0xFD;
    EXPECT_EQ(ZVavcCHeader(twoByteLengths).lengthSize(), 2);
    EXPECT_FALSE(ZVavcCHeader(Bytes{1, 66, 0, 30, 0xFF, 0xE1, 0, 50, 0x67}).isValid());
    EXPECT_FALSE(ZVavcCHeader(Bytes{}).isValid());
}

// MARK: - Access units

class AssemblerTest : public ::testing::Test {
protected:
    ZVAccessUnitAssembler assembler{[this](std::vector<ZQBytes>&& unit) { units.push_back(std::move(unit)); }};
    std::vector<std::vector<ZQBytes>> units;

    static Bytes lengthPrefixed(std::initializer_list<Bytes> nals) {
        Bytes out;
        for (auto& nal : nals) platform::h264::appendLengthPrefixed(out, nal);
        return out;
    }
    std::vector<std::vector<int>> types() const {
        std::vector<std::vector<int>> out;
        for (auto& unit : units) {
            out.emplace_back();
            for (auto& nal : unit) out.back().push_back(nal[0] & 0x1F);
        }
        return out;
    }
};

TEST_F(AssemblerTest, PicturesAreGroupedByTheirFirstSliceAndLeadingUnits) {
    Bytes sei{0x06, 5, 1, 0, 0x80};
    const Bytes in = lengthPrefixed({sei, zqtest::sliceNal(5, 0x60, 0), zqtest::sliceNal(5, 0x60, 30), // IDR in two slices
                                     zqtest::sliceNal(1, 0x40, 0), zqtest::sliceNal(1, 0x40, 30),      // P in two slices
                                     zqtest::sliceNal(1, 0x00, 30),  // non-reference: nal_ref_idc drops to 0
                                     sei, zqtest::sliceNal(1, 0x40, 0), // an SEI after a slice opens the next picture
                                     zqtest::sliceNal(5, 0x60, 0)});
    auto used = assembler.consume(in);
    EXPECT_EQ(used.bytes, in.size());
    EXPECT_FALSE(used.corrupt);
    EXPECT_EQ(types(), (std::vector<std::vector<int>>{{6, 5, 5}, {1, 1}, {1}, {6, 1}}));
    EXPECT_TRUE(assembler.isGathering()); // the last IDR waits for what follows it
    assembler.flush();
    EXPECT_EQ(types().back(), (std::vector<int>{5}));
    EXPECT_FALSE(assembler.isGathering());
}

TEST_F(AssemblerTest, AnIncompleteUnitIsReadAgainWholeAtTheNextCall) {
    const Bytes first = zqtest::sliceNal(5, 0x60, 0);
    Bytes big = zqtest::sliceNal(1, 0x40, 0);
    big.resize(300, 0x55);
    const Bytes in = lengthPrefixed({first, big, zqtest::sliceNal(1, 0x40, 0)});
    const std::size_t bigStart = 4 + first.size();

    // Only the length field of the second unit is there.
    auto used = assembler.consume({in.data(), bigStart + 4});
    EXPECT_EQ(used.bytes, bigStart);
    // A length field plus part of its unit.
    used = assembler.consume({in.data() + bigStart, 4 + 100});
    EXPECT_EQ(used.bytes, 0u);
    // Exactly a length field's worth: not even read.
    EXPECT_EQ(assembler.consume({in.data() + bigStart, 4}).bytes, 0u);
    EXPECT_TRUE(units.empty()) << "no partial unit is delivered";
    used = assembler.consume({in.data() + bigStart, in.size() - bigStart});
    EXPECT_EQ(used.bytes, in.size() - bigStart);
    ASSERT_EQ(units.size(), 2u);
    ASSERT_EQ(units[1].size(), 1u);
    EXPECT_EQ(Bytes(units[1][0].begin(), units[1][0].end()), big);
}

TEST_F(AssemblerTest, OtherLengthSizesEmptyUnitsAndCorruptLengths) {
    assembler.setLengthSize(2);
    Bytes a = zqtest::sliceNal(5, 0x60, 0), b = zqtest::sliceNal(1, 0x40, 0);
    Bytes in{0, static_cast<std::uint8_t>(a.size())};
    in.insert(in.end(), a.begin(), a.end());
    in.insert(in.end(), {0, 0}); // an empty unit
    in.push_back(0);
    in.push_back(static_cast<std::uint8_t>(b.size()));
    in.insert(in.end(), b.begin(), b.end());
    EXPECT_EQ(assembler.consume(in).bytes, in.size());
    EXPECT_EQ(types(), (std::vector<std::vector<int>>{{5}}));

    ZVAccessUnitAssembler four([](std::vector<ZQBytes>&&) {});
    Bytes corrupt{0x7F, 0xFF, 0xFF, 0xFF, 0x41, 0x00};
    auto used = four.consume(corrupt);
    EXPECT_TRUE(used.corrupt);
    EXPECT_EQ(used.bytes, 0u);
}

// MARK: - From access units to frames

class FrameDeliveryTest : public ::testing::Test {
protected:
    FrameDeliveryTest() {
        auto configuration = std::make_shared<ZQLiveVideoConfiguration>();
        configuration->setVideoSize({160, 120});
        encoder = ZVH264VideoEncoder::create(configuration);
        encoder->setDelegate(delegate);
        encoder->buildParameterSets(testAvcC());
    }
    std::vector<std::shared_ptr<ZQVideoFrame>> frames() {
        std::vector<std::shared_ptr<ZQVideoFrame>> out;
        for (auto& r : delegate->snapshot()) out.push_back(r.frame);
        return out;
    }
    static ZQBytes bytes(const Bytes& b) { return ZQBytes(b); }

    std::shared_ptr<zqtest::RecordingVideoDelegate> delegate = std::make_shared<zqtest::RecordingVideoDelegate>();
    std::shared_ptr<ZVH264VideoEncoder> encoder;
};

TEST_F(FrameDeliveryTest, AKeyFrameIsOneBareNalUnitWithBareParameterSets) {
    const Bytes idr = zqtest::sliceNal(5, 0x60, 0);
    encoder->deliverAccessUnit({bytes(Bytes{0x06, 5, 1, 0, 0x80}), bytes(idr)}, 5000);
    auto out = frames();
    ASSERT_EQ(out.size(), 1u) << "the SEI is not sent";
    EXPECT_EQ(Bytes(out[0]->data().begin(), out[0]->data().end()), idr);
    EXPECT_TRUE(out[0]->isKeyFrame());
    EXPECT_EQ(out[0]->timestamp(), 5000u);
    EXPECT_EQ(Bytes(out[0]->sps().begin(), out[0]->sps().end()), testSps());
    EXPECT_EQ(Bytes(out[0]->pps().begin(), out[0]->pps().end()), testPps());
    EXPECT_EQ(out[0]->sps()[1], 66) << "profile where the publisher reads it";
}

TEST_F(FrameDeliveryTest, EachSliceOfAPictureIsAFrameOfItsOwn) {
    const Bytes a = zqtest::sliceNal(1, 0x40, 0, 0x11), b = zqtest::sliceNal(1, 0x40, 30, 0x22);
    encoder->deliverAccessUnit({bytes(a), bytes(b)}, 7000);
    auto out = frames();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Bytes(out[0]->data().begin(), out[0]->data().end()), a);
    EXPECT_EQ(Bytes(out[1]->data().begin(), out[1]->data().end()), b);
    for (auto& f : out) {
        EXPECT_EQ(f->timestamp(), 7000u);
        EXPECT_FALSE(f->isKeyFrame());
    }
}

TEST_F(FrameDeliveryTest, OrphansGoBetweenTheLastAndTheNextTimedUnit) {
    encoder->deliverAccessUnit({bytes(zqtest::sliceNal(5, 0x60, 0))}, 1000);
    std::vector<Bytes> orphans;
    for (int i = 0; i < 3; ++i) {
        orphans.push_back(zqtest::sliceNal(1, 0x40, 0, static_cast<std::uint8_t>(i)));
        encoder->deliverAccessUnit({bytes(orphans.back())}, 0);
    }
    encoder->deliverAccessUnit({bytes(Bytes{0x06, 5, 1, 0, 0x80})}, 0); // an orphaned SEI: dropped
    EXPECT_EQ(frames().size(), 1u) << "orphans wait";
    encoder->deliverAccessUnit({bytes(zqtest::sliceNal(1, 0x40, 0, 9))}, 1400);

    auto out = frames();
    ASSERT_EQ(out.size(), 5u);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(out[static_cast<std::size_t>(i)]->timestamp(), 1100u) << "L + (T - L) / 4";
        const ZQBytes& data = out[static_cast<std::size_t>(i)]->data();
        EXPECT_EQ(Bytes(data.begin(), data.end()), orphans[static_cast<std::size_t>(i - 1)]) << "in their order";
    }
    EXPECT_EQ(out[4]->timestamp(), 1400u);
    EXPECT_EQ(encoder->lastPTS(), 1400);
}

TEST_F(FrameDeliveryTest, OrphansBeforeAnyTimedUnitTakeItsTime) {
    encoder->deliverAccessUnit({bytes(zqtest::sliceNal(5, 0x60, 0))}, 0);
    EXPECT_FALSE(encoder->lastPTS());
    encoder->deliverAccessUnit({bytes(zqtest::sliceNal(1, 0x40, 0))}, 800);
    auto out = frames();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->timestamp(), 800u);
    EXPECT_TRUE(out[0]->isKeyFrame());
}

} // namespace
