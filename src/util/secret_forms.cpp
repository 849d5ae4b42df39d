#include "util/secret_forms.h"

#include <sodium.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdint>

#include "util/canonical_view.h"
#include "util/debug_text.h"
#include "util/secrets.h"
#include "util/unicode.h"
#include "util/url.h"

namespace quorvel::secrets {

namespace {

bool is_unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percent_encoded(std::string_view text, bool upper) {
    const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_unreserved(ch)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xf]);
        }
    }
    return out;
}

// `text` with each run of bytes that are not UTF-8 replaced by U+FFFD, as a decoder hands it on.
std::string with_replacements(std::string_view text) {
    std::string out;
    bool replacing = false;
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            if (!replacing) {
                out += "\xef\xbf\xbd";
            }
            replacing = true;
            ++i;
            continue;
        }
        out.append(text, i, length);
        replacing = false;
        i += length;
    }
    return out;
}

// The base64 of `bytes` in the standard alphabet, without padding. A table lookup per character:
// a long secret's base64 is made at three alignments, of the secret as given and decoded, and
// libsodium's encoder, written to take constant time, costs several times as much.
std::string base64_unpadded(std::string_view bytes) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    std::string text((n * 4 + 2) / 3, '\0');
    char* out = text.data();
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
        out[0] = kAlphabet[group >> 18];
        out[1] = kAlphabet[(group >> 12) & 63];
        out[2] = kAlphabet[(group >> 6) & 63];
        out[3] = kAlphabet[group & 63];
        out += 4;
    }
    if (i < n) {
        // One or two bytes left: two or three characters, the last one's low bits zero.
        const uint32_t group = uint32_t{in[i]} << 16 | (i + 1 < n ? uint32_t{in[i + 1]} << 8 : 0);
        out[0] = kAlphabet[group >> 18];
        out[1] = kAlphabet[(group >> 12) & 63];
        if (i + 1 < n) {
            out[2] = kAlphabet[(group >> 6) & 63];
        }
    }
    return text;
}

// A base64 text in the standard alphabet written in the URL-safe one, in one pass.
std::string url_safe(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = c == '+' ? '-' : (c == '/' ? '_' : c);
    }
    return out;
}

bool holds_non_ascii(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// What Windows-1252 reads the bytes 0x80 to 0x9F as. The five it leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) read as the C1 code points of the same value, as decoders commonly do.
constexpr uint16_t kWindows1252High[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};

// The bytes of `text` read one by one as Latin-1, or as Windows-1252, and written as UTF-8: what a
// secret sent as UTF-8 becomes where a server or an HTTP stack decodes it so.
std::string read_as_single_bytes(std::string_view text, bool windows_1252) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        append_utf8(out, windows_1252 && byte >= 0x80 && byte < 0xa0 ? kWindows1252High[byte - 0x80]
                                                                     : static_cast<uint32_t>(byte));
    }
    return out;
}

// `text` (well-formed UTF-8) in the normalisation form of `normalizer`; empty when ICU fails.
std::string normalized(const icu::Normalizer2* normalizer, std::string_view text) {
    if (normalizer == nullptr) {
        return {};
    }
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(text.size()));
    UErrorCode status = U_ZERO_ERROR;
    normalizer->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                              sink, nullptr, status);
    return U_SUCCESS(status) ? out : std::string();
}

// ICU's NFC and NFD normalisers, looked up once for all threads. ICU loads their data on the first
// lookup behind a guard of its own, which a thread sanitizer cannot see into: looked up together
// behind the language's guard for statics, no thread reads data another loaded unseen.
struct Normalizers {
    const icu::Normalizer2* nfc = nullptr;
    const icu::Normalizer2* nfd = nullptr;
};

const Normalizers& normalizers() {
    static const Normalizers loaded = [] {
        Normalizers n;
        UErrorCode status = U_ZERO_ERROR;
        n.nfc = icu::Normalizer2::getNFCInstance(status);
        if (U_FAILURE(status)) {
            n.nfc = nullptr;
        }
        status = U_ZERO_ERROR;
        n.nfd = icu::Normalizer2::getNFDInstance(status);
        if (U_FAILURE(status)) {
            n.nfd = nullptr;
        }
        return n;
    }();
    return loaded;
}

std::string nfc(std::string_view text) {
    return normalized(normalizers().nfc, text);
}

std::string nfd(std::string_view text) {
    return normalized(normalizers().nfd, text);
}

// The base64 of `bytes` in the standard and the URL-safe alphabet, padded and not, each once.
std::vector<std::string> base64_writings_of(std::string_view bytes) {
    const std::string unpadded = base64_unpadded(bytes);
    const std::string padded = unpadded + std::string((3 - bytes.size() % 3) % 3, '=');
    std::vector<std::string> writings;
    for (std::string writing : {padded, unpadded, url_safe(padded), url_safe(unpadded)}) {
        if (std::find(writings.begin(), writings.end(), writing) == writings.end()) {
            writings.push_back(std::move(writing));
        }
    }
    return writings;
}

// What a decoder that cannot show a non-ASCII character puts in its place: one stand-in for the
// character, or one for each of its bytes.
enum class ReplacedUnit { kCharacter, kByte };

// `text` with each non-ASCII character (a byte that is not UTF-8 counting as one) replaced by
// `stand_in`, once per character or once per byte, as a lossy decoder or a writer to an ASCII
// channel hands it on.
std::string with_non_ascii_replaced(std::string_view text, ReplacedUnit unit,
                                    std::string_view stand_in) {
    std::string out;
    out.reserve(text.size() * stand_in.size());
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out.push_back(text[i++]);
            continue;
        }
        const size_t length = std::max<size_t>(utf8_sequence_length(text, i), 1);
        for (size_t k = 0; k < (unit == ReplacedUnit::kByte ? length : 1); ++k) {
            out.append(stand_in);
        }
        i += length;
    }
    return out;
}

// The forms a lossy decoder makes of `text`: U+FFFD or "?" for each non-ASCII character or for
// each of its bytes. None for ASCII text, and none where fewer than `kShortestKnownSecret` of its
// bytes are ASCII: such a form shows less of the secret than a secret too short to be known,
// while hiding every run of as many stand-ins. A form with U+FFFD is known in its canonical form
// alone: a text that holds U+FFFD is always read in its canonical view, where a run of them reads
// as one `kReplacement`, so one form finds both counts of U+FFFD.
std::vector<std::string> lossy_decoder_forms(std::string_view text) {
    const auto ascii = std::count_if(text.begin(), text.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!holds_non_ascii(text) || static_cast<size_t>(ascii) < kShortestKnownSecret) {
        return {};
    }
    constexpr std::string_view kReplacementCharacter = "\xef\xbf\xbd";
    std::vector<std::string> forms;
    for (const ReplacedUnit unit : {ReplacedUnit::kCharacter, ReplacedUnit::kByte}) {
        forms.push_back(canonical(with_non_ascii_replaced(text, unit, kReplacementCharacter)));
        std::string questioned = with_non_ascii_replaced(text, unit, "?");
        forms.push_back(canonical(questioned));
        forms.push_back(std::move(questioned));
    }
    return forms;
}

// The NFC and NFD forms of `text` (well-formed UTF-8 with non-ASCII characters) read as Latin-1
// and as Windows-1252: what a secret typed on a system that writes one normal form becomes where
// it is read so. A normal form that is the text itself gives what `forms_of` has already.
std::vector<std::string> normal_forms_read_as_single_bytes(std::string_view text) {
    if (!holds_non_ascii(text) || !is_valid_utf8(text)) {
        return {};
    }
    std::vector<std::string> forms;
    for (const std::string& normal : {nfc(text), nfd(text)}) {
        if (!normal.empty() && normal != text) {
            forms.push_back(read_as_single_bytes(normal, false));
            forms.push_back(read_as_single_bytes(normal, true));
        }
    }
    return forms;
}

}  // namespace

std::vector<std::string> base64_writings(std::string_view text) {
    for (const int variant :
         {sodium_base64_VARIANT_URLSAFE_NO_PADDING, sodium_base64_VARIANT_URLSAFE,
          sodium_base64_VARIANT_ORIGINAL_NO_PADDING, sodium_base64_VARIANT_ORIGINAL}) {
        std::string bytes(text.size() * 3 / 4 + 1, '\0');
        size_t length = 0;
        // Without an end pointer, libsodium refuses a text it did not read whole, and one whose
        // last character holds bits that stand for no byte: what decodes is the text as written.
        if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                              text.data(), text.size(), nullptr, &length, nullptr, variant) == 0 &&
            length > 0) {
            bytes.resize(length);
            return base64_writings_of(bytes);
        }
    }
    return {};
}

std::string aligned_base64(std::string_view secret, size_t offset) {
    std::string bytes(offset, '\0');
    bytes.append(secret);
    std::string text = base64_unpadded(bytes);
    // A character stands for six bits: those before the first whole one depend on the bytes
    // before the secret, and a last one that holds fewer than six of its bits on those after it.
    const size_t begin = (offset * 8 + 5) / 6;
    const size_t end = text.size() - (bytes.size() % 3 != 0 ? 1 : 0);
    if (end <= begin) {
        return {};
    }
    text.resize(end);
    text.erase(0, begin);
    return text;
}

std::vector<std::string> base64_forms_of(std::string_view secret) {
    return secret_forms(secret).base64;
}

std::vector<std::string> basic_credentials_forms(std::string_view userinfo) {
    if (userinfo.size() < kShortestKnownSecret) {
        return {};
    }
    // The user ends at the first ":" as written; an encoded one ("%3A") belongs to the user, and
    // decodes to the same byte in the pair.
    std::string pair = percent_decode(userinfo);
    if (userinfo.find(':') == std::string_view::npos) {
        pair.push_back(':');
    }
    return base64_writings_of(pair);
}

std::vector<std::string> forms_of(std::string_view secret) {
    return secret_forms(secret).forms;
}

namespace {

// The forms of a secret as they are made, each once, in the order `forms_of` gives them.
class FormsBuilder {
  public:
    explicit FormsBuilder(SecretForms& out) : out_(out) {}

    // Adds `form` unless it is too short or there already; where it stands in the forms, or
    // `kTooShort`.
    static constexpr size_t kTooShort = SIZE_MAX;
    size_t add(std::string form) {
        if (form.size() < kShortestKnownSecret) {
            return kTooShort;
        }
        const auto at = std::find(out_.forms.begin(), out_.forms.end(), form);
        if (at != out_.forms.end()) {
            return static_cast<size_t>(at - out_.forms.begin());
        }
        out_.forms.push_back(std::move(form));
        return out_.forms.size() - 1;
    }
    // Each form the secret is written in, then read back to its canonical form.
    void add_with_canonical(std::string form) {
        std::string read_back = canonical(form);
        add(std::move(form));
        add(std::move(read_back));
    }

  private:
    SecretForms& out_;
};

// The texts the forms are made of: the secret as given, and percent-decoded where that differs.
std::vector<std::string_view> given_texts(std::string_view secret, const std::string& decoded) {
    std::vector<std::string_view> given{secret};
    if (decoded != secret) {
        given.emplace_back(decoded);
    }
    return given;
}

// The base64 forms, each once: for the secret as given and percent-decoded, the aligned stretch
// at each byte alignment in the standard and the URL-safe alphabet.
void add_base64_forms(const std::vector<std::string_view>& given, SecretForms& out) {
    const auto add = [&out](std::string form) {
        if (std::find(out.base64.begin(), out.base64.end(), form) == out.base64.end()) {
            out.base64.push_back(std::move(form));
        }
    };
    for (const std::string_view text : given) {
        for (size_t offset = 0; offset < 3; ++offset) {
            std::string aligned = aligned_base64(text, offset);
            if (aligned.size() >= kShortestAlignedBase64) {
                std::string safe = url_safe(aligned);
                add(std::move(aligned));
                add(std::move(safe));
            }
        }
    }
}

// The forms as written and read back, before those of base64 and of other character sets. A
// form that is sure to equal one made before it (the decoded secret's where the secret holds no
// escape, a text's with its bytes that are not UTF-8 replaced where it has none) is not made again.
void add_written_forms(std::string_view secret, const std::string& decoded, FormsBuilder& forms) {
    const bool same_decoded = decoded == secret;
    const auto escaped = [](std::string_view text) {
        std::string quoted = debug_quoted(text);
        quoted.pop_back();
        quoted.erase(0, 1);
        return quoted;
    };
    forms.add(std::string(secret));
    forms.add(decoded);
    forms.add(percent_encoded(decoded, true));
    forms.add(percent_encoded(decoded, false));
    forms.add(escaped(secret));
    if (!same_decoded) {
        forms.add(escaped(decoded));
    }
    forms.add(canonical(secret));
    if (!same_decoded) {
        forms.add(canonical(decoded));
    }
    // Valid UTF-8 has no byte to replace: its reading is the one just added.
    if (!is_valid_utf8(secret)) {
        forms.add(canonical(with_replacements(secret)));
    }
    if (!same_decoded && !is_valid_utf8(decoded)) {
        forms.add(canonical(with_replacements(decoded)));
    }
}

}  // namespace

SecretForms secret_forms(std::string_view secret) {
    SecretForms out;
    out.decoded =
        secret.find('%') == std::string_view::npos ? std::string(secret) : percent_decode(secret);
    FormsBuilder forms(out);
    add_written_forms(secret, out.decoded, forms);
    // The forms below are made of the secret as given and percent-decoded alone: of every
    // encoded form they would cost memory for texts that no encoder writes.
    const std::vector<std::string_view> given = given_texts(secret, out.decoded);
    // What an encoder wrote of a secret that holds escapes of its own is read from the step that
    // reads that encoder's escapes on (`ReadingStep`).
    for (const std::string_view text : given) {
        for (const ReadingStep first : {ReadingStep::kBackslashEscapes, ReadingStep::kReferences}) {
            forms.add(canonical(text, first));
        }
    }
    add_base64_forms(given, out);
    // Base64 holds no escape: its canonical form has as many bytes, and so is among the forms.
    static_assert(kShortestAlignedBase64 >= kShortestKnownSecret);
    out.base64_canonical_at.reserve(out.base64.size());
    for (const std::string& base64 : out.base64) {
        forms.add(base64);
        out.base64_canonical_at.push_back(forms.add(canonical(base64)));
    }
    for (const std::string_view text : given) {
        if (!holds_non_ascii(text)) {
            continue;
        }
        forms.add_with_canonical(read_as_single_bytes(text, false));
        forms.add_with_canonical(read_as_single_bytes(text, true));
        if (is_valid_utf8(text)) {
            forms.add_with_canonical(nfc(text));
            forms.add_with_canonical(nfd(text));
        }
    }
    for (const std::string_view text : given) {
        for (std::string& form : normal_forms_read_as_single_bytes(text)) {
            forms.add_with_canonical(std::move(form));
        }
        // What a lossy decoder makes of the text as given and of its other normal forms.
        std::vector<std::string> written{std::string(text)};
        if (is_valid_utf8(text)) {
            for (std::string normal : {nfc(text), nfd(text)}) {
                if (!normal.empty() && normal != text) {
                    written.push_back(std::move(normal));
                }
            }
        }
        for (const std::string& writing : written) {
            for (std::string& form : lossy_decoder_forms(writing)) {
                forms.add(std::move(form));
            }
        }
    }
    return out;
}

}  // namespace quorvel::secrets
