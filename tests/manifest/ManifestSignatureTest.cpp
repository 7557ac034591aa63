// Signatures made by the real minisign tool, checked by the program's verifier.

#include "manifest/ManifestSignature.h"
#include "manifest/ManifestKeys.h"
#include "support/Minisign.h"
#include "support/Privileges.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdlib>
#include <sstream>
#include <tuple>

namespace fs = std::filesystem;
namespace sig = ManifestSignature;
using testsupport::MinisignKey;
using testsupport::thrownText;
using namespace std::literals;

namespace {

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

std::string unbase64(const std::string& text, std::size_t size) {
    std::string out(text.size(), '\0');
    EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                    reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
    out.resize(size);
    return out;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

class Signatures : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::writeFile(file, manifest); }

    std::vector<sig::PublicKey> trustedKeys() const {
        return {*sig::parsePublicKey(trusted.publicKey())};
    }
    // The verifier's refusal, or "accepted".
    std::string refusal(const std::string& message, const std::string& signature) const {
        try {
            sig::verify(message, signature, trustedKeys());
            return "accepted";
        } catch (const DomainError& error) {
            EXPECT_EQ(error.domain(), sig::errorDomain);
            return error.what();
        }
    }

    testsupport::TempHome home;
    MinisignKey trusted{home.path() / "trusted"};
    MinisignKey other{home.path() / "other"};
    std::string manifest = R"({"status":"success","data":{"app":{"download_url":"x"}}})";
    fs::path file = home.path() / "manifest.json";
};

} // namespace

TEST_F(Signatures, PrehashedAndLegacySignaturesVerifyWithKeyIdCommentAndTimestamp) {
    std::string prehashed = trusted.sign(file);
    std::string legacy = trusted.sign(file, {"-l", "-t", "timestamp:1700000000\tfile:m.json"},
                                      home.path() / "legacy.minisig");
    ASSERT_EQ(unbase64(linesOf(prehashed).at(1), 2), "ED");
    ASSERT_EQ(unbase64(linesOf(legacy).at(1), 2), "Ed");

    auto verified = sig::verify(manifest, prehashed, trustedKeys());
    EXPECT_EQ(verified.keyId, trusted.keyId());
    EXPECT_TRUE(verified.trustedComment.starts_with("timestamp:")) << verified.trustedComment;
    auto now = static_cast<std::int64_t>(std::time(nullptr));
    ASSERT_TRUE(verified.timestamp.has_value());
    EXPECT_LE(std::abs(*verified.timestamp - now), 86400);

    verified = sig::verify(
        manifest, legacy,
        {*sig::parsePublicKey(other.publicKey()), *sig::parsePublicKey(trusted.publicKey())});
    EXPECT_EQ(verified.keyId, trusted.keyId());
    EXPECT_EQ(verified.trustedComment, "timestamp:1700000000\tfile:m.json");
    EXPECT_EQ(verified.timestamp, 1700000000);

    // A comment without a usable time.
    std::string untimed = trusted.sign(file, {"-t", "release 7\ttimestamp:soon"});
    EXPECT_EQ(sig::verify(manifest, untimed, trustedKeys()).timestamp, std::nullopt);
}

TEST_F(Signatures, EveryAlterationIsRefusedSayingWhichCheckFailed) {
    const std::string prehashed = trusted.sign(file);
    const std::string legacy = trusted.sign(file, {"-l"}, home.path() / "legacy.minisig");
    std::string changed = manifest;
    changed[10] ^= 1;

    auto lines = linesOf(prehashed);
    auto editedComment = lines;
    editedComment[2] += "x";
    auto damagedGlobal = lines;
    damagedGlobal[3][5] = damagedGlobal[3][5] == 'A' ? 'B' : 'A';
    // The trusted key's id on a signature the other key made.
    auto borrowedId = linesOf(other.sign(file, {}, home.path() / "other.minisig"));
    std::string blob = unbase64(borrowedId[1], 74);
    blob.replace(2, 8, unbase64(trusted.publicKey(), 42).substr(2, 8));
    borrowedId[1] = base64(blob);
    // A prehashed signature that claims to be over the file itself.
    auto claimsLegacy = lines;
    std::string relabelled = unbase64(lines[1], 74);
    relabelled[1] = 'd';
    claimsLegacy[1] = base64(relabelled);
    auto truncated = lines;
    truncated.pop_back();

    const std::string badContent = "清单签名无效: 内容与签名不符（公钥 " + trusted.keyId() + "）";
    const std::string badComment = "清单签名无效: 可信注释与全局签名不符";
    const std::string malformed = "清单签名格式错误: ";
    for (const auto& [message, signature, expected] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {changed, prehashed, badContent},
             {changed, legacy, badContent},
             {manifest, joined(editedComment), badComment},
             {manifest, joined(damagedGlobal), badComment},
             {manifest, other.sign(file, {}, home.path() / "o.minisig"),
              "清单签名的公钥 " + other.keyId() + " 不受信任"},
             {manifest, joined(borrowedId), badContent},
             {manifest, joined(claimsLegacy), badContent},
             {manifest, joined(truncated), malformed + "签名文件不足四行"},
             {manifest, "", malformed + "签名文件为空"},
             {manifest, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe\n\n\n"sv),
              malformed + "第一行不是 untrusted comment"},
             {manifest, prehashed + std::string(10 << 20, 'A'), malformed + "超过 65536 字节上限"},
         }) {
        EXPECT_TRUE(refusal(message, signature).starts_with(expected))
            << refusal(message, signature) << "\nwanted: " << expected;
    }
}

TEST(ManifestKeys, KeyFilesAndTheOrderOfSources) {
    testsupport::TempHome home;
    MinisignKey first(home.path() / "first"), second(home.path() / "second");
    const auto firstKey = *sig::parsePublicKey(first.publicKey());
    const auto secondKey = *sig::parsePublicKey(second.publicKey());
    EXPECT_EQ(sig::keyIdText(firstKey.keyId), first.keyId());

    // A rotation: one file, both keys, comments and blank lines between them.
    fs::path both = home.path() / "both.pub";
    testsupport::writeFile(both, testsupport::readFile(first.publicKeyFile()) + "\n  " +
                                     second.publicKey() + "\r\n");
    EXPECT_EQ(ManifestKeys::fromKeyOrFile(both.string()),
              (std::vector<sig::PublicKey>{firstKey, secondKey}));
    EXPECT_EQ(ManifestKeys::fromKeyOrFile(" " + first.publicKey() + "\n"),
              std::vector<sig::PublicKey>{firstKey});
    fs::path broken = home.path() / "broken.pub";
    testsupport::writeFile(broken, first.publicKey() + "\nRWnot-a-key\n");
    EXPECT_EQ(thrownText([&] { ManifestKeys::fromKeyOrFile(broken.string()); }),
              "公钥文件 " + broken.string() + " 第 2 行不是 minisign 公钥");
    EXPECT_EQ(thrownText([&] { ManifestKeys::fromKeyOrFile("RWxyz"); }),
              "既不是 minisign 公钥也不是公钥文件: RWxyz");
    EXPECT_EQ(thrownText([&] { ManifestKeys::builtIn(first.publicKey() + ";RWbad"); }),
              "内置公钥不是 minisign 公钥: RWbad");

    // The first source that names a key is the only one.
    const std::string builtIn = first.publicKey() + "; " + second.publicKey();
    fs::path systemFile = home.path() / "etc" / "manifest.pub";
    auto resolve = [&](std::vector<sig::PublicKey> commandLine = {}) {
        return ManifestKeys::resolve(commandLine, systemFile, builtIn);
    };
    EXPECT_EQ(resolve().keys, (std::vector<sig::PublicKey>{firstKey, secondKey}));
    EXPECT_TRUE(ManifestKeys::resolve({}, systemFile, "").keys.empty());
    testsupport::writeFile(systemFile, testsupport::readFile(second.publicKeyFile()));
    EXPECT_EQ(resolve().keys, std::vector<sig::PublicKey>{secondKey});
    EXPECT_EQ(resolve().origin, systemFile.string());
    ::setenv(ManifestKeys::keyVariable, first.publicKeyFile().c_str(), 1);
    EXPECT_EQ(resolve().keys, std::vector<sig::PublicKey>{firstKey});
    EXPECT_EQ(resolve({secondKey}).keys, std::vector<sig::PublicKey>{secondKey});
    EXPECT_EQ(resolve({secondKey}).origin, "--manifest-key");
    // A source that is set but broken fails rather than falling through to a weaker one.
    ::setenv(ManifestKeys::keyVariable, "RWtypo", 1);
    EXPECT_NE(thrownText([&] { resolve(); }), "accepted");
    ::unsetenv(ManifestKeys::keyVariable);
    testsupport::writeFile(systemFile, "untrusted comment: nothing else\n");
    EXPECT_EQ(thrownText([&] { resolve(); }), "公钥文件 " + systemFile.string() + " 中没有公钥");

    // Only a file that is truly absent falls through to the built-in keys; one
    // that exists in any form and cannot be read fails, naming file and error.
    fs::remove_all(systemFile.parent_path());
    fs::path linked = home.path() / "linked";
    fs::create_directories(home.path() / "real");
    fs::create_symlink(home.path() / "real", linked);
    EXPECT_EQ(ManifestKeys::resolve({}, linked / "manifest.pub", builtIn).origin, "内置公钥");
    fs::path locked = home.path() / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::none);
    fs::create_symlink(home.path() / "nowhere", systemFile.parent_path());
    fs::create_symlink(home.path() / "nowhere.pub", home.path() / "dangling.pub");
    for (const auto& [file, error] : {std::pair{home.path() / "dangling.pub", "No such file"},
                                      std::pair{systemFile, "No such file"},
                                      std::pair{locked / "manifest.pub", "Permission denied"}}) {
        std::string refused = "accepted";
        const bool restricted = testsupport::runWithoutFileModeOverride(home.path(), [&] {
            refused = thrownText([&] { ManifestKeys::resolve({}, file, builtIn); });
        });
        CORVEL_REQUIRE_CAPABILITY(restricted, "dropping CAP_DAC_OVERRIDE from a thread");
        EXPECT_TRUE(refused.starts_with("无法读取公钥文件 " + file.string() + ": " + error))
            << refused;
    }

    EXPECT_EQ(sig::timestampOf("file:x\ttimestamp:42\tother"), 42);
    EXPECT_EQ(sig::timestampOf("timestamp:-1"), std::nullopt);
    EXPECT_EQ(sig::timestampOf("no time here"), std::nullopt);
}
