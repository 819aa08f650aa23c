// Cost of one log entry as the day's file grows: appending keeps it flat, where rewriting the whole
// file grew with every entry already written.
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <string>
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQPlatform/SystemInfo.h"

namespace {

void BM_SaveLogEntry(benchmark::State& state) {
    auto home = std::filesystem::temp_directory_path() / ("zqbench-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    platform::SystemInfo::setHomeDirectory(home.string());
    {
        SaveLogUtil log;
        log.isNeedToSaveLog(true);
        const std::string text = "请求直播地址 http://live.example.com/api/live/create?roomId=123456&bitrate=1200";
        for (long i = 0; i < state.range(0); ++i) log.saveLog(text, "request");
        for (auto _ : state) log.saveLog(text, "request");
        state.counters["fileBytes"] = static_cast<double>(std::filesystem::file_size(log.saveLogPath()));
    }
    std::filesystem::remove_all(home);
    platform::SystemInfo::setHomeDirectory("");
}
// Entries already in the file before timing starts.
BENCHMARK(BM_SaveLogEntry)->Arg(0)->Arg(10000)->Arg(100000);

} // namespace
