// BuildFatResultTree: the catalogued folders as a tree below "My Computer", breadth-first,
// with a "Lost" folder for whatever cannot be placed.
#include "core/text.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

namespace brevant {

int BuildFatResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree) {
  bool stopped = false;
  auto keepGoing = [&] {
    if (session.stopRequested.load() == 1) {
      HonourStop(session, view);
      stopped = true;
    }
    return !stopped;
  };
  ui::BuildParentIdTree(tree, session.catalogue, static_cast<std::int32_t>(fat::kLostFolderId),
                        keepGoing);
  return 1;
}

}  // namespace brevant
