// The forms a known secret is known in: the Basic credentials the HTTP client builds of a URL's
// user information, the secret inside longer base64 text at each byte alignment, its UTF-8 bytes
// read with a single-byte encoding, and its other normal forms. Expected texts are written out
// (base64 as `printf ... | base64` gives it, and as libcurl sent it to a loopback server), or
// computed with the controller's base64 as a reference encoder. That each is hidden where a
// server quotes it is the scenario tests' part.
#include "util/secret_forms.h"
#include "controller/base64url.h"
#include "util/canonical_view.h"
#include "util/debug_text.h"
#include "util/secrets.h"
#include "util/url.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace quorvel::secrets {
namespace {

// `bytes` in base64, by the controller's encoder: the URL-safe alphabet, or the standard one.
std::string reference_base64(std::string_view bytes, bool standard, bool padded) {
    const std::span<const uint8_t> span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size());
    std::string text = controller::base64url_encode(span);
    if (standard) {
        std::replace(text.begin(), text.end(), '-', '+');
        std::replace(text.begin(), text.end(), '_', '/');
    }
    if (padded) {
        text.append((4 - text.size() % 4) % 4, '=');
    }
    return text;
}

std::string random_bytes(std::mt19937& random, size_t count) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// How many base64 characters depend on the bits of `length` bytes alone when `before` bytes
// precede them: character j stands for bits [6j, 6j + 6).
size_t characters_within(size_t before, size_t length) {
    size_t count = 0;
    for (size_t j = 0; 6 * j + 6 <= 8 * (before + length); ++j) {
        count += 6 * j >= 8 * before ? 1 : 0;
    }
    return count;
}

bool holds(const std::vector<std::string>& forms, const std::string& form) {
    return std::find(forms.begin(), forms.end(), form) != forms.end();
}

// The Basic texts are those libcurl 7.88 sent to a loopback server for these URLs' user
// information (user and password percent-decoded, but "+" kept; a user alone sent with an empty
// password), or `printf 'carol:PASSWORD' | base64`.
TEST(SecretFormsTest, BasicCredentialsAreTheTextsTheHttpClientSends) {
    const struct {
        std::string userinfo;
        std::vector<std::string> forms;
    } cases[] = {
        {"carol:PASSWORD", {"Y2Fyb2w6UEFTU1dPUkQ=", "Y2Fyb2w6UEFTU1dPUkQ"}},
        {"user", {"dXNlcjo=", "dXNlcjo"}},  // sent as "user:"
        {"user:", {"dXNlcjo=", "dXNlcjo"}},
        {"puser", {"cHVzZXI6"}},  // no padding, no "+" nor "/": one form
        {":onlypw", {"Om9ubHlwdw==", "Om9ubHlwdw"}},
        {"us%3Aer:p%40ss", {"dXM6ZXI6cEBzcw==", "dXM6ZXI6cEBzcw"}},
        {"us%3Aer", {"dXM6ZXI6"}},  // an encoded ":" belongs to the user
        {"caf%C3%A9:p%20w", {"Y2Fmw6k6cCB3"}},
        {"pu%3A:p%2Bw+x", {"cHU6OnArdyt4"}},
        {"a%zzb:c%", {"YSV6emI6YyU=", "YSV6emI6YyU"}},  // stray percents as written
        {"a;b:c;d", {"YTtiOmM7ZA==", "YTtiOmM7ZA"}},
        // Both alphabets: "~~~>" and "???" encode to "+" and "/".
        {"op:~~~>???",
         {"b3A6fn5+Pj8/Pw==", "b3A6fn5+Pj8/Pw", "b3A6fn5-Pj8_Pw==", "b3A6fn5-Pj8_Pw"}},
        // Too short to be known, as the user information itself is.
        {"", {}},
        {":", {}},
        {"bob", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(basic_credentials_forms(c.userinfo), c.forms) << c.userinfo;
    }
}

// The stretch each alignment gives is the base64 of the secret inside any longer text that holds
// it at that offset: found exactly where the secret's own bits begin, and as long as the
// characters that depend on them alone.
TEST(SecretFormsTest, AlignedStretchesStandInsideBase64OfLongerTexts) {
    std::mt19937 random(20240611);
    const std::string secrets[] = {
        "hunter2hunter2",
        "abcdefg",
        "p\xc3\xa4ssw\xc3\xb6rd-\xce\xbb",
        "\xd1\x81\xd0\xbe\xd0\xb2\xd0\xb0-\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c",
        std::string("\0\xff\x00\xfe\x7f\x80zz", 8),
        random_bytes(random, 31),
    };
    for (const std::string& secret : secrets) {
        for (size_t offset = 0; offset < 3; ++offset) {
            const std::string aligned = aligned_base64(secret, offset);
            EXPECT_EQ(aligned.size(), characters_within(offset, secret.size()))
                << secret << " at " << offset;
            for (int trial = 0; trial < 40; ++trial) {
                const size_t before = 3 * (random() % 5) + offset;
                const std::string text =
                    random_bytes(random, before) + secret + random_bytes(random, random() % 6);
                const size_t begin = (8 * before + 5) / 6;
                const std::string standard = reference_base64(text, true, trial % 2 == 0);
                EXPECT_EQ(standard.substr(begin, aligned.size()), aligned)
                    << secret << " after " << before;
                std::string url_safe = aligned;
                std::replace(url_safe.begin(), url_safe.end(), '+', '-');
                std::replace(url_safe.begin(), url_safe.end(), '/', '_');
                EXPECT_EQ(reference_base64(text, false, false).substr(begin, aligned.size()),
                          url_safe);
            }
        }
    }
    // Written out: `printf '\0hunter2hunter2' | base64` is "AGh1bnRlcjJodW50ZXIy".
    EXPECT_EQ(aligned_base64("hunter2hunter2", 0), "aHVudGVyMmh1bnRlcj");
    EXPECT_EQ(aligned_base64("hunter2hunter2", 1), "h1bnRlcjJodW50ZXIy");
    EXPECT_EQ(aligned_base64("hunter2hunter2", 2), "odW50ZXIyaHVudGVyM");
    EXPECT_EQ(aligned_base64("a", 0), "Y");
    EXPECT_EQ(aligned_base64("a", 1), "");
    EXPECT_EQ(aligned_base64("", 2), "");
}

// The forms of typical secrets, written out. `exact` lists every form; otherwise `present` must
// be among them and `absent` must not.
TEST(SecretFormsTest, TypicalSecretsAreKnownInTheirForms) {
    const struct {
        std::string secret;
        std::vector<std::string> exact;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    } cases[] = {
        // ASCII without "+" or "/" in its base64: the secret and its three alignments alone.
        {"hunter2hunter2",
         {"hunter2hunter2", "aHVudGVyMmh1bnRlcj", "h1bnRlcjJodW50ZXIy", "odW50ZXIyaHVudGVyM"},
         {},
         {}},
        {"user1234:password1234",
         {"user1234:password1234", "user1234%3Apassword1234", "user1234%3apassword1234",
          "dXNlcjEyMzQ6cGFzc3dvcmQxMjM0", "VzZXIxMjM0OnBhc3N3b3JkMTIzN",
          "1c2VyMTIzNDpwYXNzd29yZDEyMz"},
         {},
         {}},
        // Percent-encoded: aligned as given and decoded, and read wrongly and normalised decoded.
        {"alice:caf%C3%A9-secret",
         {},
         {"alice:caf%C3%A9-secret", "alice:caf\xc3\xa9-secret", "YWxpY2U6Y2FmJUMzJUE5LXNlY3Jld",
          "FsaWNlOmNhZiVDMyVBOS1zZWNyZX", "hbGljZTpjYWYlQzMlQTktc2VjcmV0",
          "YWxpY2U6Y2Fmw6ktc2VjcmV0", "FsaWNlOmNhZsOpLXNlY3Jld", "hbGljZTpjYWbDqS1zZWNyZX",
          "alice:caf\xc3\x83\xc2\xa9-secret", "alice:cafe\xcc\x81-secret"},
         {}},
        // Non-ASCII: Latin-1 and Windows-1252 read alike here; NFD takes the umlauts apart.
        {"p\xc3\xa4ssw\xc3\xb6rd-\xce\xbb",
         {},
         {"cMOkc3N3w7ZyZC3Ou", "DDpHNzd8O2cmQtzr", "ww6Rzc3fDtnJkLc67",
          "p\xc3\x83\xc2\xa4ssw\xc3\x83\xc2\xb6rd-\xc3\x8e\xc2\xbb",
          "pa\xcc\x88sswo\xcc\x88rd-\xce\xbb"},
         {}},
        // 0x82 reads as U+0082 in Latin-1 and as U+201A in Windows-1252.
        {"\xe2\x82\xacuro-Schl\xc3\xbcssel",
         {},
         {"\xc3\xa2\xc2\x82\xc2\xacuro-Schl\xc3\x83\xc2\xbcssel",
          "\xc3\xa2\xe2\x80\x9a\xc2\xacuro-Schl\xc3\x83\xc2\xbcssel",
          "\xe2\x82\xacuro-Schlu\xcc\x88ssel"},
         {}},
        // 0x81, undefined in Windows-1252, reads as U+0081 in both; 0x80 as U+20AC, 0x8C as
        // U+0152. Base64 with "+" and "/": in both alphabets, and "+" read as a blank.
        {"\xd1\x81\xd0\xbe\xd0\xb2\xd0\xb0-\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c",
         {},
         {"\xc3\x91\xc2\x81\xc3\x90\xc2\xbe\xc3\x90\xc2\xb2\xc3\x90\xc2\xb0-\xc3\x90\xc2\xbf\xc3"
          "\x90\xc2\xb0\xc3\x91\xc2\x80\xc3\x90\xc2\xbe\xc3\x90\xc2\xbb\xc3\x91\xc2\x8c",
          "\xc3\x91\xc2\x81\xc3\x90\xc2\xbe\xc3\x90\xc2\xb2\xc3\x90\xc2\xb0-\xc3\x90\xc2\xbf\xc3"
          "\x90\xc2\xb0\xc3\x91\xe2\x82\xac\xc3\x90\xc2\xbe\xc3\x90\xc2\xbb\xc3\x91\xc5\x92",
          "0YHQvtCy0LAt0L/QsNGA0L7Qu9GM", "0YHQvtCy0LAt0L_QsNGA0L7Qu9GM",
          "RgdC+0LLQsC3Qv9Cw0YDQvtC70Y", "RgdC-0LLQsC3Qv9Cw0YDQvtC70Y",
          "RgdC 0LLQsC3Qv9Cw0YDQvtC70Y"},
         // Cyrillic has no other normal form.
         {}},
        // Composed and decomposed: each is known in the other's form.
        {"caf\xc3\xa9-secret", {}, {"cafe\xcc\x81-secret", "caf\xc3\x83\xc2\xa9-secret"}, {}},
        {"cafe\xcc\x81-secret",
         {},
         {"caf\xc3\xa9-secret", "cafe\xc3\x8c\xc2\x81-secret", "Y2FmZcyBLXNlY3Jld",
          "NhZmXMgS1zZWNyZX", "jYWZlzIEtc2VjcmV0"},
         {}},
        // The floor of eight characters: "abcdef" has one alignment, "abcdefg" all three, and
        // "abcd" none (its stretches hold 5, 4 and 5 characters).
        {"abcd", {"abcd"}, {}, {}},
        {"abcdef", {"abcdef", "YWJjZGVm"}, {}, {}},
        {"abcdefg", {"abcdefg", "YWJjZGVmZ", "FiY2RlZm", "hYmNkZWZn"}, {}, {}},
        // Bytes that are not UTF-8 are read wrongly, but not normalised.
        {"bad\xff\xfe-bytes",
         {},
         {"bad\xc3\xbf\xc3\xbe-bytes", "YmFk//4tYnl0ZX", "YmFk__4tYnl0ZX"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secret);
        const std::vector<std::string> forms = forms_of(c.secret);
        if (!c.exact.empty()) {
            EXPECT_EQ(forms, c.exact);
        }
        for (const std::string& form : c.present) {
            EXPECT_TRUE(holds(forms, form)) << form;
        }
        for (const std::string& form : c.absent) {
            EXPECT_FALSE(holds(forms, form)) << form;
        }
        for (const std::string& form : forms) {
            EXPECT_GE(form.size(), kShortestKnownSecret) << form;
            EXPECT_EQ(std::count(forms.begin(), forms.end(), form), 1) << form;
        }
    }
}

// Every form is known once, at least `kShortestKnownSecret` bytes long, and with its canonical
// form; each alignment of at least eight characters is known in both alphabets, and no shorter
// one is. Random secrets of every length up to 24 bytes, ASCII and not.
TEST(SecretFormsTest, FormsOfRandomSecretsKeepTheirRules) {
    std::mt19937 random(7);
    const std::string alphabet = "abcXYZ019+/%~:\\\"";
    for (size_t length = 1; length <= 24; ++length) {
        for (int trial = 0; trial < 20; ++trial) {
            std::string secret;
            for (size_t i = 0; i < length; ++i) {
                secret += trial % 2 == 0 ? std::string(1, alphabet[random() % alphabet.size()])
                                         : std::string("\xc3\xa9");
            }
            SCOPED_TRACE(secret);
            const std::vector<std::string> forms = forms_of(secret);
            for (const std::string& form : forms) {
                EXPECT_GE(form.size(), kShortestKnownSecret) << form;
                EXPECT_EQ(std::count(forms.begin(), forms.end(), form), 1) << form;
            }
            for (size_t offset = 0; offset < 3; ++offset) {
                const std::string aligned =
                    reference_base64(std::string(offset, '\0') + secret + std::string(3, '\0'),
                                     true, false)
                        .substr((8 * offset + 5) / 6, characters_within(offset, secret.size()));
                std::string url_safe = aligned;
                std::replace(url_safe.begin(), url_safe.end(), '+', '-');
                std::replace(url_safe.begin(), url_safe.end(), '/', '_');
                const bool long_enough = aligned.size() >= kShortestAlignedBase64;
                if (aligned.size() >= kShortestKnownSecret) {
                    EXPECT_EQ(holds(forms, aligned), long_enough) << aligned;
                    EXPECT_EQ(holds(forms, url_safe), long_enough) << url_safe;
                }
                if (long_enough) {
                    EXPECT_TRUE(holds(forms, canonical(aligned))) << aligned;
                }
            }
        }
    }
}

// What lossy decoders and writers make of a secret with non-ASCII characters, written out: "?"
// for each character or each byte, and U+FFFD for either, which the canonical view reads as one
// replacement byte however many there are; and the normal form the secret was not given in, read
// as Latin-1 ("\xcc\x88" as "\xc3\x8c\xc2\x88") and as Windows-1252 ("\xcc\x88" as
// "\xc3\x8c\xcb\x86").
TEST(SecretFormsTest, NonAsciiSecretsAreKnownAsLossyDecodersAndMisreadNormalFormsShowThem) {
    const struct {
        std::string secret;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    } cases[] = {
        {"cr\xc3\xa8me-secret",
         {"cr?me-secret", "cr??me-secret", "cr\xffme-secret", "cre\xc3\x8c\xc2\x80me-secret",
          "cre\xc3\x8c\xe2\x82\xacme-secret"},
         // Each U+FFFD form only in its canonical form.
         {"cr\xef\xbf\xbdme-secret", "cr\xef\xbf\xbd\xef\xbf\xbdme-secret"}},
        // A three-byte and a four-byte character.
        {"\xe2\x82\xacuro-Schl\xc3\xbcssel",
         {"?uro-Schl?ssel", "???uro-Schl??ssel", "\xffuro-Schl\xffssel",
          "\xc3\xa2\xc2\x82\xc2\xacuro-Schlu\xc3\x8c\xc2\x88ssel",
          "\xc3\xa2\xe2\x80\x9a\xc2\xacuro-Schlu\xc3\x8c\xcb\x86ssel"},
         {}},
        {"key\xf0\x9f\x94\x91-pass", {"key?-pass", "key???\?-pass", "key\xff-pass"}, {}},
        // Two characters side by side are one run of U+FFFD, in either count.
        {"p\xc3\xa4\xc3\xb6ssw\xc3\xb6rd-\xce\xbb",
         {"p??ssw?rd-?", "p????ssw??rd-??", "p\xffssw\xffrd-\xff",
          "pa\xc3\x8c\xc2\x88o\xc3\x8c\xc2\x88sswo\xc3\x8c\xc2\x88rd-\xc3\x8e\xc2\xbb",
          "pa\xc3\x8c\xcb\x86o\xc3\x8c\xcb\x86sswo\xc3\x8c\xcb\x86rd-\xc3\x8e\xc2\xbb"},
         {}},
        // Percent-encoded: the decoded secret's forms; "+" is also read as a blank.
        {"caf%C3%A9+secret",
         {"caf?+secret", "caf??+secret", "caf? secret", "caf?? secret", "caf\xff secret",
          "cafe\xc3\x8c\xc2\x81+secret"},
         {"caf\xff+secret"}},
        // Given decomposed: the composed form read as Latin-1 and Windows-1252 ("\xc3\xa9" reads
        // alike in both), and the combining mark replaced on its own.
        {"cafe\xcc\x81-secret",
         {"caf\xc3\x83\xc2\xa9-secret", "cafe?-secret", "cafe?\?-secret", "cafe\xff-secret"},
         {}},
        // Bytes that are not UTF-8 count one each.
        {"bad\xff\xfe-bytes", {"bad?\?-bytes", "bad\xff-bytes"}, {}},
        // Four ASCII bytes are enough, three are not: a form of stand-ins and less would hide any
        // such run while showing less than a known secret must hold.
        {"\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c"
         "1234",
         {"??????1234", "????????????1234",
          "\xff"
          "1234"},
         {}},
        {"\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c"
         "123",
         {},
         {"??????123", "????????????123"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secret);
        const std::vector<std::string> forms = forms_of(c.secret);
        for (const std::string& form : c.present) {
            EXPECT_TRUE(holds(forms, form)) << form;
        }
        for (const std::string& form : c.absent) {
            EXPECT_FALSE(holds(forms, form)) << form;
        }
        for (const std::string& form : forms) {
            EXPECT_EQ(std::count(forms.begin(), forms.end(), form), 1) << form;
        }
    }
}

// ASCII secrets gain no form of a lossy decoder or of a normal form: none holds a byte above
// 0x7F, nor a "?" the secret does not hold.
TEST(SecretFormsTest, AsciiSecretsGainNoDecoderForms) {
    for (const std::string secret :
         {"hunter2hunter2", "100%25sure?", "pa+ss/wo%rd", "q\"uo\\te\tx", "what?now"}) {
        SCOPED_TRACE(secret);
        const std::vector<std::string> forms = forms_of(secret);
        ASSERT_FALSE(forms.empty());
        for (const std::string& form : forms) {
            EXPECT_TRUE(std::all_of(form.begin(), form.end(), [](char ch) {
                return static_cast<unsigned char>(ch) < 0x80;
            })) << form;
            EXPECT_LE(std::count(form.begin(), form.end(), '?'),
                      std::count(secret.begin(), secret.end(), '?'))
                << form;
        }
    }
}

// A base64 text is known in both alphabets, padded and not, whichever it was given in. The
// expected texts are `base64` and `basenc --base64url` of the bytes.
TEST(SecretFormsTest, Base64TextsAreKnownInBothAlphabetsPaddedOrNot) {
    const std::vector<std::string> both = {"fn5+Pj8/Pw==", "fn5+Pj8/Pw",
                                           "fn5-Pj8_Pw==", "fn5-Pj8_Pw"};
    const struct {
        std::string text;
        std::vector<std::string> writings;
    } cases[] = {
        {"fn5-Pj8_Pw", both},
        {"fn5-Pj8_Pw==", both},
        {"fn5+Pj8/Pw", both},
        {"fn5+Pj8/Pw==", both},
        // No "+" nor "/", no padding: one writing.
        {"c2VjcmV0", {"c2VjcmV0"}},
        {"c2VjcmV0LWtleQ", {"c2VjcmV0LWtleQ==", "c2VjcmV0LWtleQ"}},
        {"4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8",
         {"4OHi4+Tl5ufo6err7O3u7/Dx8vP09fb3+Pn6+/z9/v8=",
          "4OHi4+Tl5ufo6err7O3u7/Dx8vP09fb3+Pn6+/z9/v8",
          "4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8=",
          "4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8"}},
        // No base64: both alphabets mixed, a stray character, bits left over, wrong padding.
        {"fn5+Pj8_Pw", {}},
        {"not base64!", {}},
        {"c2VjcmV0LWtleR", {}},
        {"YR", {}},
        {"fn5-Pj8_Pw=", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64_writings(c.text), c.writings) << c.text;
    }
}

// The aligned base64 forms of `secret` made plainly: libsodium's encoder over the secret behind
// `offset` zero bytes, the stretch cut out, the URL-safe alphabet by replacing characters.
std::vector<std::string> plain_base64_forms(std::string_view secret) {
    const std::string decoded = percent_decode(secret);
    std::vector<std::string> given{std::string(secret)};
    if (decoded != secret) {
        given.push_back(decoded);
    }
    std::vector<std::string> forms;
    const auto add = [&forms](const std::string& form) {
        if (!holds(forms, form)) {
            forms.push_back(form);
        }
    };
    for (const std::string& text : given) {
        for (size_t offset = 0; offset < 3; ++offset) {
            const std::string bytes = std::string(offset, '\0') + text;
            constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL_NO_PADDING;
            std::string encoded(sodium_base64_encoded_len(bytes.size(), kVariant), '\0');
            sodium_bin2base64(encoded.data(), encoded.size(),
                              reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                              kVariant);
            encoded.resize(encoded.size() - 1);
            const size_t begin = (offset * 8 + 5) / 6;
            const size_t end = encoded.size() - (bytes.size() % 3 != 0 ? 1 : 0);
            if (end < begin + kShortestAlignedBase64) {
                continue;
            }
            const std::string aligned = encoded.substr(begin, end - begin);
            std::string url_safe = aligned;
            std::replace(url_safe.begin(), url_safe.end(), '+', '-');
            std::replace(url_safe.begin(), url_safe.end(), '/', '_');
            add(aligned);
            add(url_safe);
        }
    }
    return forms;
}

std::string plain_percent_encoded(std::string_view text, const char* hex) {
    std::string out;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) ||
            std::string_view("-._~").find(c) != std::string_view::npos) {
            out.push_back(c);
        } else {
            out += {'%', hex[static_cast<unsigned char>(c) >> 4], hex[c & 0xf]};
        }
    }
    return out;
}

// The forms as written that every secret's forms start with, each once and long enough, in their
// order: as given and decoded, percent-encoded, escaped as the debug form writes, read back.
std::vector<std::string> plain_written_forms(std::string_view secret) {
    const std::string decoded = percent_decode(secret);
    const auto escaped = [](std::string_view text) {
        const std::string quoted = debug_quoted(text);
        return quoted.substr(1, quoted.size() - 2);
    };
    std::vector<std::string> forms;
    for (const std::string& form :
         {std::string(secret), decoded, plain_percent_encoded(decoded, "0123456789ABCDEF"),
          plain_percent_encoded(decoded, "0123456789abcdef"), escaped(secret), escaped(decoded),
          canonical(secret), canonical(decoded)}) {
        if (form.size() >= kShortestKnownSecret && !holds(forms, form)) {
            forms.push_back(form);
        }
    }
    return forms;
}

// Each form is made once for all that index a secret: the decoded secret, its base64 forms and
// where their canonical forms stand among its forms are what a plain construction gives, and its
// forms are those `forms_of` and `base64_forms_of` give.
TEST(SecretFormsTest, FormsMadeOnceAreThoseOfAPlainConstruction) {
    std::mt19937 random(8);
    std::string long_ascii;
    while (long_ascii.size() < 1500) {
        long_ascii.push_back("abcXYZ0189-_.!+/"[random() % 16]);
    }
    const std::string secrets[] = {
        "abcd",            // no base64 form at any alignment
        "abcdef",          // base64 at one alignment alone
        "hunter2hunter2",  // at all three
        "a+b/c+d/e+f?g",   // "+" and "/" of its own, read back as a blank and as itself
        "p%41ss%2Fw%zz%4",
        "%2B%2f%25%41%42",
        "back\\slash\\u00e9-\\n\\x41",
        "&#x41;&amp;lt;&#92;n-pw",
        "p\xc3\xa4ssw\xc3\xb6rd-\xce\xbb",
        "cafe\xcc\x81-caf\xc3\xa9",
        std::string("\xff\xfe-abc\0def\x80", 12),
        "%C3%A4%ff%FE-pass",
        long_ascii,
        random_bytes(random, 1024),
    };
    for (const std::string& secret : secrets) {
        const SecretForms made = secret_forms(secret);
        EXPECT_EQ(made.decoded, percent_decode(secret)) << secret;
        EXPECT_EQ(made.base64, plain_base64_forms(secret)) << secret;
        EXPECT_EQ(made.base64, base64_forms_of(secret)) << secret;
        EXPECT_EQ(made.forms, forms_of(secret)) << secret;
        const std::vector<std::string> written = plain_written_forms(secret);
        ASSERT_GE(made.forms.size(), written.size()) << secret;
        EXPECT_TRUE(std::equal(written.begin(), written.end(), made.forms.begin())) << secret;
        ASSERT_EQ(made.base64_canonical_at.size(), made.base64.size()) << secret;
        for (size_t i = 0; i < made.base64.size(); ++i) {
            EXPECT_TRUE(holds(made.forms, made.base64[i])) << made.base64[i];
            ASSERT_LT(made.base64_canonical_at[i], made.forms.size()) << made.base64[i];
            EXPECT_EQ(made.forms[made.base64_canonical_at[i]], canonical(made.base64[i]));
        }
    }
}

// Secrets indexed many at once (their forms made on several threads) and then again as levels are
// joined (what escapes take of them read back from the memo) are each found in their forms.
TEST(SecretFormsTest, ManySecretsIndexedAtOnceAreEachFoundInTheirForms) {
    forget_all_for_tests();
    std::vector<std::string> known;
    const auto check_all = [&known](const char* when) {
        for (const std::string& secret : known) {
            const std::string base64 = aligned_base64(secret, 1);
            std::string url_safe = base64;
            std::replace(url_safe.begin(), url_safe.end(), '+', '-');
            std::replace(url_safe.begin(), url_safe.end(), '/', '_');
            for (const std::string& form :
                 {secret, base64, url_safe, plain_percent_encoded(secret, "0123456789ABCDEF")}) {
                ASSERT_EQ(hide("<" + form + ">"), "<****>") << when << ": " << form;
            }
            // Behind an escape that takes its first bytes ("%4" and a hex digit of its own).
            if (base64.front() >= '0' && base64.front() <= '9') {
                ASSERT_EQ(hide("k=%4" + base64 + " e"), "k=%4**** e") << when << ": " << base64;
            }
        }
    };
    for (size_t i = 0; i < 700; ++i) {
        known.push_back("many-at-once+" + std::to_string(i * 7919) + "/\xc3\xa9-pw");
        remember(known.back());
    }
    check_all("indexed at once");
    for (size_t i = 0; i < 300; ++i) {
        known.push_back("one-at-a-time-" + std::to_string(i * 104729) + "-pw");
        remember(known.back());
        ASSERT_EQ(hide("<" + known.back() + ">"), "<****>") << known.back();
    }
    check_all("joined");
    EXPECT_EQ(hide("many-at-once+13/x-pw"), "many-at-once+13/x-pw");
    forget_all_for_tests();
}

}  // namespace
}  // namespace quorvel::secrets
