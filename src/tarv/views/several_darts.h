// Two darts that land between two looks at the board share one change: each camera's change
// holds both. They are measured one at a time.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {

// One camera's change in groups of pieces (joined across small gaps), with each group's own
// tip on the board from its own axis. No groups when the change is one group.
struct ChangeGroups {
  std::vector<cv::Mat> groups;              // at the view's offset, like its change mask
  std::vector<std::optional<Point2>> tips;  // one per group once fitted
  ChangePieces pieces;                      // the view's change labelled, where it has groups
  std::vector<std::vector<uchar>> held;     // per group, which of those pieces it holds
};

// The view's change mask in groups, in two steps (camera worker jobs: the view's images only):
// the groups (with pieces, the view's change mask labelled, labelChangePieces; else labelled
// here where it has groups), then their tips. A group's axis fit is the costly part, and the
// tips tell something only where two cameras or more hold groups (groupsTellDarts).
ChangeGroups groupChangeUnfitted(const ShaftView& view, const ChangePieces* pieces);
void fitGroupTips(const ShaftView& view, ChangeGroups& groups);
bool groupsTellDarts(const std::vector<ChangeGroups>& groups);

// When the groups' tips show two darts or more, each agreed on by two cameras, per camera the
// pieces of the dart most cameras agree on (at the view's offset); nothing for a camera that
// cannot tell, and nothing at all when one dart is all the cameras see.
std::vector<std::optional<cv::Mat>> piecesOfOneDart(const std::vector<ShaftView>& views,
                                                    const std::vector<ChangeGroups>& groups);

}  // namespace tarv
