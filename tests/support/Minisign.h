#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A key pair made by the real minisign tool in a folder of the test, and
// signatures made with it. A machine without minisign fails the test.
class MinisignKey {
  public:
    explicit MinisignKey(const std::filesystem::path& folder);

    // The "RW..." line of the public key file.
    const std::string& publicKey() const { return publicKey_; }
    const std::filesystem::path& publicKeyFile() const { return publicFile_; }
    const std::filesystem::path& secretKeyFile() const { return secretFile_; }
    // The key id as minisign prints it in the public key file's comment.
    const std::string& keyId() const { return keyId_; }

    // Signs `file` into file + ".minisig" (or `signature`); the extra
    // arguments go to minisign -S ("-l" for the legacy form, "-t" comment).
    std::string sign(const std::filesystem::path& file, std::vector<std::string> extra = {},
                     std::filesystem::path signature = {}) const;

  private:
    std::filesystem::path secretFile_;
    std::filesystem::path publicFile_;
    std::string publicKey_;
    std::string keyId_;
};

// Runs minisign with these arguments; its exit status.
int runMinisign(const std::vector<std::string>& arguments);

} // namespace testsupport
