#include "platform/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <iconv.h>
#include <string>

namespace tarvelin::platform {
namespace {

const std::string kReplacementUtf8 = "\xEF\xBF\xBD";

TEST(PlatformText, EmptyTextAndEmbeddedNul)
{
    EXPECT_EQ(NarrowToUtf16(""), u"");
    EXPECT_EQ(Utf16ToNarrow(u""), "");
    // An embedded NUL is a character like any other.
    EXPECT_EQ(NarrowToUtf16(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(PlatformText, IllFormedUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(NarrowToUtf16("a\xFF" "b"), u"a\uFFFDb");
    // A sequence cut short is one error; what follows survives.
    EXPECT_EQ(NarrowToUtf16("\xE2\x82" "x"), u"\uFFFDx");
    EXPECT_EQ(NarrowToUtf16("\xE2\x82"), u"\uFFFD");
    // Overlong forms, encoded surrogates and values above U+10FFFF are
    // refused byte by byte from where they go wrong.
    EXPECT_EQ(NarrowToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(NarrowToUtf16("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(NarrowToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(NarrowToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(NarrowToUtf16("\x80\xBF"), u"\uFFFD\uFFFD");
    // A Latin-1 name passed as if it were UTF-8.
    EXPECT_EQ(NarrowToUtf16("M\xFC" "ller"), u"M\uFFFDller");
}

TEST(PlatformText, UnpairedSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16ToNarrow(u"\xD800x"), kReplacementUtf8 + "x");
    EXPECT_EQ(Utf16ToNarrow(u"x\xDC00"), "x" + kReplacementUtf8);
    EXPECT_EQ(Utf16ToNarrow(u"\xDE00\xD83D"), kReplacementUtf8 + kReplacementUtf8);
    EXPECT_EQ(Utf16ToNarrow(u"\xD83D\xD83D\xDE00"), kReplacementUtf8 + "\xF0\x9F\x98\x80");
}

// Every Unicode scalar value (surrogate pairs beyond the BMP included),
// converted here and by the C library's iconv, and back.
TEST(PlatformText, EveryScalarValueAgreesWithIconv)
{
    std::u16string all;
    for (char32_t code = 1; code <= 0x10FFFF; ++code) {
        if (code >= 0xD800 && code <= 0xDFFF) {
            continue;
        }
        if (code < 0x10000) {
            all += static_cast<char16_t>(code);
        } else {
            all += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            all += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }
    const std::string narrow = Utf16ToNarrow(all);
    EXPECT_EQ(NarrowToUtf16(narrow), all);

    iconv_t converter = ::iconv_open("UTF-16LE", "UTF-8");
    ASSERT_NE(converter, reinterpret_cast<iconv_t>(-1));
    std::string input = narrow;
    std::string output(all.size() * 2, '\0');
    char* in = input.data();
    char* out = output.data();
    std::size_t inLeft = input.size();
    std::size_t outLeft = output.size();
    const std::size_t result = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    ::iconv_close(converter);
    ASSERT_NE(result, static_cast<std::size_t>(-1)) << "iconv refused our UTF-8 at byte " << (in - input.data());
    EXPECT_EQ(inLeft, 0u);
    ASSERT_EQ(outLeft, 0u);
    std::u16string fromIconv(all.size(), u'\0');
    for (std::size_t i = 0; i < fromIconv.size(); ++i) {
        fromIconv[i] = static_cast<char16_t>(static_cast<unsigned char>(output[2 * i])
                                             | static_cast<unsigned char>(output[2 * i + 1]) << 8);
    }
    EXPECT_TRUE(fromIconv == all);
}

} // namespace
} // namespace tarvelin::platform
