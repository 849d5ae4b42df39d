// The canonical view reads back what encoders write and points each of its bytes at the text it
// came from.
#include "util/canonical_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::secrets {
namespace {

TEST(CanonicalViewTest, ReadsBackWhatEncodersWrite) {
    const std::string r(1, kReplacement);
    const struct {
        std::string text;
        std::string canonical;
    } cases[] = {
        {"plain text", "plain text"},
        // Percent-escapes in either case of hex; a "%" that starts none stands for itself.
        {"a%2Fb%2fc%5cd%5C", "a/b/cd"},
        {"100% sure %4 %zz %", "100% sure %4 %zz %"},
        {"a+b%2Bc", "a b c"},
        // JSON's and the debug form's escapes, escaped any number of times over.
        {R"(\"q\" \\ \/ \n\r\t\0\b\f)", std::string("\"q\"  / \n\r\t") + '\0' + "\b\f"},
        {R"(\\\"x\\\\\\\"y)", "\"x\"y"},
        {R"(\u00e9 \u00E9 \u{e9} \\u00e9)", "\xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9"},
        {R"(\ud83d\ude00 \uD83D\\uDE00)", "\xf0\x9f\x98\x80 \xf0\x9f\x98\x80"},
        {R"(\x{ff}\x{41})", r + "A"},
        {R"(\u12 \u{} \x{zz} \q)", "u12 u{} x{zz} q"},
        {"trailing\\\\", "trailing"},
        // Percent-encoded escapes read as the escapes they encode.
        {"%5C%22x%5c%5Cu00e9", "\"x\xc3\xa9"},
        // Bytes that are not UTF-8 and U+FFFD read as one replacement per run.
        {"a\xff\xfe"
         "b\xef\xbf\xbd\xef\xbf\xbd"
         "c\xed\xa0\x80"
         "d",
         "a" + r + "b" + r + "c" + r + "d"},
        {"a%FF%fe\xef\xbf\xbd"
         "b",
         "a" + r + "b"},
        {R"(\ud800x)", r + "x"},  // a lone surrogate
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        // What a reading decodes is read again: a backslash and a "%" written by another encoder.
        {"%255Cn %2541 \\x5cu00e9 &#x25;41", "\n A \xc3\xa9 A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canonical(c.text), c.canonical) << c.text;
    }
}

TEST(CanonicalViewTest, EachByteNamesTheStretchItCameFrom) {
    const std::string text = "a%41\\\"b\\u00e9\xff\xfe+";
    const CanonicalView view = canonical_view(text);
    ASSERT_EQ(view.bytes, "aA\"b\xc3\xa9" + std::string(1, kReplacement) + " ");
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0, 1}, {1, 4}, {4, 6}, {6, 7}, {7, 13}, {7, 13}, {13, 15}, {15, 16}};
    ASSERT_EQ(view.from.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(view.from[i], expected[i].first) << i;
        EXPECT_EQ(view.to[i], expected[i].second) << i;
    }
    // A long run of backslashes reaches only its last ones.
    const CanonicalView run = canonical_view(std::string(100, '\\') + "n");
    ASSERT_EQ(run.bytes, "\n");
    EXPECT_EQ(run.to[0] - run.from[0], 9u);
}

// The escapes other languages write, read back however many times they were escaped over.
TEST(CanonicalViewTest, ReadsEscapesOfOtherLanguages) {
    const std::string r(1, kReplacement);
    const std::string e_acute = "\xc3\xa9";
    const std::string key = "\xf0\x9f\x94\x91";  // U+1F511
    const struct {
        std::string text;
        std::string canonical;
    } cases[] = {
        // Bytes in hex, in either case: UTF-8 where a run forms it, a code point otherwise.
        {R"(caf\xc3\xa9 caf\xC3\xA9 caf\xe9 caf\xE9)",
         "caf" + e_acute + " caf" + e_acute + " caf" + e_acute + " caf" + e_acute},
        {R"(\x41\x42\x7e)", "AB~"},
        {R"(\xf0\x9f\x94\x91)", key},
        // A run that is partly UTF-8: each byte that starts no sequence is its own code point.
        {R"(\xc3\xa9\xe9)", e_acute + e_acute},
        {R"(\xe9\xa9x)", "\xc3\xa9\xc2\xa9x"},
        {R"(\xf0\x9f\x94A)",
         "\xc3\xb0\xc2\x9f\xc2\x94"
         "A"},
        {R"(\xa9\xc3\xa9)", "\xc2\xa9" + e_acute},
        // Another escape ends a run.
        {R"(\xc3\n\xa9)", "\xc3\x83\n\xc2\xa9"},
        {R"(\xc3\u00a9)", "\xc3\x83\xc2\xa9"},
        // The debug form's byte stays a byte, which joins no run.
        {R"(\x{c3}\xa9)", r + "\xc2\xa9"},
        // Octal bytes, three digits from 100 to 377, joined the same way and with hex ones.
        {R"(caf\303\251 \101\102 \377 \303\xa9)", "caf" + e_acute + " AB \xc3\xbf " + e_acute},
        // What is no octal byte reads as before: "\0" is NUL whatever follows it.
        {R"(\400 \18 \7 \012)", std::string("400 18 7 ") + '\0' + "12"},
        // Code points in eight hex digits, when they name one.
        {R"(\U0001F511 \U0001f511 \U00000041)", key + " " + key + " A"},
        {R"(\U0000D800 \U00110000 \U1234 \Uzz)", "U0000D800 U00110000 U1234 Uzz"},
        // Hex escapes that name no byte.
        {R"(\x4g \xzz \x)", "x4g xzz x"},
        // Escaped again any number of times, and percent-encoded.
        {R"(\\xc3\\xa9 \\\\xc3\\\\xa9 \\303\\251 \\U0001F511)",
         e_acute + " " + e_acute + " " + e_acute + " " + key},
        {"caf%5Cxc3%5Cxa9 %5C%5Cx41 caf%5c303%5C251 %5CU0001f511",
         "caf" + e_acute + " A caf" + e_acute + " " + key},
        {std::string(20, '\\') + "xc3" + std::string(3, '\\') + "xa9", e_acute},
        // One character's bytes escaped over a different number of times: each waits for the
        // reading of the others, and one with nothing to wait for reads as before.
        {R"(ab\xc3%255cxa9cd)", "ab" + e_acute + "cd"},
        {R"(ab\%2578C3\xa9cd)", "ab" + e_acute + "cd"},
        // The bytes after a sequence left for the next reading wait for it too, and so do those
        // after a percent escape that reading reads as the sequence's first byte.
        {R"(\360%255C237\224%255c221)", key},
        {R"(%255c360\237%255c224\221)", key},
        {R"(ab%255cxc3\xa9cd)", "ab" + e_acute + "cd"},
        {R"(%2541\xa9)", "A\xc2\xa9"},
        // A braced escape's digits, and the halves of a surrogate pair, read at different depths.
        {R"(\u{1f51%2531})", key},
        {R"(\uD83D\uDD%2531%2531)", key},
        {R"(\uD83D%255CuDD11)", key},
        {R"(%255CuD83D\uDD11)", key},
        {R"(\uD83D\%2575%2544D11)", key},
        {R"(a\uD83Db \uDD11)", "a" + r + "b " + r},
        // A backslash an escape stood for, before an escape an encoder after it escaped once
        // more: it escapes what that escape reads as, and joins no run with its backslashes.
        {R"(\x5c%255Cx66 \u005c%255Cu006e \x5c%5C%5Cx66)", "\f \n \f"},
        // Such backslashes alone still read as one run, as an escape revealed with them does.
        {R"(\x5c\x5cn %255Cx5c\x66)", "\n \f"},
        // An escape left for the next reading, before a byte that waits for one up to the last:
        // that reading waits for none.
        {R"(\u\xe9& \\\\u\\xe9%)", "u" + e_acute + "& u" + e_acute + "%"},
        {R"(\xc3% \xc3%41)",
         "\xc3\x83% \xc3\x83"
         "A"},
        // An escape left for a reading that may complete it, where none comes, reads as it
        // stands, as at the end of the text; where one comes, it completes it.
        {R"(\2\& \2& x\2\&#ux\2\y)", "2& 2& x2&#ux2y"},
        {R"(\a\% \u12\& \x4\&q)", "a% u12& x4&q"},
        {R"(\2&#53;&#53;)", "\xc2\xad"},
        // One cut short before a backslash escape that reads as none of its digits reads now, as
        // it stands, and so does one that waited for it; before one that reads as a digit, it
        // still waits.
        {R"(\30\xe9&& \x\30\xe9&&)", "30" + e_acute + "&& 0" + e_acute + "&&"},
        {R"(\30\x37& \u{4\x31}&)", "\xc3\x87& A&"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canonical(c.text), c.canonical) << c.text;
    }
}

// HTML's and XML's character references, read back however many times the "&" was escaped over.
TEST(CanonicalViewTest, ReadsCharacterReferences) {
    const std::string e_acute = "\xc3\xa9";
    const std::string key = "\xf0\x9f\x94\x91";
    const struct {
        std::string text;
        std::string canonical;
    } cases[] = {
        {"&amp; &lt; &gt; &quot; &apos; &#39;", "& < > \" ' '"},
        {"&#80;&#x50;&#X50;&#x4a;&#x4A;&#X4a;", "PPPJJJ"},
        {"caf&#233; caf&#xe9; caf&#xE9; &#x1F511; &#128273;",
         "caf" + e_acute + " caf" + e_acute + " caf" + e_acute + " " + key + " " + key},
        {"&#0000065;&#x000041;", "AA"},
        {"&lt;&gt;&&lt;&amp;&amp;", "<>&<&&"},
        // Escaped again, any number of times, by name or by number.
        {"&amp;amp; &amp;#39; &amp;lt; &amp;amp;amp;#x50; &amp;quot;", "& ' < P \""},
        {"&#38;lt; &#x26;#39; &amp;#38;amp;gt;", "< ' >"},
        {"&amp;amp;nbsp; &amp;#xD800;", "&nbsp; &#xD800;"},
        // Written by JSON, escaped again by it, and percent-encoded.
        {R"(\u0026lt; \\u0026amp;#39; \u0026#x50;)", "< ' P"},
        {"%26%2339%3B %26amp%3Blt%3B %26%23X50%3b", "' < P"},
        // What names no character stands as it is.
        {"&#xD800; &#xdfff; &#x110000; &#1114112; &#; &#x; &#xg; &#x0010FFFF0;",
         "&#xD800; &#xdfff; &#x110000; &#1114112; &#; &#x; &#xg; &#x0010FFFF0;"},
        {"&nbsp; &AMP; &amp &lt &", "&nbsp; &AMP; &amp &lt &"},
        {"a&b&&c;&#", "a&b&&c;&#"},
        // Numbers as HTML readers take them: without their ";", with any number of leading zeros.
        {"&#80&#88 &#x50x &#65;5 &#00000065; &#x0000041; &#0000000000000000000000000080;",
         "PX Px A5 A A P"},
        {"&#1234567 &#12345678;", "&#1234567 &#12345678;"},
        // One without its ";" before a "%" waits for a reading that may make it longer, and the
        // last reading reads it as it stands.
        {"Lq%&#x0025%% &#37%%", "Lq%%%% %%%"},
        // A reference right after what such a one waits for, that may end it or be more of its
        // digits, waits with it: each is then read on its own, as a reader that decodes the
        // percent-escapes first reads them.
        {"&#003%2537&#X3b;A &#003%2537&#x3b;&#x3b; &#0%2534&#56;&#x3B;",
         "%;A %;; \x04"
         "8;"},
        {"&#003%2537&#60;A", "%<A"},
        // So does one right after a run that the next reading makes a reference of, or more
        // digits of one: what it reads as stays apart from that one (";\\9", "%\\9", whose "\\9"
        // then reads as "9"), as it did where the writer put it.
        {"&#%2558003b&#92;9 %2526%2523x0025&#X5c;9", ";9 %9"},
        // And one right after a reference that waits waits with it.
        {"%2541&#xE9&#0059x &#003%2537&#X3b;&#X3b;", "A\xc3\xa9;x %;;"},
        // So does one at the end of the run after a reference that waits and is whole with its
        // ";", which the next reading reads with that run, and so on: "&#000125" is then ended by
        // the "&" of "&#59", as an HTML reader reads both in one pass, not by the ";" that
        // "&#59" reads as.
        {"%%333&#00038&#35;000125&#00038&#35;59x", "3};x"},
        {"%%333&amp;amp;#125&amp;amp;#59&amp;amp;#59x", "3};;x"},
        // A "%" before nothing that may read as hex digits leaves it to be read at once: its
        // backslash is then read with the "%" after it.
        {"%26%2392&#37%3b &#9%%33%33", "% ]"},
        // So does a "%" whose digits can never come: the reference after it is read at once, and
        // the escape its backslash starts with it.
        {"&#0%fu&#92;n x&#65%fu&#92;n &#65%4 &#65%4%31 &#65%4&#49;",
         std::string(1, '\0') + "%fu\n xA%fu\n A%4 AA AA"},
        {"&#0%%JJ&#92;n", std::string(1, '\0') + "%%JJ\n"},
        // A reference that may begin or go on with one, before a run of digits, letters and "&"
        // up to a ";" that holds a percent-escape the next reading reads, waits for the run to be
        // whole, as one reader reads all of it:
        // "&#38;&#35;65&#59;" reads as "&#65;", so as "A", not as "&#65" and ";".
        {"&#38;&#35;%2536%2535&#59; %26#38%3B%26#3%35;%253%36%2535%26#%253%35%39;", "A A"},
        // A ";" ends that run: one that reads as ";" waits for no run after it, however long,
        // so that a reference it ends is read whole ("&#x41&#59;" would read as "A;").
        {"&#38;&#35;x41&#59;" + std::string(150, 'b') + "%2541", "A" + std::string(150, 'b') + "A"},
        // Nor does one that reads as "%": the percent-escape it begins is read next as it is, and
        // a reference it ends is read whole ("&#X5c&#37;3B" would read as "\\;").
        {"Lq&#x25;26&#37;23X5c&#37;3Bnab%4%441", "Lq\nabM1"},
        // A backslash a reference names is read again, as the escape it starts.
        {"&#92;n &#x5c;u00e9 &#92;&#92;n", "\n \xc3\xa9 \n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canonical(c.text), c.canonical) << c.text;
    }
}

TEST(CanonicalViewTest, NewReadingsNameTheStretchesTheyCameFrom) {
    struct Case {
        std::string text;
        std::string bytes;
        std::vector<std::pair<uint32_t, uint32_t>> stretches;
    };
    const Case cases[] = {
        // Each byte of a UTF-8 run stands for its own escape; a code point's bytes for one.
        {R"(a\xc3\xa9\xe9&amp;lt;b)",
         "a\xc3\xa9\xc3\xa9<b",
         {{0, 1}, {1, 5}, {5, 9}, {9, 13}, {9, 13}, {13, 21}, {21, 22}}},
        {R"(\\303\\251|\U0001F511|%5Cx41|&#x50;)",
         "\xc3\xa9|\xf0\x9f\x94\x91|A|P",
         {{0, 5},
          {5, 10},
          {10, 11},
          {11, 21},
          {11, 21},
          {11, 21},
          {11, 21},
          {21, 22},
          {22, 28},
          {28, 29},
          {29, 35}}},
        // A reference whose "&" JSON wrote starts at that escape.
        {R"(x\u0026#233;)", "x\xc3\xa9", {{0, 1}, {1, 12}, {1, 12}}},
        // What does not read stands for itself.
        {"&#xD800;", "&#xD800;", {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}}},
        {R"(\x4)", "x4", {{0, 2}, {2, 3}}},
    };
    for (const auto& c : cases) {
        const CanonicalView view = canonical_view(c.text);
        ASSERT_EQ(view.bytes, c.bytes) << c.text;
        ASSERT_EQ(view.from.size(), c.stretches.size()) << c.text;
        ASSERT_EQ(view.to.size(), c.stretches.size()) << c.text;
        for (size_t i = 0; i < c.stretches.size(); ++i) {
            EXPECT_EQ(view.from[i], c.stretches[i].first) << c.text << " at " << i;
            EXPECT_EQ(view.to[i], c.stretches[i].second) << c.text << " at " << i;
        }
    }
}

// However long a chain of escapes, one canonical byte stands for no more than
// `kLongestCanonicalReach` bytes of the text, and the reading goes on past it.
TEST(CanonicalViewTest, OneByteReachesABoundedStretch) {
    // A character escaped by JSON behind eight backslashes, every one of its bytes percent-encoded.
    const auto hidden = [](char c) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (int k = 0; k < 8; ++k) {
            out += "%5C";
        }
        for (const char ch : std::string("u00") + kHex[c >> 4] + kHex[c & 0xf]) {
            out += std::string("%") + kHex[ch >> 4] + kHex[ch & 0xf];
        }
        return out;
    };
    std::string pair;
    for (const char* half : {"ud83d", "udd11"}) {
        for (int k = 0; k < 8; ++k) {
            pair += "%5C";
        }
        for (const char* ch = half; *ch != '\0'; ++ch) {
            pair +=
                "%" + std::string(1, "0123456789ABCDEF"[*ch >> 4]) + "0123456789ABCDEF"[*ch & 0xf];
        }
    }
    const std::string chain = "&" + [] {
        std::string amps;
        for (int k = 0; k < 100; ++k) {
            amps += "amp;";
        }
        return amps;
    }() + "lt;";
    const std::string texts[] = {
        pair,
        chain,
        std::string(50, '\\') + "U0001F511",
        std::string(30, '\\') + "xc3" + std::string(30, '\\') + "xa9",
        "%26" + hidden('#') + "39%3B",
    };
    for (const std::string& text : texts) {
        const CanonicalView view = canonical_view(text);
        for (size_t i = 0; i < view.bytes.size(); ++i) {
            EXPECT_LE(view.to[i] - view.from[i], kLongestCanonicalReach) << text << " at " << i;
        }
    }
    // The longest escape: a surrogate pair, every character of it percent-encoded.
    const CanonicalView key = canonical_view(pair);
    ASSERT_EQ(key.bytes, "\xf0\x9f\x94\x91");
    EXPECT_EQ(key.to[0] - key.from[0], 78u);
    // The chain of references reads as nothing before the pieces that fit.
    const CanonicalView lt = canonical_view(chain);
    ASSERT_EQ(lt.bytes, "<");
    EXPECT_EQ(lt.to[0], chain.size());
    // The first "amp;" (one byte in, four long) that starts within the bound of the end.
    const size_t first_piece = 1 + (chain.size() - 1 - kLongestCanonicalReach + 3) / 4 * 4;
    EXPECT_EQ(lt.from[0], first_piece);
    // A reference whose own characters stand for too long a stretch stays as it stands.
    EXPECT_EQ(canonical("%26" + hidden('#') + "39%3B"), "'");
    // Read again, the reference its escapes gave reads too, and stands for all of them.
    const std::string escaped_reference =
        "&" + hidden('#') + hidden('3') + hidden('9') + hidden(';');
    const CanonicalView quote = canonical_view(escaped_reference);
    ASSERT_EQ(quote.bytes, "'");
    EXPECT_EQ(quote.from[0], 0u);
    EXPECT_EQ(quote.to[0], escaped_reference.size());
    // Long runs read in one pass, to what they stand for.
    std::string amps;
    for (int k = 0; k < 100000; ++k) {
        amps += "amp;";
    }
    EXPECT_EQ(canonical("x&" + amps + "#233;y"), "x\xc3\xa9y");
    std::string refs;
    for (int k = 0; k < 100000; ++k) {
        refs += "&amp;";
    }
    EXPECT_EQ(canonical(refs), std::string(100000, '&'));
    EXPECT_EQ(canonical(std::string(100000, '\\') + "xc3\\xa9"), "\xc3\xa9");
    std::string bytes;
    for (int k = 0; k < 10000; ++k) {
        bytes += "\\xc3\\xa9\\xe9";
    }
    std::string read;
    for (int k = 0; k < 10000; ++k) {
        read += "\xc3\xa9\xc3\xa9";
    }
    EXPECT_EQ(canonical(bytes), read);
}

// What an escape beside a form takes of it: a short form is known whole beside each such escape,
// a long one by what the escape leaves of it; a form that ends in an escape begun is known without
// it. None for a form whose ends no escape takes.
TEST(CanonicalViewTest, EdgeReadingsLeaveOutWhatAnEscapeBesideAFormTakes) {
    const std::string long_tail(60, 'x');
    const struct {
        std::string form;
        std::vector<std::string> ends_taken;
        std::vector<std::string> starts_taken;
        std::vector<std::string> beside_escapes;
    } cases[] = {
        {"plainword", {}, {}, {}},
        {"Xyz%41-word", {}, {}, {}},
        // "\\" and "n" read as a line break, "&" and "lt;" as "<".
        {"nabcdefgh", {}, {"abcdefgh"}, {"\nabcdefgh"}},
        {"n\\u00e9bula-xyz",
         {},
         {"\xc3\xa9"
          "bula-xyz"},
         {"\n\xc3\xa9"
          "bula-xyz"}},
        {"lt;abcdefg", {}, {"abcdefg"}, {"<abcdefg"}},
        // A trailing backslash stands for nothing alone.
        {"nabcdef\\", {}, {"abcdef"}, {"\nabcdef"}},
        // Hex digits after "%", "%4", "&#" and "\\u": what is left whatever the escape's own
        // digits, and the short form whole beside each escape ("\\U000" takes five digits), and
        // beside each escape begun before "%4", which reads with the form's first digit as one
        // ("%4%4" as "M", "\\u00%4" as U+00DE, "\\x%4" as a byte that is not UTF-8).
        {"4eabcdefgh",
         {},
         {"abcdefgh", "eabcdefgh", "cdefgh", "bcdefgh"},
         {"Nabcdefgh", "Deabcdefgh", "Meabcdefgh",
          "\x04"
          "eabcdefgh",
          "\xe4\xba\xab"
          "cdefgh",
          "\xd3\xaa"
          "bcdefgh",
          "\xf0\x94\xba\xab"
          "cdefgh",
          "\xc3\x9e"
          "abcdefgh",
          "\xe0\xb7\xaa"
          "bcdefgh",
          "\xf0\x9d\xba\xab"
          "cdefgh",
          "\xff"
          "abcdefgh",
          "\xff"
          "cdefgh",
          "\xf1\x8e\xaa\xbc"
          "defgh",
          "\xf3\x9e\xaa\xbc"
          "defgh"}},
        // Too little left for a reading of its own: known beside each escape alone.
        {"0123", {}, {}, {std::string(1, '\0') + "123", "@123", "\xf0\x90\x84\xa3"}},
        // What follows completes an escape begun at the end.
        {"Wxyzabcd%4", {"Wxyzabcd"}, {}, {}},
        {"Wxyzabcd&#8", {"Wxyzabcd"}, {}, {}},
        {"Wxyzabcd\\u00", {"Wxyzabcd"}, {}, {}},
        {"Wxyzabcd\\u", {"Wxyzabcd"}, {}, {}},
        // A run of escape starts: each reading of what follows may take one more of them
        // ("%%%%" before "4141" reads as "%%", U+00A4 and "1"), the digits after it with them.
        {"Wxyzabcd%%%%", {"Wxyzabcd%%%", "Wxyzabcd%%", "Wxyzabcd%", "Wxyzabcd"}, {}, {}},
        {"Wxyzabcd%%4", {"Wxyzabcd%", "Wxyzabcd"}, {}, {}},
        // Both at once, as copies in a row read.
        {"nWxyzabcd%4", {"nWxyzabcd"}, {"Wxyzabcd%4", "Wxyzabcd"}, {"\nWxyzabcd%4", "\nWxyzabcd"}},
        // A long form: what the escape leaves, two hex digits or one taken.
        {"4e" + long_tail, {}, {long_tail, "e" + long_tail}, {}},
        // Too short a piece is no reading of its own.
        {"Wbc%4", {}, {}, {}},
    };
    // In any order.
    const auto sorted = [](std::vector<std::string> readings) {
        std::sort(readings.begin(), readings.end());
        return readings;
    };
    for (const auto& c : cases) {
        const EdgeReadings readings = edge_readings(c.form);
        EXPECT_EQ(sorted(readings.ends_taken), sorted(c.ends_taken)) << c.form;
        EXPECT_EQ(sorted(readings.starts_taken), sorted(c.starts_taken)) << c.form;
        EXPECT_EQ(sorted(readings.beside_escapes), sorted(c.beside_escapes)) << c.form;
    }
}

// Escapes before a form, each waiting for what the next reads as, take more of it than any one
// of them: what they leave is a reading of its own.
TEST(CanonicalViewTest, EdgeReadingsLeaveOutWhatAChainOfEscapesTakes) {
    const struct {
        const char* form;
        const char* left;
    } cases[] = {
        {"33;33ETabcdefgh", "ETabcdefgh"},   // "&#&#x33;" reads as "&#3", then "&#33" as "!"
        {"333aaa}}}}}}}}", "}}}}}}}"},       // "\\u{%33" reads as "\\u{3", then U+33AAA
        {"333aaaa/Wusrxyz", "/Wusrxyz"},     // "&#x\\u00\\u0033" as "&#x\\u0033", "&#x3", U+3AAAA
        {"33}}3!Kccaaabbb", "3!Kccaaabbb"},  // "\\u{\\u{33}" as "\\u{3", then "\\u{3}"
        {"x3333335Upabcdef", "Upabcdef"},    // "&#\\x33" as "&#3", then "&#333335" as U+51617
        {"5E6Af1-secret", "1-secret"},       // "\\U000" and five hex digits as U+5E6AF
    };
    for (const auto& c : cases) {
        const std::vector<std::string> starts_taken = edge_readings(c.form).starts_taken;
        EXPECT_NE(std::find(starts_taken.begin(), starts_taken.end(), c.left), starts_taken.end())
            << c.form;
    }
}

// Base64 wrapped into lines reads whole in a view of its own; a line break that ends a sentence
// stays, and a view without such breaks has none of its own.
TEST(CanonicalViewTest, Base64WrappedIntoLinesReadsWholeInAViewOfItsOwn) {
    const struct {
        std::string text;
        std::optional<std::string> unwrapped;
    } cases[] = {
        {"QUJD\nREVG QUJD\r\nREVG QUJD\\r\\nREVG", "QUJDREVG QUJDREVG QUJDREVG"},
        {"a+b/\nc-d_", "a b/c-d_"},
        {"end.\nNext\n\nline\n", std::nullopt},
        {"no break at all", std::nullopt},
    };
    for (const auto& c : cases) {
        const CanonicalView view = canonical_view(c.text);
        EXPECT_EQ(view.bytes.find('\n') != std::string::npos,
                  c.text.find('\n') != std::string::npos || c.text.find("\\n") != std::string::npos)
            << c.text;
        CanonicalView unwrapped;
        ASSERT_EQ(without_base64_line_breaks(view, unwrapped), c.unwrapped.has_value()) << c.text;
        if (c.unwrapped) {
            EXPECT_EQ(unwrapped.bytes, *c.unwrapped) << c.text;
            // Each byte still names where it came from.
            for (size_t i = 0; i < unwrapped.bytes.size(); ++i) {
                EXPECT_LT(unwrapped.from[i], unwrapped.to[i]);
                EXPECT_LE(unwrapped.to[i], c.text.size());
            }
        }
    }
}

// A reading may start with a later step: what an encoder wrote is read where that encoder's
// escapes are, before the steps that read what it left.
TEST(CanonicalViewTest, AReadingStartsWithTheStepItIsGiven) {
    const struct {
        std::string text;
        ReadingStep first;
        std::string canonical;
    } cases[] = {
        // An escape that an escape after it may complete waits for the next reading, whatever
        // the first step.
        {"\\u%41eee", ReadingStep::kPercentEscapes, "\xea\xbb\xae"},
        {"\\u%41eee", ReadingStep::kBackslashEscapes, "\xea\xbb\xae"},
        {"\\&#110;x", ReadingStep::kPercentEscapes, "nx"},
        {"\\&#110;x", ReadingStep::kReferences, "\nx"},
        {"&#0%360;x", ReadingStep::kPercentEscapes, "<x"},
        {"&#0%360;x", ReadingStep::kReferences, "<x"},
        // Where no escape waits, the step a reading starts with tells: a backslash a reference
        // names, read first, escapes the backslash after it.
        {"\\x6e%26#110;", ReadingStep::kPercentEscapes, "nn"},
        {"\\x6e%26#110;", ReadingStep::kReferences, "nn"},
        {"&#92;\\x6e", ReadingStep::kPercentEscapes, "\n"},
        {"&#92;\\x6e", ReadingStep::kReferences, "n"},
        {"plain words", ReadingStep::kReferences, "plain words"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canonical(c.text, c.first), c.canonical)
            << c.text << " from step " << static_cast<int>(c.first);
    }
}

TEST(CanonicalViewTest, FindsTheBackslashesWrittenBesideAPosition) {
    const struct {
        std::string text;
        size_t at;
        Side side;
        size_t length;
    } cases[] = {
        {R"(ab\cd)", 2, Side::kAfter, 1},
        {R"(ab\\\cd)", 2, Side::kAfter, 1},
        {"ab%5ccd", 2, Side::kAfter, 3},
        {"ab&#92;cd", 2, Side::kAfter, 5},
        // A reference without its ";" reads as one, and takes it along where it follows.
        {"ab&#92cd", 2, Side::kAfter, 4},
        {"ab&#x005C;&#92;cd", 2, Side::kAfter, 8},
        {"ab%26%2392%3Bcd", 2, Side::kAfter, 11},
        {R"(ab\x5ccd)", 2, Side::kAfter, 4},
        {"ab&#92;cd", 7, Side::kBefore, 5},
        {R"(ab%5C\cd)", 6, Side::kBefore, 1},
        {R"(ab%5C\cd)", 5, Side::kBefore, 3},
        // The backslash that starts another escape, and what reads as no backslash.
        {R"(ab\ncd)", 2, Side::kAfter, 1},
        {R"(ab\x5)", 2, Side::kAfter, 1},
        {"ab&#93;cd", 2, Side::kAfter, 0},
        {"ab%5", 2, Side::kAfter, 0},
        {"ab&amp;cd", 2, Side::kAfter, 0},
        {"abcd", 2, Side::kBefore, 0},
        {"", 0, Side::kAfter, 0},
        {"", 0, Side::kBefore, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(backslash_written_at(c.text, c.at, c.side), c.length) << c.text << " at " << c.at;
    }
}

TEST(CanonicalViewTest, TellsWhichTextsMayDiffer) {
    for (const std::string text :
         {"a%b", "a+b", "a\\b", "caf\xc3\xa9", "\xff", "a&b", "&lt;", "QUJD\nREVG"}) {
        EXPECT_TRUE(may_differ_from_canonical(text)) << text;
    }
    EXPECT_FALSE(may_differ_from_canonical("GET /api/v1 200 ok: {\"a\":1}"));
    EXPECT_FALSE(may_differ_from_canonical("#39; lt; x50 U0001F511 303 251 ;#xX"));
    // Each byte that may differ, at every place of texts shorter than a vector step (read as
    // words of four and eight bytes), long enough for whole steps and for blocks of four of
    // them, and the view of a text that reads "+" as a blank there.
    for (const size_t length : {1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 40, 150}) {
        for (const char c : {'%', '+', '\\', '&', '\n', '\x80', '\xff'}) {
            for (size_t at = 0; at < length; ++at) {
                std::string text(length, 'a');
                EXPECT_FALSE(may_differ_from_canonical(text));
                text[at] = c;
                EXPECT_TRUE(may_differ_from_canonical(text)) << int(c) << " at " << at;
            }
        }
        for (size_t at = 0; at < length; ++at) {
            std::string text(length, 'a');
            text[at] = '+';
            CanonicalView view;
            canonical_view(text, view);
            std::string expected(length, 'a');
            expected[at] = ' ';
            ASSERT_EQ(view.bytes, expected) << "at " << at;
            for (size_t i = 0; i < length; ++i) {
                ASSERT_EQ(view.from[i], i);
                ASSERT_EQ(view.to[i], i + 1);
            }
        }
    }
}

}  // namespace
}  // namespace quorvel::secrets
