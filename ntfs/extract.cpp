// Copies the unnamed data stream of one MFT record out of the raw sectors.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/read_sectors.h"
#include "ntfs/extents.h"
#include "ntfs/lznt1.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/record_info.h"

namespace brevant {
namespace {

using ntfs::DataRun;
using ntfs::DataStream;
using ntfs::Volume;

class Copier {
 public:
  Copier(const Volume& volume, ByteSink& sink, ExtractResult& result, std::uint64_t size,
         std::uint64_t validBytes, const std::atomic<std::int32_t>* stop)
      : volume_(volume), sink_(sink), result_(result), size_(size), validBytes_(validBytes),
        stop_(stop) {}

  bool Fail(std::string error) {
    result_.ok = false;
    result_.error = std::move(error);
    return false;
  }

  // Writes `bytes` as the file's next bytes, zeroing what lies past the initialized data.
  bool Emit(std::uint8_t* bytes, std::uint64_t length) {
    if (stop_ && stop_->load() == 1) {
      result_.stopped = true;
      return Fail("stopped before its end");
    }
    length = std::min(length, size_ - result_.bytesWritten);
    if (result_.bytesWritten + length > validBytes_) {
      const std::uint64_t from =
          validBytes_ > result_.bytesWritten ? validBytes_ - result_.bytesWritten : 0;
      std::memset(bytes + from, 0, length - from);
    }
    if (!sink_.Write(bytes, length)) {
      result_.destinationFull = sink_.DestinationFull();
      return Fail(sink_.LastError());
    }
    result_.bytesWritten += length;
    return true;
  }

  // Reads `clusters` clusters at `lcn` into `out` (resized), checking the partition's bounds.
  bool ReadClusters(std::uint64_t lcn, std::uint64_t clusters, std::vector<std::uint8_t>& out) {
    auto sector = volume_.ClusterSector(lcn, clusters);
    if (!sector)
      return Fail("a data run (cluster " + std::to_string(lcn) + ", " + std::to_string(clusters) +
                  " clusters) lies outside the partition");
    const std::uint64_t sectors = clusters * volume_.sectorsPerCluster;
    out.resize(sectors * ntfs::kSectorBytes);
    // Unreadable sectors read as zeros and are counted; the unit is still decoded.
    result_.unreadableSectors += ReadSectorsZeroFilling(volume_.device, out.data(), *sector,
                                                        static_cast<std::uint32_t>(sectors));
    return true;
  }

  bool Done() const { return result_.bytesWritten >= size_; }
  std::uint64_t Written() const { return result_.bytesWritten; }

 private:
  const Volume& volume_;
  ByteSink& sink_;
  ExtractResult& result_;
  std::uint64_t size_;
  std::uint64_t validBytes_;
  const std::atomic<std::int32_t>* stop_;
};

// The runs as stretches of the source and zeros: sparse runs and data past the initialized
// length become zeros (holes in a recovered file). Stops planning at damage, with the reason.
bool PlanRuns(const Volume& volume, const std::vector<DataRun>& runs, std::uint64_t size,
              std::uint64_t validBytes, ExtractPlan& plan, std::string* why) {
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * ntfs::kSectorBytes;
  std::uint64_t planned = 0;
  for (const DataRun& run : runs) {
    if (planned >= size) break;
    if (static_cast<unsigned __int128>(run.vcn) * clusterBytes != planned) {
      *why = "its run list has a gap";
      return false;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(std::min<unsigned __int128>(
        static_cast<unsigned __int128>(run.length) * clusterBytes, size - planned));
    if (run.sparse) {
      plan.AddZeros(bytes);
      planned += bytes;
      continue;
    }
    // The whole run must lie inside the partition, even the part past the file's end.
    auto sector = volume.ClusterSector(run.lcn, run.length);
    if (!sector) {
      *why = "a data run (cluster " + std::to_string(run.lcn) + ", " +
             std::to_string(run.length) + " clusters) lies outside the partition";
      return false;
    }
    const std::uint64_t data = validBytes > planned ? std::min(bytes, validBytes - planned) : 0;
    plan.AddSource(*sector * ntfs::kSectorBytes, data);
    plan.AddZeros(bytes - data);
    planned += bytes;
  }
  if (planned < size) {
    *why = "its data runs end after " + std::to_string(planned) + " of " + std::to_string(size) +
           " bytes";
    return false;
  }
  return true;
}

// Compressed data: each compression unit is either all sparse (zeros), fully allocated
// (stored as is) or a few clusters of LZNT1 followed by sparse ones.
bool CopyCompressed(const Volume& volume, const DataStream& stream, Copier& copier) {
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * ntfs::kSectorBytes;
  if (stream.compressionUnit == 0 || stream.compressionUnit > 16)
    return copier.Fail("its compression unit size is invalid");
  const std::uint64_t unitClusters = 1ULL << stream.compressionUnit;
  const std::uint64_t unitBytes = unitClusters * clusterBytes;
  if (unitBytes > (64u << 20)) return copier.Fail("its compression unit size is invalid");
  std::vector<std::uint8_t> compressed, unit(unitBytes), clusters;
  std::size_t r = 0;
  for (std::uint64_t vcn = 0; !copier.Done(); vcn += unitClusters) {
    // Collect the unit's clusters from the runs, in order.
    compressed.clear();
    std::uint64_t allocated = 0, covered = 0;
    while (r < stream.runs.size() && stream.runs[r].vcn + stream.runs[r].length <= vcn) ++r;
    for (std::size_t k = r; k < stream.runs.size() && stream.runs[k].vcn < vcn + unitClusters;
         ++k) {
      const DataRun& run = stream.runs[k];
      const std::uint64_t from = std::max(run.vcn, vcn);
      const std::uint64_t to = std::min(run.vcn + run.length, vcn + unitClusters);
      if (from != vcn + covered) return copier.Fail("its run list has a gap");
      covered += to - from;
      if (run.sparse) continue;
      if (!copier.ReadClusters(run.lcn + (from - run.vcn), to - from, clusters)) return false;
      compressed.insert(compressed.end(), clusters.begin(), clusters.end());
      allocated += to - from;
    }
    if (covered == 0) return copier.Fail("its data runs end before the file does");
    std::fill(unit.begin(), unit.end(), 0);
    if (allocated == unitClusters) {
      std::memcpy(unit.data(), compressed.data(), unitBytes);
    } else if (allocated > 0 && !ntfs::Lznt1Decompress(compressed, unit)) {
      return copier.Fail("its compressed data is damaged (compression unit at cluster " +
                         std::to_string(vcn) + ")");
    }
    if (!copier.Emit(unit.data(), unitBytes)) return false;
    if (covered < unitClusters && !copier.Done())
      return copier.Fail("its data runs end before the file does");
  }
  return true;
}

}  // namespace

std::optional<ExtractPlan> PlanNtfsFile(RecoverySession& session, std::uint64_t size,
                                        std::uint64_t recordSector, ntfs::RecordWindow* window,
                                        std::string* error, std::u16string_view streamName) {
  auto fail = [error](std::string why) -> std::optional<ExtractPlan> {
    *error = std::move(why);
    return std::nullopt;
  };
  const Volume volume = ntfs::VolumeOf(session);
  if (volume.sectorsPerCluster == 0) return fail("the partition's NTFS parameters are unknown");
  // Extension records are found through the MFT's extents; a lone extraction maps them itself.
  MftExtentTable ownTable;
  const MftExtentTable* table = &session.mftExtents;
  if (table->mftRunCount == 0) {
    ownTable =
        ntfs::LocateMft(volume, session.scanParams.mftStart, session.scanParams.mftMirrStart);
    table = &ownTable;
  }

  std::vector<std::uint8_t> record;
  if (!ntfs::ReadRecordAtSector(volume, *table, recordSector, record, nullptr, window))
    return fail("the MFT record at sector " + std::to_string(recordSector) + " cannot be read");
  auto header = ntfs::FileRecordHeader::Parse(record);
  if (!header) return fail("sector " + std::to_string(recordSector) + " holds no MFT record");
  if (header->IsExtension())
    return fail("sector " + std::to_string(recordSector) +
                " holds an extension record, not a file");

  ExtractPlan plan;
  plan.device = volume.device;
  ntfs::ExtensionSource source{
      &volume, table, ntfs::RecordNumberAtSector(*table, recordSector, volume.recordBytes)};
  ntfs::RecordInfo info;
  ntfs::DescribeRecord(record, *header, source, info);
  if (info.hasStandardInformation)
    plan.modifiedTime = FileTimeToUnix(info.standardInformation.modificationTime);
  else if (info.hasName)
    plan.modifiedTime = FileTimeToUnix(info.Name().creationTime);

  std::string why;
  auto stream = ntfs::GatherDataStream(record, *header, source, &why, streamName);
  if (!stream) {
    // Nothing to copy; a folder's own data is no file, its named streams are.
    if (size == 0 && (!header->IsDirectory() || !streamName.empty())) return plan;
    return fail("not recoverable: " + why);
  }
  if (stream->flags & ntfs::kAttrFlagEncrypted)
    return fail("not recoverable: its data is encrypted (EFS)");
  if (stream->resident) {
    if (size > stream->residentValue.size())
      return fail("not recoverable: its MFT record holds " +
                  std::to_string(stream->residentValue.size()) + " bytes, not " +
                  std::to_string(size));
    plan.AddBytes(stream->residentValue.data(), static_cast<std::size_t>(size));
    return plan;
  }
  const std::uint16_t compression = stream->flags & 0x00FF;
  if (compression > 1) return fail("not recoverable: its data uses an unknown compression");

  // Past the initialized length the data reads as zeros, whatever the clusters hold.
  const std::uint64_t validBytes = std::min(stream->initializedSize, stream->realSize);
  if (compression == 1) {
    plan.produceBytes = size;
    plan.produce = [volume, stream = std::move(*stream), size, validBytes](
                       ByteSink& sink, ExtractResult& result,
                       const std::atomic<std::int32_t>* stop) {
      Copier copier(volume, sink, result, size, validBytes, stop);
      if (!CopyCompressed(volume, stream, copier)) return false;
      if (result.bytesWritten < size)
        return copier.Fail("its data runs end after " + std::to_string(result.bytesWritten) +
                           " of " + std::to_string(size) + " bytes");
      return true;
    };
    return plan;
  }
  if (!PlanRuns(volume, stream->runs, size, validBytes, plan, &why)) plan.incomplete = why;
  return plan;
}

ExtractResult ExtractNtfsFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                                std::uint64_t recordSector, std::u16string_view stream) {
  ExtractResult result;
  auto plan = PlanNtfsFile(session, size, recordSector, nullptr, &result.error, stream);
  if (!plan) return result;
  return WritePlan(*plan, sink, &session.stopRequested);
}

ExtractResult ExtractNtfsFile(RecoverySession& session, const std::filesystem::path& folder,
                              std::u16string_view name, std::uint64_t size,
                              std::uint64_t recordSector, std::u16string_view stream) {
  ExtractResult result;
  auto out = platform::OpenOutputFolder(folder, false, &result.error);
  if (!out) return result;
  std::string error;
  auto plan = PlanNtfsFile(session, size, recordSector, nullptr, &error, stream);
  if (!plan) {
    result.error = error;  // nothing is created for a file that cannot be copied
    return result;
  }
  return WritePlanToFolder(*plan, *out, name, &session.stopRequested);
}

}  // namespace brevant
