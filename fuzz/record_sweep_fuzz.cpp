// The extensive NTFS scan beyond the MFT: the fuzz input is the volume (after a 4-byte header
// that picks the geometry), its MFT walked where the header says and the whole of it swept for
// FILE records and INDX buffers.
#include <cstddef>
#include <cstdint>

#include "core/recovery_view.h"
#include "fuzz_common.h"
#include "model/result_tree.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/record_sweep.h"

namespace {

class QuietView : public brevant::RecoveryView {
 public:
  void SetStatusText(const std::u16string&) override {}
  void SetProgress(int) override {}
  void SetStopEnabled(bool) override {}
  bool ShowMessage(const std::u16string&, const std::u16string&, brevant::MessageIcon,
                   brevant::MessageButtons) override {
    return false;
  }
  void HandOverResult(std::shared_ptr<brevant::RunResult>) override {}
  void RunEnded(brevant::RunOutcome) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4 + 512) return 0;
  // Header: sectors per cluster (a power of two up to 4096, the 2 MiB clusters included),
  // record size, index record size and a batch size that moves the batch edges, then the MFT's
  // first cluster.
  const std::uint64_t spc = std::uint64_t{1} << (data[0] % 13);
  const std::uint64_t recordSectors = std::uint64_t{2} << ((data[0] >> 4) % 3);
  const std::uint64_t indexSectors = std::uint64_t{1} << (data[1] % 5);
  const std::uint32_t batch = 1u + (data[1] >> 3) * 7u;
  const std::uint64_t mftCluster = data[2] | (std::uint64_t{data[3]} << 8);
  const std::string& path = brevant::fuzz::InstallDisk(data + 4, size - 4);

  brevant::RecoverySession session;
  session.EnsureDisk(0);
  session.devicePath[0] = path;
  session.selectedDisk = 0;
  session.selectedPartitionStart = 0;
  session.selectedPartitionEnd = (size - 4 + 511) / 512;
  session.selectedFsName = session.scanFsName = session.scanParams.fsName = "NTFS";
  session.scanParams.clusterBase = 0;
  session.scanParams.sectorsPerCluster = spc;
  session.scanParams.mftStart = mftCluster * spc;
  session.scanParams.sectorsPerFileRecord = recordSectors;
  session.scanParams.sectorsPerIndexRecord = indexSectors;

  QuietView view;
  brevant::BuildMftExtentTable(session, view);
  brevant::BuildNtfsCatalogue(session, view);
  brevant::NtfsSweepOptions options;
  options.batchSectors = batch;
  brevant::SweepNtfsVolume(session, view, options);
  brevant::ui::ResultTree tree;
  brevant::BuildNtfsResultTree(session, view, tree);
  return 0;
}
