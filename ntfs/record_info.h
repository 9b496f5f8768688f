#pragma once
// What the catalogue and the extraction want to know about one MFT record: its best name, the
// size and pieces of its unnamed data stream, and its times, following the attribute list into
// extension records when the base record does not hold them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/recovery_session.h"
#include "ntfs/extents.h"
#include "ntfs/mft_record.h"

namespace brevant::ntfs {

struct RecordInfo {
  // One name per parent directory (a file with hard links has several), each the preferred of
  // that parent's names: Win32, then Win32-and-DOS, then DOS, then POSIX.
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

// One piece of the unnamed $DATA: the attribute as found, in whichever record holds it.
struct DataStream {
  bool resident = false;
  std::vector<std::uint8_t> residentValue;
  std::uint16_t flags = 0;
  std::uint16_t compressionUnit = 0;
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;
  std::vector<DataRun> runs;  // all pieces joined in virtual-cluster order
};

// Gathers the unnamed data stream of a base record, joining the pieces held in extension
// records. Nothing with `error` set when there is none or a piece is missing or damaged.
std::optional<DataStream> GatherDataStream(Bytes record, const FileRecordHeader& header,
                                           const ExtensionSource& source, std::string* error);

}  // namespace brevant::ntfs
