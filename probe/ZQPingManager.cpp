#include "ZQLiveKit/ZQPingManager.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include "ZQLiveKit/ZQAddressItem.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Sync.h"
#include "platform/foundation/DispatchCheck.h"
#include "probe/ZQSinglePinger.h"

// The working state of one request; it lives until its completion has run.
struct ZQPingManager::Request {
    std::shared_ptr<platform::DispatchGroup> group = platform::DispatchGroup::create();
    // Every candidate host, mapped to its item once it produced a reply or a lost probe.
    std::map<std::string, std::shared_ptr<ZQAddressItem>> hostTable;
    std::vector<std::shared_ptr<ZQAddressItem>> items; // in order of their first sample
    std::vector<std::string> failed;
    std::vector<std::shared_ptr<ZQSinglePinger>> runs;
    CompletionHandler completion;

    void handleRecord(const ZQPingItem& record) {
        switch (record.status()) {
        case ZQPingStatusStarted:
            break;
        case ZQPingStatusSendFailed:
        case ZQPingStatusFailed:
            failed.push_back(record.hostName());
            group->leave();
            break;
        case ZQPingStatusReplied:
        case ZQPingStatusTimedOut: {
            auto& item = hostTable[record.hostName()];
            if (!item) item = std::make_shared<ZQAddressItem>(record.hostName(), record.desc());
            item->delayTimes().push_back(record.status() == ZQPingStatusReplied ? record.millSecondsDelay()
                                                                                 : ZQAddressItem::kLostProbeDelay);
            if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
            break;
        }
        case ZQPingStatusFinished:
            group->leave();
            break;
        }
    }
};

namespace {

struct Candidate {
    std::string host;
    std::string desc;
};

std::vector<Candidate> readCandidates(const nlohmann::json& addressList) {
    std::vector<Candidate> candidates;
    if (!addressList.is_array()) return candidates;
    for (auto& entry : addressList) {
        if (!entry.is_object()) continue;
        auto host = entry.find("host");
        if (host == entry.end() || !host->is_string()) continue;
        auto desc = entry.find("desc");
        candidates.push_back({host->get<std::string>(),
                              desc != entry.end() && desc->is_string() ? desc->get<std::string>() : std::string()});
    }
    return candidates;
}

std::string timeText(const ZQAddressItem& item) {
    if (item.desc() == ZQPingManager::kGlobalNodeLabel) return item.desc();
    char text[64];
    std::snprintf(text, sizeof text, "%.2f ms", item.delayMillSeconds());
    return text;
}

} // namespace

ZQPingManager::ZQPingManager() = default;

// Runs still going are dropped with their requests: their records can no longer reach a completion.
ZQPingManager::~ZQPingManager() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    mSafety.invalidate();
}

void ZQPingManager::getFatestAddress(nlohmann::json addressList, CompletionHandler completionHandler) {
    platform::DispatchQueue::main()->async(
        mSafety.safe([this, addressList = std::move(addressList), completion = std::move(completionHandler)]() mutable {
            startRequest(addressList, std::move(completion));
        }));
}

void ZQPingManager::startRequest(const nlohmann::json& addressList, CompletionHandler completionHandler) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto candidates = readCandidates(addressList);
    if (candidates.empty()) return;

    mSinglePingerArray.clear();
    auto request = std::make_shared<Request>();
    request->completion = std::move(completionHandler);
    for (auto& candidate : candidates) request->hostTable[candidate.host] = nullptr;
    mRequests.push_back(request);

    std::weak_ptr<Request> weakRequest = request;
    auto observer = mRecordHandler;
    for (auto& candidate : candidates) {
        request->group->enter();
        auto run = ZQSinglePinger::startWithHostName(
            candidate.host, mProbeCount,
            [weakRequest, observer](const ZQPingItem& record) {
                if (observer) observer(record);
                if (auto live = weakRequest.lock()) live->handleRecord(record);
            },
            candidate.desc);
        request->runs.push_back(run);
        mSinglePingerArray.push_back(run);
    }
    request->group->notify(platform::DispatchQueue::main(), mSafety.safe([this, weakRequest] {
        if (auto live = weakRequest.lock()) finishRequest(live);
    }));
}

void ZQPingManager::finishRequest(const std::shared_ptr<Request>& request) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto& items = request->items;
    auto& failed = request->failed;
    for (auto& item : items) {
        if (!item->delayTimes().empty() && item->delayMillSeconds() == 0)
            failed.push_back(item->hostName());
        else if (item->delayTimes().empty() && std::find(failed.begin(), failed.end(), item->hostName()) == failed.end())
            failed.push_back(item->hostName());
    }
    // A host that failed is dropped even if it had answered some probes.
    for (auto& host : failed)
        std::erase_if(items, [&](const std::shared_ptr<ZQAddressItem>& item) { return item->hostName() == host; });

    std::optional<std::string> fastest;
    std::optional<nlohmann::json> rows;
    if (!items.empty()) {
        std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
            return a->delayMillSeconds() < b->delayMillSeconds();
        });
        rows = nlohmann::json::array();
        for (std::size_t i = 0; i < items.size(); ++i)
            rows->push_back({{"index", i + 1}, {"time", timeText(*items[i])}, {"host", items[i]->desc()}});
        fastest = items.front()->hostName();
    }

    // Done with the request before the completion runs: it may destroy this manager.
    std::erase(mRequests, request);
    auto completion = std::move(request->completion);
    if (completion) completion(fastest, rows);
}
