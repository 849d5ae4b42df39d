#include "agent/dns/catalog.h"

#include "agent/agent_test_util.h"
#include "agent/dns/dns_test_util.h"
#include "agent/dns/response_handle.h"
#include "agent/dns/server.h"
#include "util/log.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace testing;

const Ipv4Addr kAlpha(10, 1, 0, 1);
const Ipv4Addr kBeta(10, 1, 0, 2);

// The catalog of a running server whose networks carry these desired host names.
std::shared_ptr<const dns::Catalog> catalog_for(const NetworkMap& networks) {
    auto [server, shutdown_rx] = DnsServerRef::create({});
    server.with_state([&](server::State& state) { state.update_catalog(networks); });
    return server.catalog();
}

std::shared_ptr<const dns::Catalog> overlay_catalog() {
    AgentConfig config(test_identity());
    add_network(config, "https://example.com/a.toml").desired_state.hostnames = {
        hosts({{kAlpha, "alpha"}, {kBeta, "beta"}}), std::nullopt};
    return catalog_for(config.network);
}

// Answers the query and decodes the encoded reply with ldns.
std::optional<DecodedReply> ask(const dns::Catalog& catalog, const QuerySpec& spec,
                                std::size_t* size = nullptr) {
    auto request = dns::MessageRequest::read(make_query(spec));
    EXPECT_TRUE(request.has_value());
    if (!request) {
        return std::nullopt;
    }
    std::vector<uint8_t> message;
    auto info = dns::encode_response(catalog.answer(*request).response, message);
    EXPECT_TRUE(info.has_value());
    if (size != nullptr) {
        *size = message.size();
    }
    return decode_reply(message);
}

TEST(DnsCatalogTest, AnswersByTheZoneRules) {
    using namespace dns::response_code;
    struct Case {
        const char* name;
        QuerySpec query;
        uint16_t rcode;
        bool ra;
        std::vector<Ipv4Addr> answers;
    };
    QuerySpec no_rd = question("alpha.quorvel.internal.");
    no_rd.recursion_desired = false;
    QuerySpec two = question("alpha.quorvel.internal.");
    two.questions.push_back({"beta.quorvel.internal."});
    QuerySpec none = question("alpha.quorvel.internal.");
    none.questions.clear();
    QuerySpec status = question("alpha.quorvel.internal.");
    status.op_code = 2;
    QuerySpec update = question("alpha.quorvel.internal.");
    update.op_code = 5;
    QuerySpec badvers = question("alpha.quorvel.internal.");
    badvers.edns = EdnsSpec{1232, 1, false};
    QuerySpec badvers_no_rd = badvers;
    badvers_no_rd.recursion_desired = false;

    const Case cases[] = {
        {"host A", question("alpha.quorvel.internal."), kNoError, true, {kAlpha}},
        {"letter case", question("BeTa.Quorvel.INTERNAL."), kNoError, true, {kBeta}},
        {"ANY", question("alpha.quorvel.internal.", 255), kNoError, true, {kAlpha}},
        {"AAAA of a host is NODATA", question("alpha.quorvel.internal.", 28), kNoError, true, {}},
        {"HTTPS of a host is NODATA", question("alpha.quorvel.internal.", 65), kNoError, true, {}},
        {"MX of a host is NODATA", question("beta.quorvel.internal.", 15), kNoError, true, {}},
        {"zone name A is NODATA", question("quorvel.internal."), kNoError, true, {}},
        {"zone name SOA is NODATA", question("quorvel.internal.", 6), kNoError, true, {}},
        {"absent host", question("gamma.quorvel.internal."), kNxDomain, true, {}},
        {"absent host AAAA", question("gamma.quorvel.internal.", 28), kNxDomain, true, {}},
        {"below a host", question("x.alpha.quorvel.internal."), kNxDomain, true, {}},
        {"outside the zone", question("example.com."), kRefused, false, {}},
        {"suffix that is no label", question("xquorvel.internal."), kRefused, false, {}},
        {"root", question("."), kRefused, false, {}},
        {"without RD", no_rd, kRefused, true, {}},
        {"two questions", two, kFormErr, false, {}},
        {"no question", none, kFormErr, false, {}},
        {"opcode STATUS", status, kNotImp, false, {}},
        {"opcode UPDATE", update, kNotImp, false, {}},
        {"EDNS version 1", badvers, kBadVers, false, {}},
        {"EDNS version 1 wins over missing RD", badvers_no_rd, kBadVers, false, {}},
    };
    auto catalog = overlay_catalog();
    for (const auto& c : cases) {
        auto reply = ask(*catalog, c.query);
        ASSERT_TRUE(reply.has_value()) << c.name;
        EXPECT_EQ(reply->rcode, c.rcode) << c.name;
        EXPECT_EQ(reply->id, c.query.id) << c.name;
        EXPECT_TRUE(reply->qr) << c.name;
        EXPECT_FALSE(reply->aa) << c.name;
        EXPECT_FALSE(reply->tc) << c.name;
        EXPECT_EQ(reply->rd, c.query.recursion_desired) << c.name;
        EXPECT_EQ(reply->ra, c.ra) << c.name;
        EXPECT_EQ(reply->op_code, c.query.op_code) << c.name;
        EXPECT_EQ(reply->qdcount, c.query.questions.size()) << c.name;
        EXPECT_EQ(reply->nscount, 0) << c.name;
        ASSERT_EQ(reply->answers.size(), c.answers.size()) << c.name;
        EXPECT_EQ(reply->ancount, c.answers.size()) << c.name;
        for (std::size_t i = 0; i < c.answers.size(); ++i) {
            EXPECT_EQ(reply->answers[i].second, c.answers[i]) << c.name;
            EXPECT_EQ(reply->answer_ttls[i], 10u) << c.name;
        }
        EXPECT_EQ(reply->edns, c.query.edns.has_value()) << c.name;
    }
}

TEST(DnsCatalogTest, EchoesQuestionsAndHeaderBitsAsReceived) {
    auto catalog = overlay_catalog();
    QuerySpec spec;
    spec.id = 0xbeef;
    spec.checking_disabled = true;
    spec.questions = {{"AlPhA.quorvel.internal.", 1, 1}};
    auto reply = ask(*catalog, spec);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->id, 0xbeef);
    EXPECT_TRUE(reply->cd);
    EXPECT_EQ(reply->questions, (std::vector<std::string>{"AlPhA.quorvel.internal. A IN"}));
    ASSERT_EQ(reply->answers.size(), 1u);
    EXPECT_EQ(reply->answers[0].second, kAlpha);
    EXPECT_EQ(reply->answers[0].first, "AlPhA.quorvel.internal.");

    // A rejected message echoes every question.
    spec.questions = {{"a.example."}, {"b.example.", 28, 3}};
    reply = ask(*catalog, spec);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->questions,
              (std::vector<std::string>{"a.example. A IN", "b.example. AAAA CH"}));
}

TEST(DnsCatalogTest, EdnsReplyRaisesThePayloadSizeAndKeepsVersionZero) {
    auto catalog = overlay_catalog();
    struct Case {
        uint16_t asked;
        uint16_t answered;
        bool dnssec_ok;
    };
    for (const Case c : {Case{256, 512, true}, Case{512, 512, false}, Case{1232, 1232, true},
                         Case{65535, 65535, false}}) {
        QuerySpec spec;
        spec.edns = EdnsSpec{c.asked, 0, c.dnssec_ok};
        auto reply = ask(*catalog, spec);
        ASSERT_TRUE(reply.has_value());
        EXPECT_TRUE(reply->edns);
        EXPECT_EQ(reply->edns_size, c.answered) << c.asked;
        EXPECT_EQ(reply->edns_version, 0);
        // The DNSSEC-OK bit is the query's: the server signs nothing, so it never claims more.
        EXPECT_EQ(reply->edns_do, c.dnssec_ok);
        EXPECT_EQ(reply->arcount, 1);
        EXPECT_EQ(reply->answers.size(), 1u);
    }
}

TEST(DnsCatalogTest, EmptyCatalogRefusesEverything) {
    auto [server, shutdown_rx] = DnsServerRef::create({});
    auto reply = ask(*server.catalog(), QuerySpec{});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rcode, dns::response_code::kRefused);
    EXPECT_FALSE(reply->ra);
}

TEST(DnsCatalogTest, RebuildTakesDesiredHostNamesOfEveryNetwork) {
    AgentConfig config(test_identity());
    add_network(config, "https://example.com/a.toml").desired_state.hostnames = {
        hosts({{kAlpha, "shared"}, {kBeta, "beta"}}), std::nullopt};
    // The same name elsewhere: a second address, or the same address once.
    add_network(config, "https://example.com/b.toml").desired_state.hostnames = {
        hosts({{Ipv4Addr(10, 2, 0, 9), "shared"}, {kBeta, "beta"}}), std::nullopt};
    add_network(config, "https://example.com/empty.toml").desired_state.hostnames = {
        network::HostnameList{}, std::nullopt};
    // Current host names do not count, and a network without desired ones adds nothing.
    add_network(config, "https://example.com/none.toml").current_state.hostnames = {
        hosts({{Ipv4Addr(10, 3, 0, 1), "stale"}}), std::nullopt};

    log::ScopedCapture capture;
    auto catalog = catalog_for(config.network);
    EXPECT_EQ(catalog->zone_count(), 1u);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Building DNS catalog"));
    EXPECT_TRUE(capture->contains(
        log::Level::Trace,
        "No upstream servers configured, skipping ForwardAuthority for root zone"));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Adding DNS A record: beta.quorvel.internal -> 10.1.0.2"));
    EXPECT_EQ(
        capture->count(log::Level::Trace, "Adding DNS A record: beta.quorvel.internal -> 10.1.0.2"),
        2u);

    QuerySpec spec;
    spec.questions = {{"shared.quorvel.internal."}};
    auto reply = ask(*catalog, spec);
    ASSERT_TRUE(reply.has_value());
    std::vector<Ipv4Addr> addrs;
    for (const auto& [owner, addr] : reply->answers) {
        addrs.push_back(addr);
    }
    std::sort(addrs.begin(), addrs.end());
    EXPECT_EQ(addrs, (std::vector<Ipv4Addr>{kAlpha, Ipv4Addr(10, 2, 0, 9)}));

    spec.questions = {{"beta.quorvel.internal."}};
    reply = ask(*catalog, spec);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->answers.size(), 1u);

    spec.questions = {{"stale.quorvel.internal."}};
    reply = ask(*catalog, spec);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rcode, dns::response_code::kNxDomain);
}

// One host name in many networks: more A records than a small limit holds.
std::shared_ptr<const dns::Catalog> crowded_catalog(int networks) {
    AgentConfig config(test_identity());
    for (int i = 0; i < networks; ++i) {
        add_network(config, "https://example.com/" + std::to_string(i) + ".toml")
            .desired_state.hostnames = {hosts({{Ipv4Addr(10, 9, static_cast<uint8_t>(i / 200),
                                                         static_cast<uint8_t>(i % 200 + 1)),
                                                "many"}}),
                                        std::nullopt};
    }
    return catalog_for(config.network);
}

TEST(DnsCatalogTest, RecordsBeyondTheLimitAreLeftOutWithTc) {
    auto catalog = crowded_catalog(60);
    QuerySpec spec;
    spec.questions = {{"many.quorvel.internal."}};
    spec.edns = EdnsSpec{256, 0, false};  // raised to 512
    std::size_t size = 0;
    auto reply = ask(*catalog, spec, &size);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->tc);
    EXPECT_EQ(reply->rcode, 0);
    EXPECT_LE(size, 512u);
    // Header, question (27 bytes), as many 16-byte records as fit, and room kept for the OPT
    // record (11 bytes).
    EXPECT_EQ(reply->answers.size(), (512u - 12 - 27 - 11) / 16);
    EXPECT_EQ(reply->ancount, reply->answers.size());
    EXPECT_EQ(reply->arcount, 1);
    EXPECT_TRUE(reply->edns);

    // Without EDNS the limit is 4096: all 60 fit.
    spec.edns.reset();
    reply = ask(*catalog, spec, &size);
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(reply->tc);
    EXPECT_EQ(reply->answers.size(), 60u);
    EXPECT_EQ(size, 12u + 27 + 60 * 16);
}

TEST(DnsCatalogTest, UnencodableResponseBecomesABareServfail) {
    // A rejected query echoes its questions; 300 long ones exceed the 4096-byte limit.
    QuerySpec spec;
    spec.id = 0x4242;
    spec.questions.clear();
    for (int i = 0; i < 300; ++i) {
        spec.questions.push_back(
            {"q" + std::to_string(i) + ".long-label-for-the-question.example."});
    }
    auto request = dns::MessageRequest::read(make_query(spec));
    ASSERT_TRUE(request.has_value());
    auto catalog = overlay_catalog();
    log::ScopedCapture capture;
    std::vector<uint8_t> message;
    auto info = dns::encode_response(catalog->answer(*request).response, message);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->header.response_code, dns::response_code::kServFail);
    EXPECT_EQ(message, (std::vector<uint8_t>{0x42, 0x42, 0x80, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(capture->contains(log::Level::Error, "error encoding message"));
    const auto events = capture->events();
    const auto error = std::find_if(events.begin(), events.end(), [](const log::Event& e) {
        return e.message == "error encoding message";
    });
    ASSERT_NE(error, events.end());
    ASSERT_EQ(error->fields.size(), 1u);
    EXPECT_EQ(error->fields[0].name, "error");
    EXPECT_EQ(error->fields[0].value, "max buffer size exceeded: 4096");
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Falling back to SERVFAIL response due to encoding error"));
}

TEST(DnsMessageTest, DecodeErrorsAndNames) {
    auto empty = dns::MessageRequest::read({});
    ASSERT_FALSE(empty.has_value());
    EXPECT_FALSE(empty.error().empty());
    const std::vector<uint8_t> short_header = {0x12, 0x34, 0x01};
    EXPECT_FALSE(dns::MessageRequest::read(short_header).has_value());
    // The question count promises a question that is not there.
    std::vector<uint8_t> missing = make_query(QuerySpec{});
    missing.resize(14);
    EXPECT_FALSE(dns::MessageRequest::read(missing).has_value());

    EXPECT_EQ(dns::name_text(*dns::name_wire("Alpha.Quorvel.Internal.")),
              "alpha.quorvel.internal.");
    EXPECT_EQ(dns::name_text(std::vector<uint8_t>{3, 'a', '.', 0xff, 0}), "a\\046\\255.");
    EXPECT_EQ(dns::name_text(std::vector<uint8_t>{0}), ".");
    EXPECT_FALSE(dns::name_wire("relative").has_value());
    EXPECT_FALSE(dns::name_wire("a..b.").has_value());
    EXPECT_FALSE(dns::name_wire(std::string(64, 'a') + ".").has_value());
    EXPECT_TRUE(dns::name_wire(std::string(63, 'a') + ".").has_value());

    dns::Header header;
    header.recursion_desired = true;
    header.recursion_available = true;
    header.checking_disabled = true;
    EXPECT_EQ(header.flags_text(), "RD,CD,RA");
    EXPECT_EQ(dns::record_type_text(28), "AAAA");
    EXPECT_EQ(dns::record_class_text(1), "IN");
    EXPECT_EQ(dns::op_code_text(0), "QUERY");
}

}  // namespace
}  // namespace quorvel::agent
