#include "shared/base/md5.h"

#include <gtest/gtest.h>

#include <string>

// The test suite of RFC 1321, appendix A.5.
TEST(Md5, Rfc1321Suite)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : cases) {
        CMD5 md5(input);
        ASSERT_NE(md5.HexDigest(), nullptr);
        EXPECT_STREQ(md5.HexDigest(), expected) << '"' << input << '"';
    }
}

TEST(Md5, PaddingBoundaries)
{
    // 55, 56, 63 and 64 bytes straddle the point where the length no longer fits the last block.
    const std::pair<size_t, const char*> cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},
        {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},
        {64, "014842d480b571495a4a0363793f7367"},
    };
    for (const auto& [len, expected] : cases) {
        std::string text(len, 'a');
        EXPECT_STREQ(CMD5(text.c_str()).HexDigest(), expected) << len;
    }
}

TEST(Md5, StateAndBytes)
{
    CMD5 empty;
    EXPECT_EQ(empty.HexDigest(), nullptr);

    // A GB2312 password is digested as its GB2312 bytes, not as UTF-8.
    CMD5 gb("\xC3\xDC\xC2\xEB");
    EXPECT_STREQ(gb.HexDigest(), "d2293e30f0c964c5f6242486aa8a483c");
    EXPECT_STRNE(gb.HexDigest(), "a8105204604a0b11e916f3879aae3b0b");

    // Leading zeros are kept: always 32 lower-case characters.
    for (int i = 0; i < 200; ++i) {
        std::string t = std::to_string(i);
        std::string hex = CMD5(t.c_str()).HexDigest();
        ASSERT_EQ(hex.size(), 32u);
        ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

// The account password is digested over its GB2312 bytes (C3 DC C2 EB for "密码"), never over UTF-8.
TEST(Md5, PasswordDigestOverGb2312)
{
    std::string hex;
    ASSERT_TRUE(PasswordDigestGb2312("\xE5\xAF\x86\xE7\xA0\x81", hex));
    EXPECT_EQ(hex, "d2293e30f0c964c5f6242486aa8a483c");
    ASSERT_TRUE(PasswordDigestGb2312("demo", hex));
    EXPECT_EQ(hex, "fe01ce2a7fbac8fafaed7c982a04e229");
    // A character GB2312 lacks (Hangul), or bytes that are not UTF-8: refused, nothing digested.
    hex = "kept";
    EXPECT_FALSE(PasswordDigestGb2312("pw\xED\x95\x9C", hex));
    EXPECT_FALSE(PasswordDigestGb2312("pw\xFF", hex));
    EXPECT_EQ(hex, "kept");
}
