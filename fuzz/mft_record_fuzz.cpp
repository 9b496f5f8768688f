// libFuzzer target: MFT record decoding with fix-ups: the header, every attribute, names,
// standard information, the record summary and the data stream, on one record of 1, 2 or 4 KiB.
#include <vector>

#include "ntfs/mft_record.h"
#include "ntfs/record_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant::ntfs;
  if (size < 1) return 0;
  const std::size_t recordSize = 1024u << (data[0] % 3);
  std::vector<std::uint8_t> record(data + 1, data + size);
  record.resize(recordSize, 0);
  ApplyFixups(record);
  auto header = FileRecordHeader::Parse(record);
  if (!header) return 0;
  AttributeWalk walk(record, *header);
  for (int n = 0; n < 4096; ++n) {
    auto a = walk.Next();
    if (!a) break;
    // Every attribute lies inside the record.
    if (a->bytes.data() < record.data() ||
        a->bytes.data() + a->bytes.size() > record.data() + record.size())
      __builtin_trap();
    a->Name();
    if (a->nonResident) {
      RunListWalk runs(a->RunList(), a->lowestVcn);
      for (int r = 0; r < 4096 && runs.Next(); ++r) {
      }
    } else if (a->type == kAttrFileName) {
      FileNameValue::Parse(a->Value());
    } else if (a->type == kAttrStandardInformation) {
      StandardInformation::Parse(a->Value());
    } else if (a->type == kAttrAttributeList) {
      AttributeListWalk list(a->Value());
      for (int r = 0; r < 4096 && list.Next(); ++r) {
      }
    }
  }
  RecordInfo info;
  DescribeRecord(record, *header, ExtensionSource{}, info);
  std::string error;
  GatherDataStream(record, *header, ExtensionSource{}, &error);
  return 0;
}
