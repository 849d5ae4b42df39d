#include "util/toml_write.h"

#include <gtest/gtest.h>

#include "util/toml_read.h"

namespace quorvel {
namespace {

TEST(TomlWriteTest, LayoutOfKeysTablesAndArrays) {
    TomlWriter w;
    w.value("mtu", int64_t{1400});
    w.value("super_peers", std::vector<std::string>{});
    w.value("peers", std::vector<std::string>{"a", "b"});
    w.value("auto_connect", true);
    w.table("identity");
    w.value("pow", int64_t{-5});
    w.array_table("network");
    w.value("disabled", false);
    w.value("name", "");
    w.array_table("network");
    w.value("odd key", "x");
    auto text = std::move(w).finish();
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text,
              "mtu = 1400\n"
              "super_peers = []\n"
              "peers = [\n"
              "    \"a\",\n"
              "    \"b\",\n"
              "]\n"
              "auto_connect = true\n"
              "\n"
              "[identity]\n"
              "pow = -5\n"
              "\n"
              "[[network]]\n"
              "disabled = false\n"
              "name = \"\"\n"
              "\n"
              "[[network]]\n"
              "\"odd key\" = \"x\"\n");
}

TEST(TomlWriteTest, StringsRoundTripThroughTheReader) {
    const std::string samples[] = {
        "plain",
        "quote \" and backslash \\",
        "line\nbreak\ttab\rcr",
        std::string("nul\0x", 5),
        "\x1f\x7f",
        "Grüße 🌍",
        "'single'",
        "",
    };
    for (const auto& sample : samples) {
        TomlWriter w;
        w.value("s", sample);
        auto text = std::move(w).finish();
        ASSERT_TRUE(text.has_value());
        auto root = parse_toml(*text);
        ASSERT_TRUE(root.has_value()) << *text << root.error().to_string();
        ASSERT_NE((*root)["s"].as_string(), nullptr);
        EXPECT_EQ((*root)["s"].as_string()->get(), sample);
    }
}

TEST(TomlWriteTest, RefusesTextThatIsNotUtf8) {
    TomlWriter w;
    w.value("name", std::string("bad \xff byte"));
    auto text = std::move(w).finish();
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error(), "a string value is not valid UTF-8");

    TomlWriter list;
    list.value("peers", std::vector<std::string>{"ok", "\xc0\x80"});
    EXPECT_FALSE(std::move(list).finish().has_value());
}

}  // namespace
}  // namespace quorvel
