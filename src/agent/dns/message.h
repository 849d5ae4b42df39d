// The DNS message model of the embedded server: the decoded query (`MessageRequest`, read with
// ldns), the response the catalog builds (`MessageResponse`) and its wire encoding under a size
// limit, with truncation by whole records, plus the bare SERVFAIL header that replaces a response
// that cannot be encoded. Plain functions over bytes: no I/O, no logging.
#pragma once

#include "util/ipv4.h"
#include "util/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::agent::dns {

inline constexpr std::size_t kHeaderLen = 12;

namespace op_code {
inline constexpr uint8_t kQuery = 0;
}

namespace record_type {
inline constexpr uint16_t kA = 1;
inline constexpr uint16_t kOpt = 41;
inline constexpr uint16_t kAny = 255;
}  // namespace record_type

namespace response_code {
inline constexpr uint16_t kNoError = 0;
inline constexpr uint16_t kFormErr = 1;
inline constexpr uint16_t kServFail = 2;
inline constexpr uint16_t kNxDomain = 3;
inline constexpr uint16_t kNotImp = 4;
inline constexpr uint16_t kRefused = 5;
inline constexpr uint16_t kBadVers = 16;
}  // namespace response_code

// "No Error", "Query Refused", ...; the text a response code is shown with in the log.
std::string response_code_text(uint16_t code);
// "QUERY", "STATUS", "NOTIFY", "UPDATE", or "Unknown(n)".
std::string op_code_text(uint8_t code);
// The record type's mnemonic ("A", "AAAA", ...) or "TYPEn".
std::string record_type_text(uint16_t type);
// The class mnemonic ("IN", "CH", ...) or "CLASSn".
std::string record_class_text(uint16_t dns_class);
// An uncompressed wire-format name as absolute text ("alpha.quorvel.internal."); bytes outside
// printable ASCII, dots and backslashes inside labels are written as "\DDD".
std::string name_text(std::span<const uint8_t> wire);
// An absolute text name ("alpha.quorvel.internal.") in wire format, lower-cased; nullopt for an
// empty label, a label over 63 bytes or a name over 255 bytes.
std::optional<std::vector<uint8_t>> name_wire(std::string_view text);

struct Header {
    uint16_t id = 0;
    bool response = false;
    uint8_t op_code = 0;
    bool authoritative = false;
    bool truncated = false;
    bool recursion_desired = false;
    bool recursion_available = false;
    bool authentic_data = false;
    bool checking_disabled = false;
    // The whole 12-bit code; the header holds its low 4 bits, the OPT record the rest.
    uint16_t response_code = 0;
    uint16_t query_count = 0;
    uint16_t answer_count = 0;
    uint16_t name_server_count = 0;
    uint16_t additional_count = 0;

    // The flags as a resolver shows them, e.g. "RD,RA".
    std::string flags_text() const;
    // The header of the response to a query with this header: same id, opcode, RD and CD; every
    // other flag clear, response code 0.
    Header response_from_request() const;

    bool operator==(const Header&) const = default;
};

struct Edns {
    uint16_t max_payload = 512;
    uint8_t version = 0;
    bool dnssec_ok = false;

    bool operator==(const Edns&) const = default;
};

struct Query {
    std::vector<uint8_t> name;  // uncompressed wire format, letter case as received
    uint16_t query_type = 0;
    uint16_t query_class = 0;
};

// A decoded DNS message as it arrived.
struct MessageRequest {
    Header header;
    std::vector<Query> queries;
    std::optional<Edns> edns;

    // Decodes a whole message; the error is the decoder's description of what is wrong.
    static Result<MessageRequest, std::string> read(std::span<const uint8_t> bytes);
};

// A response as the catalog builds it. Answer records from a zone are A records owned by the one
// question's name: the encoder writes their owner as a pointer to the question. Records an
// upstream server gave are kept whole and written after them.
struct MessageResponse {
    Header header;
    std::vector<uint8_t> queries;  // the question section, encoded
    uint16_t query_count = 0;
    std::span<const Ipv4Addr> answers;  // valid while the catalog that built the response lives
    uint32_t answer_ttl = 0;
    // Answer records in wire format with uncompressed names.
    std::vector<std::vector<uint8_t>> records;
    std::optional<Edns> edns;
};

// What was sent: the header as written (counts and TC as encoded).
struct ResponseInfo {
    Header header;
};

// The message would not fit in the size limit even without records.
struct EncodeError {
    std::size_t max_size = 0;
    std::string to_string() const;  // "max buffer size exceeded: {max_size}"
};

// Encodes `response` into `out` (cleared first) within `max_size` bytes. Header and questions must
// fit; answer records (the zone's, then the upstream's) that do not fit are left out, TC is set and
// the counts name what was written. Room for the OPT record is kept while answers are added, so a
// query with EDNS always gets its OPT record back.
Result<ResponseInfo, EncodeError> emit_response(const MessageResponse& response,
                                                std::vector<uint8_t>& out, std::size_t max_size);

// A 12-byte response header with `id`, QR set, opcode QUERY, every flag clear, SERVFAIL and all
// counts 0, written into `out` (cleared first, at most 512 bytes).
Result<ResponseInfo, EncodeError> encode_fallback_servfail_response(uint16_t id,
                                                                    std::vector<uint8_t>& out);

}  // namespace quorvel::agent::dns
