// The operator's guide holds tables made from the console's own texts. They
// are generated here, and the guide keeps each between marker comments, so a
// changed text shows up as a guide that no longer matches.
#pragma once

#include <string>
#include <vector>

struct GuideBlock {
    std::string name;      // <!-- BEGIN name --> ... <!-- END name -->
    std::string markdown;  // the lines between the markers, each ending in '\n'
};

std::vector<GuideBlock> GuideBlocks();

// The guide with every block's text put between its markers; blocks the
// guide has no markers for are left out.
std::string ReplaceBlocks(const std::string& guide, const std::vector<GuideBlock>& blocks);

// What differs: a block missing from the guide, or one whose text is not the
// generated one. Empty when the guide is current.
std::vector<std::string> BlockMismatches(const std::string& guide,
                                         const std::vector<GuideBlock>& blocks);

// The targets of the guide's pictures, ![alt](target), in order.
std::vector<std::string> PictureTargets(const std::string& guide);
