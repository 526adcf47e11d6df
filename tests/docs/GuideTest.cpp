// The operator's guide against the console: its generated tables are the
// ones made from the current texts, and every picture it shows is there.
#include "GuideTables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::filesystem::path DocsDir() {
    const char* source = std::getenv("METER_SOURCE_DIR");
    return std::filesystem::path(source ? source : ".") / "docs";
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

}  // namespace

TEST(Guide, TablesAreTheOnesMadeFromTheConsolesTexts) {
    const std::string guide = ReadAll(DocsDir() / "guide.zh.md");
    ASSERT_FALSE(guide.empty()) << DocsDir() / "guide.zh.md";
    EXPECT_EQ(Join(BlockMismatches(guide, GuideBlocks())), "")
        << "regenerate with: build/tools/guide/guide-tables --update docs/guide.zh.md";
}

TEST(Guide, EveryPictureItShowsIsAPngBesideIt) {
    const std::string guide = ReadAll(DocsDir() / "guide.zh.md");
    const std::vector<std::string> pictures = PictureTargets(guide);
    ASSERT_GE(pictures.size(), 4u);
    for (const std::string& target : pictures) {
        SCOPED_TRACE(target);
        EXPECT_EQ(target.rfind("guide/", 0), 0u) << "pictures live in docs/guide/";
        const std::string bytes = ReadAll(DocsDir() / target);
        EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    }
}

TEST(Guide, CheckNamesABlockThatDriftedOrLostItsMarkers) {
    const std::vector<GuideBlock> blocks = GuideBlocks();
    ASSERT_FALSE(blocks.empty());
    std::string current = "# 指南\n\n";
    for (const GuideBlock& b : blocks) {
        ASSERT_FALSE(b.markdown.empty()) << b.name;
        current += "<!-- BEGIN " + b.name + " -->\nold\n<!-- END " + b.name + " -->\n\ntext\n";
    }
    current = ReplaceBlocks(current, blocks);
    EXPECT_EQ(Join(BlockMismatches(current, blocks)), "");

    const GuideBlock& first = blocks.front();
    struct Damage {
        const char* what;
        std::string guide;
        std::string expected;
    };
    std::string retyped = current;
    const size_t cell = retyped.find(first.markdown) + first.markdown.size() / 2;
    retyped.insert(cell, " ");
    std::string unmarked = current;
    const std::string end = "<!-- END " + first.name + " -->";
    unmarked.erase(unmarked.find(end), end.size());
    const Damage cases[] = {
        {"a blank typed into a table", retyped,
         "block " + first.name + " is not the generated text\n"},
        {"an end marker lost", unmarked, "no block " + first.name + "\n"},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.what);
        EXPECT_EQ(Join(BlockMismatches(d.guide, blocks)), d.expected);
        EXPECT_EQ(Join(BlockMismatches(ReplaceBlocks(d.guide, blocks), blocks)),
                  d.guide == unmarked ? d.expected : "");
    }
}

TEST(Guide, PictureTargetsAreTheImagesNotTheLinks) {
    EXPECT_EQ(Join(PictureTargets("![串口页](guide/serial.png) [README](../README.md)\n"
                                  "![网络页](guide/network.png)\n![broken](x.png\n")),
              "guide/serial.png\nguide/network.png\n");
}
