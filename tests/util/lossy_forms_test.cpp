// Hiding finds a secret where a lossy decoder or a misread normal form shows it, and the
// controller's shared secret in whichever base64 writing another encoder chose: each inside a
// sentence and inside a JSON string, masked exactly where it stands.
#include <gtest/gtest.h>

#include <string>

#include "agent/config/agent_config.h"
#include "p2p/identity.h"
#include "util/secrets.h"

namespace quorvel::secrets {
namespace {

struct Shown {
    std::string text;
    std::string shown;
};

agent::AgentConfig config_with_controller() {
    agent::AgentConfig config(p2p::Identity(
        p2p::SecKey::parse("0101010101010101010101010101010101010101010101010101010101010101")
            .value(),
        p2p::Pow(977)));
    config.controller = agent::ControllerConfig{};
    return config;
}

// Starts and ends with no secret known: the set is the process's.
class DecoderFormsHidingTest : public ::testing::Test {
  protected:
    void SetUp() override { forget_all_for_tests(); }
    void TearDown() override { forget_all_for_tests(); }

    static void expect_shown(const std::vector<Shown>& cases) {
        for (const Shown& c : cases) {
            EXPECT_EQ(hide(c.text), c.shown) << c.text;
        }
    }
};

TEST_F(DecoderFormsHidingTest, HidesWhatLossyDecodersMakeOfANonAsciiSecret) {
    remember("cr\xc3\xa8me-secret");
    expect_shown({
        // U+FFFD for the character, for each of its bytes; "?" for either.
        {"login as cr\xef\xbf\xbdme-secret failed", "login as **** failed"},
        {"login as cr\xef\xbf\xbd\xef\xbf\xbdme-secret failed", "login as **** failed"},
        {"login as cr?me-secret failed", "login as **** failed"},
        {"login as cr??me-secret failed", "login as **** failed"},
        {"{\"password\":\"cr\xef\xbf\xbdme-secret\"}", "{\"password\":\"****\"}"},
        {"{\"password\":\"cr\\ufffd\\ufffdme-secret\"}", "{\"password\":\"****\"}"},
        {"{\"password\":\"cr??me-secret\",\"n\":1}", "{\"password\":\"****\",\"n\":1}"},
        {"{\"password\":\"cr\\u003fme-secret\"}", "{\"password\":\"****\"}"},
        // Bytes that are not UTF-8 where the character stood read as a replacement too.
        {"as cr\xe8me-secret.", "as ****."},
        // Other characters in its place are no form of it, nor a piece of one.
        {"login as cr!me-secret failed", "login as cr!me-secret failed"},
        {"login as cr?me-secre failed", "login as cr?me-secre failed"},
        {"{\"p\":\"cr???me\"}", "{\"p\":\"cr???me\"}"},
    });
}

TEST_F(DecoderFormsHidingTest, HidesTheDecomposedFormReadAsSingleBytes) {
    remember("p\xc3\xa4ssw\xc3\xb6rd-x");
    // Decomposed, "\xcc\x88" follows "a" and "o"; read as Latin-1 it is "\xc3\x8c\xc2\x88", as
    // Windows-1252 "\xc3\x8c\xcb\x86".
    expect_shown({
        {"user pa\xc3\x8c\xc2\x88sswo\xc3\x8c\xc2\x88rd-x refused", "user **** refused"},
        {"user pa\xc3\x8c\xcb\x86sswo\xc3\x8c\xcb\x86rd-x refused", "user **** refused"},
        {"{\"pw\":\"pa\xc3\x8c\xcb\x86sswo\xc3\x8c\xcb\x86rd-x\"}", "{\"pw\":\"****\"}"},
        {"{\"pw\":\"pa\\u00cc\\u0088sswo\\u00cc\\u0088rd-x\"}", "{\"pw\":\"****\"}"},
        // The composed form read so was known before: still hidden.
        {"user p\xc3\x83\xc2\xa4ssw\xc3\x83\xc2\xb6rd-x refused", "user **** refused"},
    });
}

TEST_F(DecoderFormsHidingTest, HidesTheSharedSecretInEveryBase64Writing) {
    agent::AgentConfig config = config_with_controller();
    // The bytes 0xe0 to 0xff, as the controller writes a key: URL-safe, unpadded.
    config.controller->shared_secret = "4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8";
    config.remember_secrets();
    expect_shown({
        {"key 4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8 refused", "key **** refused"},
        {"key 4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8= refused", "key **** refused"},
        {"key 4OHi4+Tl5ufo6err7O3u7/Dx8vP09fb3+Pn6+/z9/v8 refused", "key **** refused"},
        {"key 4OHi4+Tl5ufo6err7O3u7/Dx8vP09fb3+Pn6+/z9/v8= refused", "key **** refused"},
        {"{\"key\":\"4OHi4+Tl5ufo6err7O3u7\\/Dx8vP09fb3+Pn6+\\/z9\\/v8=\"}", "{\"key\":\"****\"}"},
        {"{\"key\":\"4OHi4-Tl5ufo6err7O3u7_Dx8vP09fb3-Pn6-_z9_v8=\"}", "{\"key\":\"****\"}"},
        {"?key=4OHi4%2BTl5ufo6err7O3u7%2FDx8vP09fb3%2BPn6%2B%2Fz9%2Fv8%3D&x=1", "?key=****&x=1"},
        // Another key is no writing of it.
        {"key 4OHi4+Tl5ufo6err7O3u7/Dx8vP09fb3+Pn6+/z9/v9 refused",
         "key 4OHi4+Tl5ufo6err7O3u7/Dx8vP09fb3+Pn6+/z9/v9 refused"},
    });
}

TEST_F(DecoderFormsHidingTest, HidesASharedSecretThatIsNoBase64AsGiven) {
    agent::AgentConfig config = config_with_controller();
    config.controller->shared_secret = "not+base64/at all";
    config.remember_secrets();
    expect_shown({
        {"key not+base64/at all refused", "key **** refused"},
        {"{\"key\":\"not+base64\\/at all\"}", "{\"key\":\"****\"}"},
        {"key not-base64_at all refused", "key not-base64_at all refused"},
    });
}

}  // namespace
}  // namespace quorvel::secrets
