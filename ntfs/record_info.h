#pragma once
// What the catalogue and the extraction want to know about one MFT record: its best name, the
// size and pieces of its unnamed data stream, and its times, following the attribute list into
// extension records when the base record does not hold them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/recovery_session.h"
#include "ntfs/extents.h"
#include "ntfs/mft_record.h"

namespace brevant::ntfs {

// A named $DATA stream of a record (an alternate data stream): its name and real size.
struct NamedStream {
  std::u16string name;
  std::uint64_t size = 0;
};

struct RecordInfo {
  // Every name of the record, each an entry of its folder: hard links in different folders
  // and in the same one alike. A DOS name beside a Win32 (or Win32-and-DOS) name in the same
  // folder is the short form of that name, not a name of its own, and is left out.
  bool hasName = false;
  std::vector<FileNameValue> links;  // storage reused from record to record
  std::vector<int> linkRanks;
  std::size_t linkCount = 0;
  std::size_t primary = 0;  // the link with the best name space, the first of equals
  const FileNameValue& Name() const { return links[primary]; }
  bool hasData = false;
  std::uint64_t dataSize = 0;  // real size of the unnamed $DATA
  bool hasStandardInformation = false;
  StandardInformation standardInformation;
  bool hasAttributeList = false;
  std::vector<NamedStream> streams;  // the named $DATA streams, first `streamCount` valid
  std::size_t streamCount = 0;
};

// Where to look for attributes kept in extension records; without a volume and table they
// are not followed. `recordNumber`, when known, is checked against each extension's base.
struct ExtensionSource {
  const Volume* volume = nullptr;
  const MftExtentTable* table = nullptr;
  std::optional<std::uint64_t> recordNumber;
};

// Decodes `record` (fix-ups applied) into `out`, reusing its storage.
void DescribeRecord(Bytes record, const FileRecordHeader& header, const ExtensionSource& source,
                    RecordInfo& out);

// How an extension record named by an attribute-list entry relates to the base record.
enum class ExtensionLink {
  Belongs,  // an extension of this base record, as the list says
  Freed,    // freed with this deleted base record, still naming it and otherwise unchanged
  Foreign,  // not (or no longer) part of this record: reused, damaged, or a crafted link
};
// `base` is the header of the base record numbered `baseRecord` (when known); `extension` the
// header found at the record `entry` points to. A live base takes its extensions as before
// (record number and the entry's sequence number must match); a deleted base only takes
// extensions that are free and name it with the sequence numbers it had when both were in use
// (freeing a record raises its sequence number by one).
ExtensionLink CheckExtension(const FileRecordHeader& base, std::optional<std::uint64_t> baseRecord,
                             const AttributeListEntry& entry, const FileRecordHeader& extension);

// A $DATA stream (the unnamed one, or a named one): the attribute as found, in whichever
// records hold it.
struct DataStream {
  bool resident = false;
  std::vector<std::uint8_t> residentValue;
  std::uint16_t flags = 0;
  std::uint16_t compressionUnit = 0;
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;
  std::vector<DataRun> runs;      // all pieces joined in virtual-cluster order
  bool fromFreedRecords = false;  // some pieces came from extension records freed with the file
};

// Gathers the $DATA stream `name` (empty: the unnamed one) of a base record, joining the pieces
// held in extension records. Nothing with `error` set when there is none or a piece is missing
// or damaged.
std::optional<DataStream> GatherDataStream(Bytes record, const FileRecordHeader& header,
                                           const ExtensionSource& source, std::string* error,
                                           std::u16string_view name = {});

}  // namespace brevant::ntfs
