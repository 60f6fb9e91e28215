// The driver INF reader over hand-written texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "libs/platform/inf_file.h"
#include "tests/support/temp_folder.h"

namespace {

std::string Field(const InfFile& inf, const char* section, size_t line, int n) {
    const std::vector<InfLine>* s = inf.Section(section);
    std::string out = "<none>";
    if (s && line < s->size()) InfFile::Field((*s)[line], n, &out);
    return out;
}

const char* kNetVersion =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n";

TEST(InfFile, SyntaxOfLinesAndFields) {
    InfFile inf;
    ASSERT_EQ(inf.Parse(std::string(kNetVersion) + "[models]\n"
                                                   "  %Card% = Install.A , PCI\\VEN_8086&DEV_1229   ; a comment\n"
                                                   "key-less, second,,\"quoted, with ; and \"\"x\"\"\" \n"
                                                   "joined = one, \\\n"
                                                   "   two\n"
                                                   "\n; only a comment\n"
                                                   "[MODELS]\n"
                                                   "later = 3\n"
                                                   "[Strings]\n"
                                                   "Card = \"Fast Card\"\n"
                                                   "pct = \"100%%\"\n",
                        nullptr),
              INF_OK);
    ASSERT_TRUE(inf.HasSection("Models"));
    ASSERT_EQ(inf.Section("models")->size(), 4u) << "same-named sections are merged in file order";
    EXPECT_EQ(Field(inf, "models", 0, 0), "Fast Card");
    EXPECT_EQ(Field(inf, "models", 0, 1), "Install.A");
    EXPECT_EQ(Field(inf, "models", 0, 2), "PCI\\VEN_8086&DEV_1229");
    EXPECT_EQ(Field(inf, "models", 0, 3), "<none>");
    EXPECT_EQ(Field(inf, "models", 1, 0), "<none>") << "key-less line";
    EXPECT_EQ(Field(inf, "models", 1, 1), "key-less");
    EXPECT_EQ(Field(inf, "models", 1, 2), "second");
    EXPECT_EQ(Field(inf, "models", 1, 3), "");
    EXPECT_EQ(Field(inf, "models", 1, 4), "quoted, with ; and \"x\"");
    EXPECT_EQ(Field(inf, "models", 2, 2), "two") << "continuation";
    EXPECT_EQ(Field(inf, "models", 3, 1), "3");
    std::string v;
    EXPECT_TRUE(inf.Value("MoDeLs", "LATER", &v));
    EXPECT_EQ(v, "3");
    EXPECT_FALSE(inf.Value("models", "missing", &v));
    EXPECT_EQ(Field(inf, "strings", 1, 1), "100%%") << "[Strings] itself is not substituted";
}

TEST(InfFile, StringTokens) {
    InfFile inf;
    ASSERT_EQ(inf.Parse("[a]\nx = %known%-%unknown%-%%-%KNOWN%\n[strings]\nknown=\"v\"\n", nullptr), INF_OK);
    EXPECT_EQ(Field(inf, "a", 0, 1), "v-%unknown%-%-v");
}

TEST(InfFile, Utf16WithByteOrderMark) {
    std::string text = std::string(kNetVersion) + "[m]\nName = \"Caf\xC3\xA9\", x\n";
    // UTF-16LE of the text, é as U+00E9.
    std::string bytes = "\xFF\xFE";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0xC3) {
            bytes += '\xE9';
            bytes += '\0';
            ++i;
            continue;
        }
        bytes += char(c);
        bytes += '\0';
    }
    InfFile inf;
    ASSERT_EQ(inf.Parse(bytes, "Net"), INF_OK);
    EXPECT_EQ(Field(inf, "m", 0, 1), "Caf\xC3\xA9");
    EXPECT_EQ(Field(inf, "m", 0, 2), "x");
}

TEST(InfFile, DeviceClass) {
    struct Case {
        const char* version;
        int result;
    } cases[] = {
        {"Class=Net\n", INF_OK},
        {"class = \"NET\"\n", INF_OK},
        {"Class=Display\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n", INF_WRONG_CLASS},
        {"ClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}\n", INF_OK},
        {"ClassGUID={4d36e968-e325-11ce-bfc1-08002be10318}\n", INF_WRONG_CLASS},
        {"Signature=\"$Windows NT$\"\n", INF_WRONG_CLASS},
    };
    for (const Case& c : cases) {
        InfFile inf;
        EXPECT_EQ(inf.Parse(std::string("[Version]\n") + c.version, "Net"), c.result) << c.version;
        EXPECT_EQ(inf.Parse(std::string("[Version]\n") + c.version, nullptr), INF_OK) << c.version;
    }
}

TEST(InfFile, OverlongFieldsAreRefused) {
    InfFile inf;
    std::string longField(kInfMaxField + 1, 'a');
    EXPECT_EQ(inf.Parse("[a]\nx = " + longField + "\n", nullptr), INF_TOO_LONG);
    EXPECT_EQ(inf.Parse("[a]\nx = \"" + longField + "\"\n", nullptr), INF_TOO_LONG);
    // A token that grows past the bound when substituted.
    std::string many;
    for (int i = 0; i < 40; ++i) many += "%s%";
    EXPECT_EQ(inf.Parse("[a]\nx = " + many + "\n[Strings]\ns=\"" + std::string(200, 'b') + "\"\n", nullptr),
              INF_TOO_LONG);
    EXPECT_EQ(inf.Parse("[a]\nx = " + std::string(kInfMaxField, 'a') + "\n", nullptr), INF_OK);
    EXPECT_EQ(inf.Open("/nonexistent/file.inf", nullptr), INF_OPEN_FAILED);
    EXPECT_EQ(inf.Open("/tmp", nullptr), INF_OPEN_FAILED);
    // A file larger than the bound is refused before it is read.
    nimbo::test::TempFolder folder("inf-test-");
    const std::string name = folder.Write("big.inf", "");
    ASSERT_EQ(truncate(name.c_str(), off_t(kInfMaxFile) + 1), 0);
    EXPECT_EQ(inf.Open(name, nullptr), INF_TOO_LONG);
}

TEST(InfFile, OddInputNeverBreaksTheReader) {
    const char* texts[] = {
        "",         "[",          "[]\n=\n,,,\n", "[a\nx=1\n", "no section = 1\n[b]\n\"unterminated\n", "[c]\n\\\n\\",
        "[d]\nx=%", "[e]\n%%%\n", "\xFF\xFE[\0"};
    for (const char* t : texts) {
        InfFile inf;
        EXPECT_EQ(inf.Parse(t, nullptr), INF_OK) << t;
    }
    InfFile inf;
    ASSERT_EQ(inf.Parse("no section = 1\n[a\nx=1\n[b]\ny=2\n", nullptr), INF_OK);
    EXPECT_FALSE(inf.HasSection("a"));
    EXPECT_EQ(inf.Section("b")->size(), 1u);
}

TEST(InfFile, RandomBytesAndMutationsAreRead) {
    std::mt19937 rng(4011);
    const std::string seed = std::string(kNetVersion) +
                             "[Manufacturer]\n%M% = M, NTx86.5.1\n[M.NTx86.5.1]\n%C% = I, PCI\\VEN_8086&DEV_1229\n"
                             "[I]\nBusType=5\nCopyFiles=@e.sys\n[Strings]\nM=\"m\"\nC=\"c \"\"q\"\"\"\n";
    const char alphabet[] = "[]=,;\"%\\\r\n ab\xFF\xFE";
    for (int i = 0; i < 3000; ++i) {
        std::string text = seed;
        if (i % 3 == 0) text.assign(rng() % 200, '\0');
        for (int m = int(rng() % 8); m >= 0 && !text.empty(); --m) {
            size_t at = rng() % text.size();
            if (i % 3 == 0)
                text[at] = char(rng());
            else
                text[at] = alphabet[rng() % (sizeof alphabet - 1)];
        }
        InfFile inf;
        int rc = inf.Parse(text, i % 2 ? "Net" : nullptr);
        EXPECT_TRUE(rc == INF_OK || rc == INF_WRONG_CLASS || rc == INF_TOO_LONG) << rc;
    }
}

}  // namespace
