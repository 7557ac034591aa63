#include "log/Hex.h"
#include "platform/DomainError.h"
#include "platform/UniqueFd.h"
#include "support/TempHome.h"
#include "zsync/SeedScanner.h"
#include "zsync/ZsyncDelta.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class Zsync : public ::testing::Test {
  protected:
    TempHome home;
    fs::path dir = home.path() / "zsync";

    void SetUp() override { fs::create_directories(dir); }

    std::string controlFor(const std::string& content) {
        writeFile(dir / "target", content);
        return zsyncControlFor(dir / "target");
    }

    // The target rebuilt from the seeds plus the bytes they lack, taken from
    // the real target as a download would take them.
    std::string assemble(const ZsyncControl& control, const SeedScanner& scanner,
                         const std::vector<fs::path>& seeds, const std::string& target) {
        auto out = dir / "assembled";
        platform::UniqueFd fd(::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        zsync::copySeedBlocks(control, scanner, seeds, fd.get());
        for (auto r : scanner.missingRanges()) {
            auto piece = target.substr(static_cast<std::size_t>(r.start),
                                       static_cast<std::size_t>(r.end - r.start));
            EXPECT_EQ(::pwrite(fd.get(), piece.data(), piece.size(), r.start),
                      static_cast<ssize_t>(piece.size()));
        }
        EXPECT_EQ(::ftruncate(fd.get(), control.length), 0);
        return readFile(out);
    }
};

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return lowerHex({digest, length});
}

} // namespace

TEST_F(Zsync, ReadsWhatZsyncmakeWritesAndComputesTheSameBlockSums) {
    const auto target = patternBytes(100 * 1024 + 777);
    auto control = zsync::parseControl(bytesOf(controlFor(target)));
    ASSERT_EQ(control.length, static_cast<std::int64_t>(target.size()));
    ASSERT_EQ(control.blockCount(), (control.length + control.blockSize - 1) / control.blockSize);
    EXPECT_EQ(control.seqMatches, 2);
    EXPECT_EQ(lowerHex(control.sha1), sha1Hex(target));
    for (std::int64_t i = 0; i < control.blockCount(); ++i) {
        auto block = bytesOf(target).subspan(static_cast<std::size_t>(i * control.blockSize),
                                             static_cast<std::size_t>(control.blockLength(i)));
        std::vector<std::uint8_t> padded(block.begin(), block.end());
        padded.resize(static_cast<std::size_t>(control.blockSize), 0);
        const auto& sum = control.blocks[static_cast<std::size_t>(i)];
        ASSERT_EQ(zsync::rsumOf(padded) & control.rsumMask(), sum.rsum) << "block " << i;
        auto md4 = zsync::blockMd4(block, control.blockSize);
        ASSERT_TRUE(std::equal(md4.begin(), md4.begin() + control.checksumBytes, sum.md4.begin()))
            << "block " << i;
    }
}

TEST_F(Zsync, FindsTargetBlocksAtAnyOffsetInSeeds) {
    const std::size_t B = 2048; // zsyncmake's choice for files this size
    const auto target = patternBytes(100 * B + 777, 3);
    const auto other = patternBytes(target.size(), 9);
    auto cut = [&](std::size_t at, std::size_t n) {
        return target.substr(0, at) + target.substr(at + n);
    };
    auto insert = [&](std::size_t at, std::size_t n) {
        return target.substr(0, at) + other.substr(0, n) + target.substr(at);
    };
    struct Case {
        const char* what;
        std::string seed;
        std::int64_t maxMissing;
    } cases[] = {
        {"identical", target, 0},
        {"insertion on a block boundary", insert(10 * B, B), 0},
        {"insertion off a boundary", insert(10 * B + 500, 100), B},
        {"deletion on a block boundary", cut(10 * B, B), B},
        {"deletion off a boundary", cut(10 * B + 100, 300), 2 * B},
        {"edits at both ends", insert(7, 13).substr(0, target.size() - 1000), 2 * B + 777},
        // The last, short block is zero-padded in its checksum: after it, junk hides it.
        {"seed longer than the target", other.substr(0, 5000) + target + other.substr(0, 3000),
         777},
        {"shares nothing", other, static_cast<std::int64_t>(target.size())},
        {"empty", "", static_cast<std::int64_t>(target.size())},
    };
    auto control = zsync::parseControl(bytesOf(controlFor(target)));
    ASSERT_EQ(control.blockSize, static_cast<std::int64_t>(B));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir / "seed", c.seed);
        SeedScanner scanner(control);
        scanner.scan(0, bytesOf(c.seed));
        std::int64_t missing = 0;
        for (auto r : scanner.missingRanges())
            missing += r.end - r.start;
        EXPECT_LE(missing, c.maxMissing);
        EXPECT_EQ(missing + scanner.foundBytes(), control.length);
        EXPECT_TRUE(assemble(control, scanner, {dir / "seed"}, target) == target);
    }
}

// Seeds larger than the scanner's read chunk: matches across chunk ends,
// several seeds each supplying what the earlier ones lack.
TEST_F(Zsync, ScansLargeSeedFilesInChunksAndCombinesSeeds) {
    const auto target = patternBytes((9 << 20) + 4321, 5);
    auto control = zsync::parseControl(bytesOf(controlFor(target)));
    const auto junk = patternBytes(70000, 11);
    const std::size_t edit = (1 << 20) + 999;
    auto first = target.substr(0, edit) + junk.substr(0, 5000) + target.substr(edit + 200, 6 << 20);
    auto second = junk + target.substr(6 << 20);
    writeFile(dir / "first", first);
    writeFile(dir / "second", second);

    SeedScanner scanner(control);
    scanner.scanFile(0, dir / "first");
    auto afterFirst = scanner.foundBlocks();
    EXPECT_GT(scanner.scanFile(1, dir / "second"), 0);
    EXPECT_GT(afterFirst, control.blockCount() / 2);
    std::int64_t missing = 0;
    for (auto r : scanner.missingRanges())
        missing += r.end - r.start;
    EXPECT_LE(missing, 2 * control.blockSize); // the edited stretch

    EXPECT_TRUE(assemble(control, scanner, {dir / "first", dir / "second"}, target) == target);
    EXPECT_TRUE(zsync::sha1Matches(control, dir / "assembled"));
}

TEST_F(Zsync, RefusesControlFilesThatLie) {
    const auto target = patternBytes(20 * 2048 + 5, 2);
    const auto good = controlFor(target);
    auto replaced = [&](const std::string& from, const std::string& to) {
        auto text = good;
        auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    auto length = "Length: " + std::to_string(target.size());
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    } cases[] = {
        {"more blocks than the table holds", replaced(length, "Length: 50000"), "块表长度"},
        {"fewer blocks than the table holds", replaced(length, "Length: 20000"), "块表长度"},
        {"truncated table", good.substr(0, good.size() - 1), "块表长度"},
        {"truncated header", good.substr(0, 40), "头部不完整"},
        {"negative length", replaced(length, "Length: -1"), "Length"},
        {"huge length", replaced(length, "Length: 99999999999999999"), "Length"},
        {"block size not a power of two", replaced("Blocksize: 2048", "Blocksize: 3000"),
         "Blocksize"},
        {"hash lengths out of range", replaced("Hash-Lengths: 2,", "Hash-Lengths: 3,"),
         "Hash-Lengths"},
        {"hash lengths malformed", replaced("Hash-Lengths: 2,", "Hash-Lengths: 2;"),
         "Hash-Lengths"},
        {"sha-1 not hex", replaced("SHA-1: ", "SHA-1: zz"), "SHA-1"},
        {"compressed transfer", replaced("SHA-1: ", "Z-Map2: 3\nSHA-1: "), "Z-Map2"},
        {"repeated key", replaced("SHA-1: ", "Blocksize: 2048\nSHA-1: "), "重复"},
        {"no version line", replaced("zsync: 0.6.2\n", ""), "zsync"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectContains(thrownText([&] { zsync::parseControl(bytesOf(c.text)); }), {c.reason});
    }

    // Against the manifest: its digest of the control file, and the asset's size.
    const auto digest = sha256Hex(good);
    EXPECT_EQ(zsync::readVerifiedControl(bytesOf(good), digest, target.size()).length,
              static_cast<std::int64_t>(target.size()));
    EXPECT_THROW(zsync::readVerifiedControl(bytesOf(good), sha256Hex("other"), target.size()),
                 DomainError);
    EXPECT_THROW(zsync::readVerifiedControl(bytesOf(good), digest, target.size() + 1), DomainError);

    // A block table that fits but a SHA-1 of other bytes: the rebuilt file is caught.
    auto lying = zsync::parseControl(
        bytesOf(replaced("SHA-1: ", "SHA-1: 0").erase(good.find("SHA-1: ") + 7 + 40, 1)));
    SeedScanner scanner(lying);
    writeFile(dir / "seed", target);
    scanner.scan(0, bytesOf(target));
    EXPECT_TRUE(assemble(lying, scanner, {dir / "seed"}, target) == target);
    EXPECT_FALSE(zsync::sha1Matches(lying, dir / "assembled"));
}
