#include "core/save_crypt.h"
#include "fuzz/fuzz_crypt_decrypt.cpp"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using save_crypt::decrypt;
using save_crypt::encrypt;
using save_crypt::kEmpty;
using save_crypt::kHeaderSize;
using save_crypt::kInvalid;
using save_crypt::kOpened;

const std::string kSourceDir = LUMAFON_SOURCE_DIR;

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(SaveCrypt, RoundTripsTextsOfEverySize) {
    const std::string texts[] = {"",
                                 "a",
                                 std::string("zero\0byte\0", 10),
                                 "band0=3\nband1=2.5\n",
                                 random_bytes(1000, 1),
                                 random_bytes(3 << 20, 2)};
    for (const std::string& text : texts) {
        const std::string sealed = encrypt(text);
        ASSERT_EQ(sealed.size(), kHeaderSize + text.size());
        EXPECT_EQ(sealed.substr(0, 5), std::string("LUMA\x01", 5));
        std::string opened = "stale";
        ASSERT_EQ(decrypt(sealed, &opened), kOpened) << "text of " << text.size() << " bytes";
        EXPECT_TRUE(opened == text);
        EXPECT_EQ(decrypt(sealed, nullptr), kOpened);
    }
}

TEST(SaveCrypt, EverySealOfOneTextIsDifferent) {
    const std::string text = "preset=b:preset_rock\n";
    const std::string a = encrypt(text), b = encrypt(text);
    EXPECT_NE(a, b);
    EXPECT_NE(a.substr(5, 24), b.substr(5, 24)) << "nonces repeat";
    std::string pa, pb;
    EXPECT_EQ(decrypt(a, &pa), kOpened);
    EXPECT_EQ(decrypt(b, &pb), kOpened);
    EXPECT_EQ(pa, text);
    EXPECT_EQ(pb, text);
}

TEST(SaveCrypt, RefusesEverySingleBitFlip) {
    for (const std::string& text : {std::string(), std::string("output=alsa_output.pci=0\n")}) {
        const std::string sealed = encrypt(text);
        for (size_t byte = 0; byte < sealed.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                std::string changed = sealed;
                changed[byte] = static_cast<char>(changed[byte] ^ (1 << bit));
                std::string out = "stale";
                ASSERT_EQ(decrypt(changed, &out), kInvalid) << "byte " << byte << " bit " << bit;
                ASSERT_TRUE(out.empty());
            }
        }
    }
}

TEST(SaveCrypt, ResultCodes) {
    std::string out = "stale";
    EXPECT_EQ(decrypt("", &out), kEmpty);
    EXPECT_TRUE(out.empty());

    const std::string sealed = encrypt("theme=light\n");
    // Every cut of the envelope, down to a lone magic, is refused.
    for (size_t n = 1; n < sealed.size(); ++n)
        EXPECT_EQ(decrypt(sealed.substr(0, n), nullptr), kInvalid) << n;
    EXPECT_EQ(decrypt(sealed.substr(0, 44), nullptr), kInvalid);
    EXPECT_EQ(decrypt(sealed + "x", nullptr), kInvalid);

    std::string version2 = sealed;
    version2[4] = 2;
    EXPECT_EQ(decrypt(version2, nullptr), kInvalid);

    // A plain settings text of the right size is no sealed file.
    EXPECT_EQ(decrypt(std::string(100, 'a'), nullptr), kInvalid);
    EXPECT_EQ(decrypt("band0=3\nband1=2.5\nband2=1.5\nband3=0.5\nband4=0\nband5=0\n", nullptr), kInvalid);
    EXPECT_EQ(decrypt(std::string(kHeaderSize, '\0'), nullptr), kInvalid);
}

// A settings file sealed by an earlier build. If this fails, the file format or the key changed,
// and every user's settings would be thrown away on the next start.
TEST(SaveCrypt, OpensTheFileOfAnEarlierBuild) {
    const auto sealed = test_support::read_file(kSourceDir + "/tests/unit/data/settings_sample.dat");
    ASSERT_TRUE(sealed);
    std::string plain;
    ASSERT_EQ(decrypt(*sealed, &plain), kOpened);
    EXPECT_EQ(plain.substr(0, 32), "band0=3\nband1=2.5\nband2=1.5\nband");
    EXPECT_NE(plain.find("up1_name=Wohnzimmer \xC3\x84\xC3\x96\xC3\x9C\n"), std::string::npos);
    EXPECT_EQ(plain.size(), sealed->size() - kHeaderSize);
}

TEST(SaveCrypt, SeedCorpusPassesTheFuzzTarget) {
    const std::vector<std::string> corpus = test_support::fuzz_corpus("crypt_decrypt");
    for (const std::string& data : corpus)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_GE(corpus.size(), 3u);
}

} // namespace
