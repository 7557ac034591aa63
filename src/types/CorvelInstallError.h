#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

// The one error a step of the setup carries up to the run. what() is the
// description people see.
class CorvelInstallError : public std::exception {
  public:
    struct DiskSpaceInsufficient {
        std::int64_t needed;
        std::int64_t available;
        std::string volume; // the folder whose file system is short; may be empty
    };
    // The underlying error is kept whole so callers can inspect it.
    struct Network {
        std::exception_ptr underlying;
    };
    struct ChecksumMismatch {
        std::string asset;
        std::string expected;
        std::string got;
    };
    struct ExtractFailed {
        std::string asset;
        std::string stderrText;
    };
    struct MoveFailed {
        std::string asset;
        std::exception_ptr underlying;
    };
    struct Cancelled {};
    // A write failed for want of space or quota while installing.
    struct DiskFull {
        std::string asset;
        std::string detail;
    };

    using Case = std::variant<DiskSpaceInsufficient, Network, ChecksumMismatch, ExtractFailed,
                              MoveFailed, Cancelled, DiskFull>;

    explicit CorvelInstallError(Case value);

    static CorvelInstallError diskSpaceInsufficient(std::int64_t needed, std::int64_t available,
                                                    std::string volume = {});
    static CorvelInstallError network(std::exception_ptr underlying);
    static CorvelInstallError checksumMismatch(std::string asset, std::string expected,
                                               std::string got);
    static CorvelInstallError extractFailed(std::string asset, std::string stderrText);
    static CorvelInstallError moveFailed(std::string asset, std::exception_ptr underlying);
    static CorvelInstallError cancelled();
    static CorvelInstallError diskFull(std::string asset, std::string detail);

    const Case& value() const { return value_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    Case value_;
    std::string description_;
};

// The description of any error: what() for standard exceptions, a fixed text otherwise.
std::string describeError(const std::exception_ptr& error);

// A file-system error that says the disk (or the quota) is full, as diskFull
// of `asset`: the user's to mend, not a fault of the network or the archive.
// Any other error comes back as it is.
std::exception_ptr asDiskFull(const std::exception_ptr& error, const std::string& asset);
