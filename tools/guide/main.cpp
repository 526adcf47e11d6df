// Prints the guide's generated tables, or puts them into the guide:
//   guide-tables                 every block, with its markers
//   guide-tables --update FILE   rewrite the blocks of FILE in place
//   guide-tables --check FILE    exit 1 and name the blocks that differ
#include "GuideTables.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace {
bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    const std::vector<GuideBlock> blocks = GuideBlocks();
    if (argc == 1) {
        for (const GuideBlock& b : blocks)
            std::cout << "<!-- BEGIN " << b.name << " -->\n"
                      << b.markdown << "<!-- END " << b.name << " -->\n\n";
        return 0;
    }
    const std::string mode = argv[1];
    if (argc != 3 || (mode != "--update" && mode != "--check")) {
        std::cerr << "usage: guide-tables [--update FILE | --check FILE]\n";
        return 2;
    }
    std::string guide;
    if (!ReadFile(argv[2], guide)) {
        std::cerr << "guide-tables: cannot read " << argv[2] << "\n";
        return 1;
    }
    const std::vector<std::string> wrong = BlockMismatches(guide, blocks);
    if (mode == "--check") {
        for (const std::string& w : wrong)
            std::cerr << argv[2] << ": " << w << "\n";
        return wrong.empty() ? 0 : 1;
    }
    const std::string updated = ReplaceBlocks(guide, blocks);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << updated;
    out.close();
    if (!out) {
        std::cerr << "guide-tables: cannot write " << argv[2] << "\n";
        return 1;
    }
    // A block without markers in the guide is still missing after the update.
    for (const std::string& w : BlockMismatches(updated, blocks))
        std::cerr << argv[2] << ": " << w << "\n";
    return 0;
}
