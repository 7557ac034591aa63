#include "types/CorvelInstallError.h"

#include "log/ByteCount.h"

#include <cerrno>
#include <system_error>
#include <type_traits>

std::string describeError(const std::exception_ptr& error) {
    if (!error) return "未知错误";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知错误";
    }
}

namespace {

std::string describe(const CorvelInstallError::Case& value) {
    return std::visit(
        [](const auto& c) -> std::string {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, CorvelInstallError::DiskSpaceInsufficient>)
                return "磁盘空间不足：需要 " + formatByteCount(c.needed) + "，可用 " +
                       formatByteCount(c.available) +
                       (c.volume.empty() ? std::string() : "（" + c.volume + " 所在磁盘）");
            else if constexpr (std::is_same_v<T, CorvelInstallError::Network>)
                return "网络错误：" + describeError(c.underlying);
            else if constexpr (std::is_same_v<T, CorvelInstallError::ChecksumMismatch>)
                return c.asset + " 校验失败，文件可能已损坏";
            else if constexpr (std::is_same_v<T, CorvelInstallError::ExtractFailed>)
                return c.asset + " 解压失败：" + c.stderrText;
            else if constexpr (std::is_same_v<T, CorvelInstallError::MoveFailed>)
                return c.asset + " 安装失败：" + describeError(c.underlying);
            else if constexpr (std::is_same_v<T, CorvelInstallError::DiskFull>)
                return c.asset + " 安装失败：磁盘空间不足（" + c.detail + "）";
            else
                return "已取消";
        },
        value);
}

} // namespace

CorvelInstallError::CorvelInstallError(Case value)
    : value_(std::move(value)), description_(describe(value_)) {}

CorvelInstallError CorvelInstallError::diskSpaceInsufficient(std::int64_t needed,
                                                             std::int64_t available,
                                                             std::string volume) {
    return CorvelInstallError(DiskSpaceInsufficient{needed, available, std::move(volume)});
}
CorvelInstallError CorvelInstallError::network(std::exception_ptr underlying) {
    return CorvelInstallError(Network{std::move(underlying)});
}
CorvelInstallError CorvelInstallError::checksumMismatch(std::string asset, std::string expected,
                                                        std::string got) {
    return CorvelInstallError(
        ChecksumMismatch{std::move(asset), std::move(expected), std::move(got)});
}
CorvelInstallError CorvelInstallError::extractFailed(std::string asset, std::string stderrText) {
    return CorvelInstallError(ExtractFailed{std::move(asset), std::move(stderrText)});
}
CorvelInstallError CorvelInstallError::moveFailed(std::string asset,
                                                  std::exception_ptr underlying) {
    return CorvelInstallError(MoveFailed{std::move(asset), std::move(underlying)});
}
CorvelInstallError CorvelInstallError::cancelled() {
    return CorvelInstallError(Cancelled{});
}
CorvelInstallError CorvelInstallError::diskFull(std::string asset, std::string detail) {
    return CorvelInstallError(DiskFull{std::move(asset), std::move(detail)});
}

std::exception_ptr asDiskFull(const std::exception_ptr& error, const std::string& asset) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        const int code = e.code().value();
        if (e.code().category() == std::generic_category() && (code == ENOSPC || code == EDQUOT))
            return std::make_exception_ptr(CorvelInstallError::diskFull(asset, e.what()));
    } catch (...) {
    }
    return error;
}
