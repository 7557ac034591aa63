#include "VerifyCommand.h"

#include "log/CorvelSetupLogger.h"
#include "pipeline/InstallVerification.h"
#include "pipeline/SetupSession.h"
#include "platform/Directories.h"
#include "record/CorvelSetupManifest.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <optional>
#include <thread>

namespace {

// The reason as the last line of standard error, after every queued log line.
int fail(const std::string& reason) {
    CorvelSetupLogger::shared().flush();
    std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
}

} // namespace

int runVerify(const sigset_t& stopSignals, std::vector<std::string>* damaged) {
    if (auto problem = platform::homeProblem()) {
        log(LogLevel::error, "✘ " + *problem);
        return fail(*problem);
    }
    std::optional<SetupLock> lock;
    try {
        lock = SetupLock::tryAcquire();
        if (!lock) {
            log(LogLevel::error, "✘ 另一个 Corvel Setup 正在运行，本次未做任何改动");
            return fail("另一个 Corvel Setup 正在运行，请等它结束后再试");
        }
    } catch (const std::exception& e) {
        log(LogLevel::warn, std::string("  ⚠ 无法创建安装锁文件: ") + e.what());
    }

    log(LogLevel::info, "==================== 校验已安装的产品 ====================");
    std::stop_source stop;
    std::optional<InstallVerification::Report> report;
    std::exception_ptr error;
    std::atomic<bool> finished = false;
    std::jthread worker([&] {
        try {
            report = InstallVerification::verifyInstalled(stop.get_token());
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
    });
    bool interrupted = false;
    const timespec tick{0, 100'000'000};
    while (!finished) {
        int signal = ::sigtimedwait(&stopSignals, nullptr, &tick);
        if ((signal == SIGINT || signal == SIGTERM) && !interrupted) {
            interrupted = true;
            log(LogLevel::warn,
                signal == SIGINT ? "收到 SIGINT，正在取消…" : "收到 SIGTERM，正在取消…");
            stop.request_stop();
        }
    }
    worker.join();

    int status = 0;
    std::string reason;
    if (interrupted) {
        log(LogLevel::warn, "任务被取消");
        reason = "校验已取消";
        status = 130;
    } else if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reason = fmt::format("校验失败: {}", e.what());
        }
        log(LogLevel::error, "✘ " + reason);
        status = 1;
    } else {
        for (const auto& problem : report->problems)
            std::printf("%s\n", InstallVerification::describe(problem).c_str());
        std::fflush(stdout);
        auto bad = report->damagedUrls();
        if (damaged) *damaged = bad;
        if (bad.empty()) {
            log(LogLevel::info, fmt::format("✔ 校验完成：{} 个产品全部一致", report->products));
        } else {
            reason =
                fmt::format("校验完成：{} 个产品中有 {} 个不一致", report->products, bad.size());
            log(LogLevel::error, "✘ " + reason);
            status = 1;
        }
    }
    CorvelSetupManifest::persistSessionLog();
    if (status != 0) return fail(reason), status;
    CorvelSetupLogger::shared().flush();
    return 0;
}
