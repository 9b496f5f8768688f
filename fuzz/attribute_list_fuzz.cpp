// libFuzzer target: $ATTRIBUTE_LIST decoding, both on its own and as a record's resident
// attribute list that points into extension records (the rest of the input is the MFT).
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "ntfs/extents.h"
#include "ntfs/record_info.h"

namespace {

using namespace brevant::ntfs;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = v >> 8;
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// A base record whose only attribute is a resident $ATTRIBUTE_LIST holding `list`.
std::vector<std::uint8_t> RecordWithList(const std::uint8_t* list, std::size_t size) {
  std::vector<std::uint8_t> r(1024, 0);
  std::memcpy(r.data(), "FILE", 4);
  Put16(r, 4, 48);  // update sequence array (unused: fix-ups are not applied here)
  Put16(r, 6, 0);
  Put16(r, 16, 1);   // sequence
  Put16(r, 20, 56);  // first attribute
  Put16(r, 22, 1);   // in use
  const std::size_t value = std::min<std::size_t>(size, 1024 - 56 - 24 - 8) & ~std::size_t{7};
  const std::uint32_t length = static_cast<std::uint32_t>(24 + value);
  Put32(r, 28, 1024);
  Put32(r, 56, kAttrAttributeList);
  Put32(r, 60, length);
  Put32(r, 56 + 16, static_cast<std::uint32_t>(value));
  Put16(r, 56 + 20, 24);
  std::memcpy(r.data() + 56 + 24, list, value);
  Put32(r, 56 + length, kAttrEnd);
  Put32(r, 24, 56 + length + 8);  // bytes in use
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t split = std::min<std::size_t>(size, 64u * (data[0] + 1));
  AttributeListWalk walk(Bytes(data + 1, split - 1));
  for (int n = 0; n < 65536 && walk.Next(); ++n) {
  }
  auto record = RecordWithList(data + 1, split - 1);
  auto header = FileRecordHeader::Parse(record);
  if (!header) return 0;
  // The MFT: the rest of the input, one extent from sector 0.
  Volume volume;
  volume.device = brevant::fuzz::InstallDisk(data + split, size - split);
  volume.firstSector = 0;
  volume.endSector = (size - split) / 512 + 1;
  volume.sectorsPerCluster = 1;
  brevant::MftExtentTable table;
  table.mftRunStart.push_back(0);
  table.mftRunLength.push_back(volume.endSector);
  table.mftRunCount = 1;
  ReadAttributeList(volume, record, *header);
  CollectMftExtensionRecords(volume, record, *header);
  ExtensionSource source{&volume, &table, 0};
  RecordInfo info;
  std::string error;
  // Live, then deleted: a deleted record's list is read past its stated length and its
  // extensions may be freed ones.
  for (std::uint16_t flags : {1, 0}) {
    Put16(record, 22, flags);
    header = FileRecordHeader::Parse(record);
    if (!header) return 0;
    DescribeRecord(record, *header, source, info);
    GatherDataStream(record, *header, source, &error);
    for (std::size_t i = 0; i < info.streamCount; ++i)
      GatherDataStream(record, *header, source, &error, info.streams[i].name);
  }
  return 0;
}
