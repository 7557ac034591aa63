#include "pipeline/PipelineLogSections.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/DomainError.h"
#include "platform/HttpClient.h"
#include "record/CorvelSetupManifest.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>

namespace PipelineLogSections {

void logMigrationResult(const CVSharedDataPaths::MigrationResult& result) {
    using CVSharedDataPaths::RootOutcome;
    if (result.rootOutcome == RootOutcome::migrated)
        log(LogLevel::info, "已将 com.tavrin.data 重命名为 com.corvel.data");
    else if (result.rootOutcome == RootOutcome::bothPresent)
        log(LogLevel::warn, "检测到 com.tavrin.data 与 com.corvel.data 并存，Setup "
                            "将继续写入新目录；主 App 首次启动时会合并并立即清理旧目录");
    if (result.dataFolderMoved) log(LogLevel::info, "已将 TAVRIN_DATA 重命名为 CORVEL_DATA");
}

void logEnvironment(MemoryTier tier, std::uint64_t physicalMemory, std::int64_t neededBytes,
                    std::int64_t availableBytes) {
    log(LogLevel::info, "-------------------- 环境检测 --------------------");
    log(LogLevel::info, fmt::format("CPU 架构: {}", buildArchitecture()));
    auto memory = static_cast<std::int64_t>(
        std::min<std::uint64_t>(physicalMemory, static_cast<std::uint64_t>(INT64_MAX)));
    log(LogLevel::info,
        fmt::format("物理内存: {} ({})", formatByteCount(memory), memoryTierName(tier)));
    log(LogLevel::info, "需要空间: " + formatByteCount(neededBytes));
    log(LogLevel::info, "可用空间: " + formatByteCount(availableBytes));
}

void logPlan(const std::vector<CVTAVAsset>& plan, std::int64_t totalBytes) {
    log(LogLevel::info, "-------------------- 下载计划 --------------------");
    log(LogLevel::info,
        fmt::format("共 {} 个资源，预计 {}", plan.size(), formatByteCount(totalBytes)));
    for (const auto& asset : plan) {
        log(LogLevel::info,
            fmt::format("  • {} — {}", asset.name, formatByteCount(asset.expectedBytes)));
        log(LogLevel::info, "    URL: " + asset.url.absoluteString());
    }
}

void logFailure(const std::exception_ptr& error) {
    log(LogLevel::error, "==================== 安装失败 ====================");
    log(LogLevel::error, "错误: " + describeError(error));
    log(LogLevel::error, "NSError: " + errorDebugDescription(error));
    CorvelSetupManifest::persistSessionLog();
}

std::string errorDebugDescription(const std::exception_ptr& error) {
    auto line = [](std::string_view domain, long long code, std::string_view description) {
        return fmt::format("Error Domain={} Code={} \"{}\"", domain, code, description);
    };
    if (!error) return line("std::exception", -1, describeError(error));
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& e) {
        return line("CorvelInstallError", static_cast<long long>(e.value().index()), e.what());
    } catch (const DomainError& e) {
        return line(e.domain(), e.code(), e.what());
    } catch (const platform::TransportError& e) {
        return line("libcurl", e.curlCode(), e.what());
    } catch (const std::filesystem::filesystem_error& e) {
        return line("std::filesystem", e.code().value(), e.what());
    } catch (const std::system_error& e) {
        return line("POSIX", e.code().value(), e.what());
    } catch (const std::exception& e) {
        return line("std::exception", -1, e.what());
    } catch (...) {
        return line("std::exception", -1, describeError(error));
    }
}

} // namespace PipelineLogSections
