// The NAL walk over arbitrary media data, delivered in two reads, with every unit's fields parsed.
// Byte 0 picks the length size, byte 1 where the first read ends.
#include "encoder/ZVAccessUnitAssembler.h"
#include "encoder/ZVNALUnit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int lengthSize = data[0] % 4 + 1;
    std::span<const std::uint8_t> media(data + 2, size - 2);
    const std::size_t split = media.empty() ? 0 : data[1] % (media.size() + 1);

    ZVAccessUnitAssembler assembler([](std::vector<ZQBytes>&& unit) {
        for (const auto& nal : unit) {
            ZVNALUnit view({nal.data(), nal.size()});
            (void)ZVSeqParamSet(view).width();
            (void)ZVSliceHeader(view).firstMbInSlice();
            (void)ZVSEIMessage::parse(view);
        }
    });
    assembler.setLengthSize(lengthSize);
    auto first = assembler.consume(media.first(split));
    if (!first.corrupt) assembler.consume(media.subspan(first.bytes));
    assembler.flush();
    (void)ZVavcCHeader(media).isValid();
    return 0;
}
