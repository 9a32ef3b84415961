#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "autoupdate/download_validation.h"

TEST(Sha256OfText, EmptyTextGivesTheKnownDigest) {
    EXPECT_EQ(Sha256OfText(L""), L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
}

TEST(Base64Encode, LinesOf72EachEndedByALineFeed) {
    struct Case {
        size_t length;
        std::vector<size_t> lineLengths;
    };
    const Case cases[] = {
        {1, {4}}, {32, {44}}, {54, {72}}, {55, {72, 4}}, {108, {72, 72}}, {109, {72, 72, 4}},
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> bytes(c.length, 0xA5);
        const std::string text = Base64Encode(bytes.data(), bytes.size());
        std::string expected;
        for (size_t line : c.lineLengths) expected += std::string(line, '?') + "\n";
        ASSERT_EQ(text.size(), expected.size()) << c.length;
        for (size_t i = 0; i < text.size(); ++i) EXPECT_EQ(text[i] == '\n', expected[i] == '\n') << c.length;
    }
    const unsigned char abc[] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(Base64Encode(abc, 4), "YWJjZA==\n");
}
