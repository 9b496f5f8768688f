#pragma once
// Texts the window shows for engine values.
#include <QString>
#include <cstdint>
#include <string>

#include "core/catalogue.h"

namespace brevant::gui {

inline QString Q(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
// The entry's creation (NTFS) or write (FAT) date and time, readable.
QString EntryTimeText(const CatalogueNode& node, const std::string& fsName);
QString SizeText(std::uint64_t bytes);

}  // namespace brevant::gui
