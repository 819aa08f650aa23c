#pragma once
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/ZQPingItem.h"
#include "ZQPlatform/Task.h"

class ZQSinglePinger;

// Answers which of several candidate hosts answers ICMP echo fastest: probes all of them at once,
// drops the hosts that failed, ranks the rest by mean delay (a lost probe counts 1000 ms) and hands
// back the fastest host with a ranked table for display. Create, configure and destroy it on the
// main thread; destroying it drops its unfinished requests without calling their completions.
class ZQLIVEKIT_EXPORT ZQPingManager {
public:
    // The fastest host (none when every host failed) and the rows, best first, each
    // {"index": rank from 1, "time": "%.2f ms" of the mean (or the label itself when it is
    // "全球节点"), "host": the label}.
    using CompletionHandler =
        std::function<void(const std::optional<std::string>& fastestHost, const std::optional<nlohmann::json>& rows)>;
    using RecordHandler = std::function<void(const ZQPingItem&)>;
    static constexpr long kDefaultProbeCount = 3;
    static constexpr const char* kGlobalNodeLabel = "全球节点";

    ZQPingManager();
    ~ZQPingManager();
    ZQPingManager(const ZQPingManager&) = delete;
    ZQPingManager& operator=(const ZQPingManager&) = delete;

    // Probes the candidates, an array of objects {"host": name or address, "desc": label}; entries
    // without a "host" string are ignored and a missing label reads as "". Returns at once; the work
    // runs on the main queue and `completionHandler` is called there at most once: not at all for an
    // empty list (or when the manager is destroyed first). Requests may overlap. Any thread.
    void getFatestAddress(nlohmann::json addressList, CompletionHandler completionHandler);

    // Probes per host for requests started from now on (3 unless changed). Main thread.
    long probeCount() const { return mProbeCount; }
    void setProbeCount(long count) { mProbeCount = count; }
    // Sees every record of every run, before the manager handles it. Main thread.
    void setRecordHandler(RecordHandler handler) { mRecordHandler = std::move(handler); }
    // The runs of the latest request. Main thread.
    const std::vector<std::shared_ptr<ZQSinglePinger>>& singlePingerArray() const { return mSinglePingerArray; }

private:
    struct Request;
    // Main queue.
    void startRequest(const nlohmann::json& addressList, CompletionHandler completionHandler);
    void finishRequest(const std::shared_ptr<Request>& request);

    // Owned by the main queue.
    std::vector<std::shared_ptr<ZQSinglePinger>> mSinglePingerArray;
    std::vector<std::shared_ptr<Request>> mRequests; // in flight; each keeps its runs alive
    long mProbeCount = kDefaultProbeCount;
    RecordHandler mRecordHandler;
    platform::TaskSafety mSafety;
};
