// SPDX-License-Identifier: LGPL-2.1-or-later
// The message sanitiser on its own: what the JVM's modified UTF-8 reader will accept.
#include <gtest/gtest.h>

#include <string>

#include "util.h"

namespace {

std::string sanitize(const std::string &text, size_t outSize = 64)
{
    std::string out(outSize, '\0');
    const size_t n = toModifiedUtf8(text.c_str(), out.data(), outSize);
    EXPECT_LT(n, outSize);
    EXPECT_EQ(out[n], '\0');
    return out.substr(0, n);
}

const std::string kReplacement = "\xef\xbf\xbd";

TEST(ModifiedUtf8, AsciiAndWellFormedTextIsKept)
{
    EXPECT_EQ(sanitize("Error opening comedi device /dev/x: No such file"), "Error opening comedi device /dev/x: No such file");
    EXPECT_EQ(sanitize("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(sanitize(""), "");
}

TEST(ModifiedUtf8, MalformedSequencesAreReplaced)
{
    EXPECT_EQ(sanitize("\xff"), kReplacement);
    EXPECT_EQ(sanitize("a\x80z"), "a" + kReplacement + "z");
    EXPECT_EQ(sanitize("\xc0\x80"), kReplacement + kReplacement);          /* overlong NUL */
    EXPECT_EQ(sanitize("\xe0\x80\xaf"), kReplacement + kReplacement + kReplacement); /* overlong '/' */
    EXPECT_EQ(sanitize("\xed\xa0\x80x"), kReplacement + kReplacement + kReplacement + "x"); /* UTF-8 surrogate */
    EXPECT_EQ(sanitize("\xf4\x90\x80\x80"), kReplacement + kReplacement + kReplacement + kReplacement); /* > U+10FFFF */
    EXPECT_EQ(sanitize("\xc3(x"), kReplacement + "(x");
}

TEST(ModifiedUtf8, CharacterCutOffAtTheEndIsDropped)
{
    EXPECT_EQ(sanitize("ab\xc3"), "ab");
    EXPECT_EQ(sanitize("ab\xe2\x82"), "ab");
    EXPECT_EQ(sanitize("ab\xf0\x9f\x98"), "ab");
}

TEST(ModifiedUtf8, FourByteCharacterBecomesSurrogatePair)
{
    /* U+1F600 is D83D DE00 in UTF-16. */
    EXPECT_EQ(sanitize("\xf0\x9f\x98\x80"), "\xed\xa0\xbd\xed\xb8\x80");
}

TEST(ModifiedUtf8, OutputNeverOverflowsAndNeverSplitsACharacter)
{
    EXPECT_EQ(sanitize("abcdef", 4), "abc");
    EXPECT_EQ(sanitize("a\xc3\xa9", 3), "a");            /* the two-byte character does not fit whole */
    EXPECT_EQ(sanitize("\xff\xff", 5), kReplacement);    /* the second replacement does not fit */
    EXPECT_EQ(sanitize("x", 1), "");
}

} // namespace
