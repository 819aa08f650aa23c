// Feeds arbitrary bytes to the store client's answer interpreters: both list interpreters (and the
// models they build) and the reading of an error answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreModule.h"
#include "store/ZQSStoreRequest.h"

namespace {

// Reads every field, so the sanitizers see each value the models hold.
std::size_t touch(const ZQSSingleItemModel& m) {
    std::size_t n = m.id().value_or("").size() + m.title().value_or("").size() + m.cover().value_or("").size() +
                    m.desc().value_or("").size() + m.buttonTitle().value_or("").size();
    if (m.tags())
        for (auto& tag : *m.tags()) n += tag.size();
    return n + static_cast<std::size_t>(m.top()) + static_cast<std::size_t>(m.push()) +
           static_cast<std::size_t>(m.score() & 1) + static_cast<std::size_t>(m.originPrice() + m.currentPrice() > 0);
}

std::size_t touch(const ZQSImportSingleItemModel& m) {
    return m.id().value_or("").size() + m.title().value_or("").size() + m.cover().value_or("").size() +
           static_cast<std::size_t>(m.bind() & 1) + static_cast<std::size_t>(m.gmtCreate() > 0) +
           static_cast<std::size_t>(m.originPrice() + m.currentPrice() > 0);
}

template <typename List>
std::size_t touchList(const List& list) {
    std::size_t n = 0;
    if (list.records())
        for (auto& item : *list.records()) n += touch(*item);
    if (auto& page = list.pagination()) n += static_cast<std::size_t>(page->pageNo() ^ page->pageSize() ^ page->totalCount() ^ page->pageCount()) & 1;
    return n;
}

volatile std::size_t gSink;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto client = [] {
        platform::Console::setEnabled(false);
        platform::RunLoop::main().runUntilIdle(); // this thread is the main thread: pages arrive inline
        return ZQSLivePushStoreFunc::create(std::make_shared<ZQSLivePushStoreFuncConfig>(), nullptr);
    }();
    std::string body(reinterpret_cast<const char*>(data), size);
    auto closure = [](bool success, const std::string& message) { gSink = gSink + success + message.size(); };
    client->receiveItemListRequestData(body, closure, [](auto& list) { gSink = gSink + touchList(*list); });
    client->receiveImportItemListRequestData(body, closure, [](auto& list) { gSink = gSink + touchList(*list); });
    zqs::handleStoreResponse(zqs::kPushItem, std::nullopt, platform::HTTPURLResponse{"http://fuzz", 500, {}}, body,
                             closure, nullptr);
    platform::RunLoop::main().runUntilIdle();
    return 0;
}
