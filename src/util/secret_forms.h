// The forms in which a message may quote one of the agent's known secrets (`secrets.h`).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::secrets {

// The shortest stretch of base64 text a secret is known by at one of the byte alignments: a
// shorter one would hide ordinary base64 text (keys, hashes, tokens) that merely holds it.
inline constexpr size_t kShortestAlignedBase64 = 8;

// The forms of `secret`, each at least `kShortestKnownSecret` bytes and each once:
// - as given, percent-decoded, percent-encoded in either case of hex, quoted in the debug form;
// - for the secret as given and percent-decoded, the stretch of base64 text that depends on its
//   bytes alone when it stands 0, 1 or 2 bytes past a multiple of three in a longer text being
//   encoded, in the standard and the URL-safe alphabet, where that stretch holds at least
//   `kShortestAlignedBase64` characters (`aligned_base64`);
// - for the secret as given and percent-decoded where it holds non-ASCII characters, its UTF-8
//   bytes read as Latin-1 and as Windows-1252 and written again as UTF-8, and its NFC and NFD
//   forms, each of these read so too;
// - for the secret as given and percent-decoded where it holds non-ASCII characters and at least
//   `kShortestKnownSecret` ASCII bytes, what a lossy decoder makes of it and of its NFC and NFD
//   forms: U+FFFD or "?" for each non-ASCII character or each of its bytes (the U+FFFD forms in
//   their canonical form alone);
// - each of these read back to the canonical form that finds whatever else an encoder wrote.
std::vector<std::string> forms_of(std::string_view secret);

// The forms of `secret`, each made once, as `forms_of` and `base64_forms_of` give them, with what
// indexing a secret reads beside them: its percent-decoded text and the canonical form of each of
// its base64 forms.
struct SecretForms {
    std::string decoded;  // `secret` percent-decoded
    std::vector<std::string> forms;
    std::vector<std::string> base64;
    // For each of `base64`, in its order, where its canonical form stands in `forms` (always
    // there: base64 holds no escape, so its canonical form is as long).
    std::vector<size_t> base64_canonical_at;
};
SecretForms secret_forms(std::string_view secret);

// The base64 forms of `secret` among those `forms_of` gives: for the secret as given and
// percent-decoded, the stretch `aligned_base64` gives at each byte alignment where it holds at
// least `kShortestAlignedBase64` characters, in the standard and the URL-safe alphabet, each once.
// The one encoder whose text does not read back to the secret, so an escape before it takes in
// other first bytes than before the secret.
std::vector<std::string> base64_forms_of(std::string_view secret);

// The texts of the Basic credentials the HTTP client sends in an Authorization or
// Proxy-Authorization header for a URL whose user information is `userinfo` (`user[:password]`):
// the base64 of the user and the password, each percent-decoded, joined by ":", as libcurl builds
// it; a user without a ":" has an empty password, so "user" is sent as "user:". In the standard and
// the URL-safe alphabet, with and without padding, each once. None for user information shorter
// than `kShortestKnownSecret`, which is not known either.
std::vector<std::string> basic_credentials_forms(std::string_view userinfo);

// The writings of the bytes that `text`, base64 in the standard or the URL-safe alphabet, padded or
// not, stands for: in both alphabets, padded and not, each once, `text` itself among them. None
// when it is none of these, or stands for no byte: a text that is no base64 has no other writing.
std::vector<std::string> base64_writings(std::string_view text);

// The stretch of the base64 text (standard alphabet, no padding) of a longer byte string that
// depends on `secret`'s bytes alone when it starts `offset` bytes (0, 1 or 2) past a multiple of
// three: the characters that also depend on the bytes before or after it are left out. Empty when
// none depends on its bytes alone.
std::string aligned_base64(std::string_view secret, size_t offset);

}  // namespace quorvel::secrets
