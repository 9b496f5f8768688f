#include "gui/display_text.h"

#include "model/display_format.h"

namespace brevant::gui {

QString EntryTimeText(const CatalogueNode& node, const std::string& fsName) {
  return Q(ui::FormatEntryTime(node, fsName));
}

QString SizeText(std::uint64_t bytes) { return Q(ui::FormatSize(bytes)); }

}  // namespace brevant::gui
