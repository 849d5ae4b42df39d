// A text read back to what an encoder wrote it from: the view in which the agent's known secrets
// (`secrets.h`) are found whatever form an encoder quoted them in. One pass reads back
// percent-escapes in either case of hex, "+" for a blank, backslash escapes of JSON, of the debug
// form and of other languages (`\"`, `\\`, `\/`, `\n`, `\u00e9`, `\u{e9}`, `\x{ff}`, surrogate
// pairs, `\xc3\xa9`, `\xe9`, `\303\251`, `\U0001F511`), escaped any number of times over,
// character references of HTML and XML (`&lt;`, `&#39;`, `&#x50;`), escaped any number of times
// over, and U+FFFD for bytes that are not UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::secrets {

// What stands for any run of bytes that are not UTF-8 and of U+FFFD in the canonical view: a byte
// that UTF-8 never holds.
inline constexpr char kReplacement = static_cast<char>(0xff);

// A text read back to its canonical form, each of its bytes with the stretch of the text it came
// from: `bytes[i]` stands for the text's bytes `from[i]` up to `to[i]`.
struct CanonicalView {
    std::string bytes;
    std::vector<uint32_t> from;
    std::vector<uint32_t> to;
};

// How many bytes of a text one canonical byte may stand for, at most. The longest backslash
// escape is a surrogate pair, each half "u" and four hex digits behind up to eight backslashes,
// each of its 26 characters percent-encoded: 78 bytes. A character reference is read only where it
// and the references before it that it keeps stand for no more than this, which takes in a
// reference that three writers quoted again one character at a time: "&#x41b" quoted by an HTML
// writer ("&amp;#x41b"), by one that writes every other character as a reference
// ("&#38;amp&#59;&#35;x41b") and then as "\xHH" escapes stands for 88 bytes, and more where
// digits that follow it were escaped too. A replacement for a run of bytes that are not UTF-8 is
// the one exception: it stands for the whole run.
inline constexpr size_t kLongestCanonicalReach = 160;

// The canonical form of `text`, read in four steps, each reading what the one before gave; the
// first three are read again, up to six times in all, while a reading decoded a character and
// what it gave holds a "%", "\\" or "&" (a backslash written "&#92;" or "\\x5c", a "%" written
// "%25", reads as the escape it starts):
// 1. "%" and two hex digits, in either case, is the byte they name.
// 2. A run of backslashes (an escape escaped any number of times over; a run longer than eight
//    reads as nothing before its last eight) and what follows it reads as the escape:
//    - "u" and four hex digits as that code point, a surrogate pair joined; "u{...}" (one to six
//      hex digits) and "U" and eight hex digits as that code point, the latter only when it is
//      one (no surrogate, at most U+10FFFF);
//    - "x{..}" (one or two hex digits), as the debug form writes a byte that is no part of UTF-8,
//      as that byte;
//    - "x" and two hex digits, in either case, and three octal digits from "100" to "377" name a
//      byte: a run of such escapes one after another reads as UTF-8 where its bytes form it
//      ("\xc3\xa9" and "\303\251" read as "é"), each byte standing for its own escape, and each
//      other byte of the run as the code point of its value ("\xe9" reads as "é" too, "\x41" as
//      "A"). An octal escape that starts with "0" is not read as one, since the debug form writes
//      "\0" for NUL whatever digit follows;
//    - "n", "r", "t", "0", "b", "f" as the control characters, and any other character, an escape
//      above that names no character among them ("\U0000D800", "\x4"), as itself, so `\"`, `\\`
//      and `\/` read as `"`, nothing and `/`.
//    A backslash that an escape of an earlier reading named ("\x5c") joins no run with the
//    backslashes of an escape a later reading reveals ("\x5c%255Cx66" reads as "\f", then as a
//    form feed): it escapes what that escape reads as.
// 3. A character reference reads as the character it names: "&amp;", "&lt;", "&gt;", "&quot;",
//    "&apos;", "&#" and one to seven decimal digits and ";", "&#x" or "&#X" and one to six hex
//    digits in either case and ";"; a numeric one with any number of leading zeros, and without
//    its ";", as HTML readers take it (one before a "%" that may read as more digits waits for
//    the next reading, and so does one that reads as what may begin a reference, before a run
//    of digits, letters and "&" up to a ";" that holds a percent-escape, so that the run's
//    references are read in one reading, as one reader reads them). A reference that names "&"
//    joins the one after it, any number of times over ("&amp;amp;#39;" reads as "'"), and the
//    references of such a chain before those it keeps within `kLongestCanonicalReach` read as
//    nothing. A code point above U+007F gives its UTF-8 bytes; a reference that names no character
//    (a surrogate, above U+10FFFF, more digits, a named one without its ";") stands as it is.
//    References are read after backslash escapes, so that one JSON wrote ("\u0026lt;") reads as
//    well; a backslash a reference names is read again, as the escape it starts ("&#92;n" reads as
//    a line break).
// 4. "+" reads as a blank, and a run of bytes that are not UTF-8, and U+FFFD, reads as one
//    `kReplacement`, however long, so that a decoder that replaced each byte and one that
//    replaced the run read alike, and so does the run escaped as the log shows it.
// An escape that waits for the next reading (its digits not all read yet) is read as it stands by
// the last one.
// The step a reading starts with. A text an encoder wrote is read from the first step on; what
// that encoder wrote of a secret is read, in the step that reads its escapes, together with the
// secret's own escapes that the steps after it read: a secret's `\\u%41ee` percent-encoded
// whole reads as `u` and `Aee`, read as given as U+AEEE. So a secret is known in its readings that
// start with each step.
enum class ReadingStep { kPercentEscapes, kBackslashEscapes, kReferences };

std::string canonical(std::string_view text, ReadingStep first = ReadingStep::kPercentEscapes);
CanonicalView canonical_view(std::string_view text);
// The same into `out`, whose storage it reuses.
void canonical_view(std::string_view text, CanonicalView& out,
                    ReadingStep first = ReadingStep::kPercentEscapes);
// `view` with each line break (LF or CRLF) that stands between two characters of base64 text left
// out, as MIME and PEM writers wrap base64: a view of its own, searched beside the canonical one,
// since a line break read from an escape may be a neighbour's ("\\\\" and a secret's "n").
// False, and `out` as it was, when `view` holds no such line break.
bool without_base64_line_breaks(const CanonicalView& view, CanonicalView& out);

// Which side of a position in a text is read.
enum class Side { kBefore, kAfter };

// The length of the text that ends at `at` (`Side::kBefore`) or starts there (`Side::kAfter`) and
// reads as backslashes, which escape what follows them: as written plain or by an encoder ("\\",
// "%5C", "&#92;", "&#x5C;", "\\x5c", "%26%2392%3B"), at most `kLongestWrittenBackslash` bytes; 0
// where none does. The shortest such text, taken on while a few bytes more still read so.
inline constexpr size_t kLongestWrittenBackslash = 24;
size_t backslash_written_at(std::string_view text, size_t at, Side side);

// Whether the canonical form of `text` may differ from it: true when it holds a "%", "+", "\\",
// "&" or a byte above 0x7F. False for most texts, which then need only one view searched.
bool may_differ_from_canonical(std::string_view text);

// How a form reads where what stands beside it takes a piece of it into one escape: a backslash
// before a form that starts with "n" reads with it as a line break, a "%" before one that starts
// with two hex digits as one byte, "&#" before digits as a character; and a form that ends in
// "%4", "\\" or "&#8" reads with what follows it. Each reading is the form's canonical form less
// the bytes at its ends that such an escape may take, so that a reading of the text finds it
// whatever stood beside it.
struct EdgeReadings {
    // Less bytes at the end only: each a start of the canonical form, found wherever it stands.
    std::vector<std::string> ends_taken;
    // Less bytes at the start (and maybe at the end): found where an escape ends right before it,
    // the escape hidden with it. For forms longer than the escapes reach.
    std::vector<std::string> starts_taken;
    // A short form whole, beside each escape that takes its first bytes: what the escape and the
    // form read as together, found wherever it stands.
    std::vector<std::string> beside_escapes;
};

// The readings of `form` beside the escapes that may take a piece of it, each at least
// `kShortestEdgeReading` bytes.
inline constexpr size_t kShortestEdgeReading = 6;
// A short form's reading beside an escape holds the escape's reading too: at least as long as the
// shortest secret known.
inline constexpr size_t kShortestEscapeReading = 4;
EdgeReadings edge_readings(std::string_view form);

}  // namespace quorvel::secrets
