#include "InstallTestSupport.h"
#include "install/CorvelAssetExtractor.h"

#include <array>
#include <cstring>
#include <tuple>
#include <zlib.h>

using CVTAVAsset::Format::raw;
using CVTAVAsset::Format::tarGz;
using CVTAVAsset::Format::zip;
using fs::perms;

namespace {

class AssetExtraction : public ::testing::Test {
  protected:
    testsupport::TempHome home;
    fs::path data = home.path() / "data";
    fs::path destination = data / "LLMData";
    fs::path archive = home.path() / "cache" / "payload.part";

    fs::path extract(CVTAVAsset::Format format, const std::string& url = "https://h/pack.bin",
                     const std::string& relativePath = "", std::stop_token stop = {}) {
        CVTAVAsset asset{"资产", *platform::Url::parse(url), "", 1, destination, relativePath,
                         format};
        return CorvelAssetExtractor::extract(archive, asset, stop);
    }
    fs::path unpack(CVTAVAsset::Format format, const std::vector<Entry>& entries) {
        write(archive, format, entries);
        return extract(format);
    }
    bool noTemporaryLeft() const { return noneLeft(data, "corvel-extract-"); }
    // The failure's text ("cancelled" for a stop), or "(no failure)".
    std::string failureOf(CVTAVAsset::Format format, std::stop_token stop = {}) {
        try {
            extract(format, "https://h/pack.bin", "", stop);
            return "(no failure)";
        } catch (const CorvelInstallError& e) {
            return std::get<CorvelInstallError::ExtractFailed>(e.value()).stderrText;
        } catch (const platform::CancelledError&) {
            return "cancelled";
        }
    }
    // A failed unpacking moves nothing in and keeps the archive for a later attempt.
    void expectNothingChanged() {
        EXPECT_TRUE(!fs::exists(destination) || fs::is_empty(destination));
        EXPECT_TRUE(noTemporaryLeft());
        EXPECT_TRUE(fs::exists(archive));
    }
};

// One gzip member holding `bytes`, as zlib writes it.
std::string gzipMember(const std::string& bytes) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

} // namespace

TEST_F(AssetExtraction, OneNewFolderAmongExistingEntriesIsTheProductWithModesAndLinks) {
    writeFile(destination / "other" / "keep.bin", "old");
    fs::path product = unpack(tarGz, {directory("model"),
                                      file("model/weights.bin", "w", 04755),
                                      file("model/数据.txt", "中文"),
                                      softLink("model/alias", "数据.txt"),
                                      {"model/hard", "", AE_IFREG, "model/weights.bin"}});
    EXPECT_EQ(product, destination / "model");
    EXPECT_EQ(readFile(product / "数据.txt"), "中文");
    EXPECT_EQ(fs::read_symlink(product / "alias"), "数据.txt");
    EXPECT_EQ(readFile(product / "hard"), "w");
    EXPECT_EQ(readFile(destination / "other" / "keep.bin"), "old");
    EXPECT_TRUE(fs::exists(archive)); // deleted by the run once the product is recorded
    EXPECT_TRUE(noTemporaryLeft());
    EXPECT_EQ(fs::status(product / "weights.bin").permissions() &
                  (perms::set_uid | perms::owner_exec),
              perms::owner_exec);
    expectLogged({"  • [tarGz] 解压 payload.part → 临时目录，再移入 " + destination.string(),
                  "  • 已移入 LLMData\n", "  • 解压产物: " + product.string() + "\n"});
}

TEST_F(AssetExtraction, ProductIsTheMovedEntryTheNewestOrTheDestinationAndGgmlBaseIsFlattened) {
    writeFile(destination / "model" / "old.bin", "old");
    writeFile(destination / "SetupManifest.json", "{}"); // rewritten just now: the newest entry
    // One entry moved: it is the product even though its name was already there.
    EXPECT_EQ(unpack(zip, {file("model/新权重.bin", "new")}), destination / "model");
    EXPECT_EQ(readFile(destination / "model" / "新权重.bin"), "new");
    EXPECT_FALSE(fs::exists(destination / "model" / "old.bin")); // replaced whole

    // Several entries, none new: the newest of the destination, dates from the archive.
    writeFile(destination / "a" / "x", "0");
    writeFile(destination / "b", "x");
    auto decadeAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650);
    fs::last_write_time(destination / "model", decadeAgo); // older than the archive's dates
    Entry olderDirectory = directory("a"), older = file("a/x", "1");
    olderDirectory.modified = older.modified = 1600000000;
    EXPECT_EQ(unpack(zip, {olderDirectory, older, file("b", "2")}), destination / "b");

    fs::remove_all(destination);
    EXPECT_EQ(unpack(tarGz, {file("one.bin", "1"), file("two.bin", "2")}), destination);
    fs::path product = unpack(zip, {file("ggml-base/ggml-base.bin", "model"),
                                    file("ggml-base/ggml-base-encoder.mlmodelc/weights", "enc")});
    EXPECT_EQ(product, destination / "ggml-base.bin");
    EXPECT_EQ(readFile(product), "model");
    EXPECT_EQ(readFile(destination / "ggml-base-encoder.mlmodelc" / "weights"), "enc");
    EXPECT_FALSE(fs::exists(destination / "ggml-base"));
}

TEST_F(AssetExtraction, HostileEmptyOrCancelledArchivesChangeNothing) {
    writeFile(home.path() / "outside.txt", "secret");
    std::stop_source stopped;
    stopped.request_stop();
    struct Case {
        std::string expected;
        std::vector<Entry> entries;
        bool tarOnly = false; // zip has no devices, FIFOs or hard links
        std::stop_token stop = {};
    };
    const std::vector<Case> cases = {
        {"解压结果为空（staging 无有效条目）", {file("__MACOSX/._x", "m"), file(".DS_Store", "d")}},
        {"cancelled", {file("model/a.bin", "a")}, false, stopped.get_token()},
        {"归档条目含有“..”", {file("../evil", "x")}},
        {"绝对路径", {file("/evil", "x")}},
        {"SetupManifest.json", {file("./SetupManifest.json", "{}")}},
        {"绝对路径", {softLink("link", "/etc")}},
        {"归档之外", {softLink("deep/link", "../../x")}},
        // Each link stays inside as written; followed through the first, the second leaves.
        {"归档之外", {softLink("a/b/up", "../.."), softLink("t", "a/b/up/..")}},
        // Likewise, towards a target that does not exist: nothing to canonicalise.
        {"指向归档之外，已拒绝：pkg/t",
         {softLink("pkg/a/b/up", "../../.."), softLink("pkg/t", "a/b/up/../../../escaped")}},
        {"层数过多", {softLink("a", "b"), softLink("b", "a")}},
        {"link", {softLink("link", "inner"), directory("inner"), file("link/through", "x")}},
        {"设备文件", {{"null", "", AE_IFCHR}}, true},
        {"硬链接", {{"h", "", AE_IFREG, "../../outside.txt"}}, true},
        {"硬链接", {{"h", "", AE_IFREG, "missing"}}, true},
        // The file once linked to is now a link that only stays inside from its own folder.
        {"硬链接",
         {file("a/b/f", "x"), softLink("a/b/f", "../../x"), {"h", "", AE_IFREG, "a/b/f"}},
         true},
    };
    for (const auto& c : cases) {
        for (auto format : {tarGz, zip}) {
            if (format == zip && c.tarOnly) continue;
            SCOPED_TRACE(c.entries.back().name + " in " + formatName(format));
            write(archive, format, c.entries);
            std::string outcome = failureOf(format, c.stop);
            EXPECT_NE(outcome.find(c.expected), std::string::npos) << outcome;
            expectNothingChanged();
            EXPECT_FALSE(fs::exists(home.path() / "evil") || fs::exists(data / "evil"));
        }
    }
    EXPECT_EQ(readFile(home.path() / "outside.txt"), "secret");
}

// Model archives rarely carry a digest: the archive's own checks are all there is.
TEST_F(AssetExtraction, DamagedArchivesFailWithTheLibrarysMessageAndMoveNothing) {
    const std::vector<Entry> entries = {file("model/w.bin", std::string(5000, 'w') + "MARKER")};
    write(archive, tarGz, entries, true);
    const std::string tar = readFile(archive);
    const std::string member = gzipMember(tar);
    auto flipped = [](std::string bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return bytes;
    };
    write(archive, zip, entries, true);
    const std::string storedZip = readFile(archive);
    ASSERT_NE(storedZip.find("MARKER"), std::string::npos); // stored, not deflated
    struct Case {
        const char* name;
        CVTAVAsset::Format format;
        std::string bytes;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"zip entry with a flipped byte", zip, flipped(storedZip, storedZip.find("MARKER")),
         "ZIP bad CRC"},
        {"gzip trailer CRC", tarGz, flipped(member, member.size() - 8), "incorrect data check"},
        {"gzip trailer length", tarGz, flipped(member, member.size() - 2),
         "incorrect length check"},
        {"gzip without its trailer", tarGz, member.substr(0, member.size() - 8),
         "unexpected end of file"},
        {"garbage after the member", tarGz, member + "garbage", "incorrect header check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(archive, c.bytes);
        std::string outcome = failureOf(c.format);
        EXPECT_NE(outcome.find(c.expected), std::string::npos) << outcome;
        expectNothingChanged();
    }

    // Sound variants stay accepted: members in a row with zero padding, and a plain tar.
    std::size_t half = tar.size() / 2;
    for (const std::string& bytes :
         {gzipMember(tar.substr(0, half)) + gzipMember(tar.substr(half)) + std::string(512, '\0'),
          tar}) {
        writeFile(archive, bytes);
        EXPECT_EQ(extract(tarGz), destination / "model");
        EXPECT_EQ(readFile(destination / "model" / "w.bin"), std::string(5000, 'w') + "MARKER");
    }
}

TEST_F(AssetExtraction, AWriteThatFailsWhileUnpackingFailsTheAssetAndKeepsThePreviousProduct) {
    // The data written, or the times restored when an entry is finished (the
    // disk writer only warns about those): either failing means a product
    // that is not what the archive holds.
    for (auto [format, error, finishing] :
         std::vector<std::tuple<CVTAVAsset::Format, int, bool>>{{zip, ENOSPC, false},
                                                                {tarGz, ENOSPC, false},
                                                                {zip, EIO, false},
                                                                {zip, EIO, true},
                                                                {tarGz, ENOSPC, true}}) {
        SCOPED_TRACE(std::string(formatName(format)) + " " + std::strerror(error) +
                     (finishing ? " finishing" : " writing"));
        writeFile(destination / "model" / "weights.bin", "previous");
        write(archive, format, {directory("model"), file("model/weights.bin", patternBytes(777))});
        auto work = [&, error = error] {
            try {
                extract(format);
                return 1; // a file of zeros taken for the product
            } catch (const CorvelInstallError& e) {
                bool full = std::holds_alternative<CorvelInstallError::DiskFull>(e.value());
                bool failed = std::holds_alternative<CorvelInstallError::ExtractFailed>(e.value());
                return (error == ENOSPC ? full : failed) ? 0 : 2;
            }
        };
        std::optional<int> outcome;
        if (finishing) {
            auto status = inFilteredChild(
                [error = error](int) {
                    return std::vector<sock_filter>{
                        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_utimensat, 0, 1), failWith(error)};
                },
                work);
            if (status && WIFEXITED(*status)) outcome = WEXITSTATUS(*status);
        } else {
            outcome = withFailingWrites(error, 777, work);
        }
        CORVEL_REQUIRE_CAPABILITY(outcome != 77, "seccomp system-call filters");
        EXPECT_EQ(outcome, 0);
        EXPECT_EQ(readFile(destination / "model" / "weights.bin"), "previous");
        EXPECT_TRUE(fs::exists(archive));
        EXPECT_TRUE(noTemporaryLeft());
    }
}

TEST_F(AssetExtraction, RawFilesGoWhereTheProductChecksLookAndUnsafeNamesAreRefused) {
    fs::create_directories(destination);
    fs::create_directory_symlink(home.path(), destination / "escape");
    // {url, relativePath, the file installed below destination; empty: refused with moveFailed}
    const std::vector<std::array<std::string, 3>> cases = {
        {"https://h/m/My%20Model.bin?x=1", "", "My Model.bin"},
        {"https://h/w", "sub/dir/w.bin", "sub/dir/w.bin"},
        {"https://h/v2", "sub/dir/w.bin", "sub/dir/w.bin"}, // over the existing file
        {"https://h/a%2Fb", "", ""},
        {"https://h/%2E%2E", "", ""},
        {"https://h/", "", ""},
        {"https://h/x", "../x", ""},
        {"https://h/x", "/etc/x", ""},
        {"https://h/x", ".", ""},
        {"https://h/x", "sub/", ""},
        {"https://h/x", "escape/x", ""},
        {"https://h/d/SetupManifest.json", "", ""}, // the setup record's place
        {"https://h/x", "./SetupManifest.json", ""},
    };
    writeFile(destination / "SetupManifest.json", "record");
    for (const auto& [url, relativePath, installed] : cases) {
        SCOPED_TRACE(url + " " + relativePath);
        writeFile(archive, "payload " + url);
        try {
            EXPECT_EQ(extract(raw, url, relativePath), destination / installed);
            EXPECT_EQ(readFile(destination / installed), "payload " + url);
            EXPECT_FALSE(fs::exists(archive));
        } catch (const CorvelInstallError& e) {
            EXPECT_TRUE(installed.empty() &&
                        std::holds_alternative<CorvelInstallError::MoveFailed>(e.value()));
            EXPECT_EQ(readFile(archive), "payload " + url);
        }
    }
    EXPECT_FALSE(fs::exists(home.path() / "x") || fs::exists(data / "x"));
    EXPECT_EQ(readFile(destination / "SetupManifest.json"), "record");
}

TEST(Sha256OfFile, DigestsAcrossChunkBoundaries) {
    testsupport::TempHome home;
    auto sha = [&](const char* name, std::stop_token stop = {}) {
        return CorvelAssetExtractor::sha256OfFile(home.path() / name, stop);
    };
    std::string content = testsupport::patternBytes((std::size_t{3} << 20) + 7);
    writeFile(home.path() / "big", content);
    EXPECT_EQ(sha("big"), sha256Hex(content));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(sha("big", stop.get_token()), platform::CancelledError);
}
