#include "core/sweep_checkpoint.h"

#include <algorithm>
#include <utility>

#include "core/allocation.h"
#include "core/catalogue.h"
#include "core/recovery_session.h"

namespace brevant {

Checkpointer::Checkpointer(const RecoverySession& session, std::string sweep)
    : session_(session),
      sink_(session.checkpointSink),
      sweep_(std::move(sweep)),
      last_(std::chrono::steady_clock::now()) {}

bool Checkpointer::Due() const {
  if (!sink_) return false;
  const std::chrono::duration<double> since = std::chrono::steady_clock::now() - last_;
  return since.count() >= sink_->IntervalSeconds();
}

void Checkpointer::Save(std::uint64_t position, std::uint64_t end,
                        std::vector<std::uint8_t> state) {
  if (!sink_) return;
  SweepCheckpoint checkpoint;
  checkpoint.sweep = sweep_;
  checkpoint.position = position;
  checkpoint.end = end;
  checkpoint.state = std::move(state);
  sink_->Save(session_, checkpoint);
  last_ = std::chrono::steady_clock::now();
}

void CopyCheckpointFields(const RecoverySession& from, RecoverySession& to) {
  to.catalogue.Clear();
  for (int list = 0; list < 2; ++list) {
    const auto& source = list == 0 ? from.catalogue.folderList : from.catalogue.fileList;
    for (const CatalogueNode* n = source.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
      if (list == 0)
        to.catalogue.AppendFolder(n->name, n->sector, n->id, n->parentId, n->date, n->time,
                                  n->size, n->attributes, n->spareText, n->type, n->deleted,
                                  n->sequence);
      else
        to.catalogue.AppendFile(n->name, n->sector, n->id, n->parentId, n->date, n->time, n->size,
                                n->attributes, n->spareText, n->type, n->deleted, n->sequence,
                                n->stream);
    }
  }
  to.mftExtents = from.mftExtents;
  to.partParams = from.partParams;
  to.scanParams = from.scanParams;
  to.scanFsName = from.scanFsName;
  to.selectedDisk = from.selectedDisk;
  to.selectedPartitionStart = from.selectedPartitionStart;
  to.selectedPartitionEnd = from.selectedPartitionEnd;
  to.selectedFsName = from.selectedFsName;
  to.selectedSectorSize = from.selectedSectorSize;
  to.unreadable = from.unreadable;
  to.recoveryMode.store(from.recoveryMode.load());
  to.deviceName = from.deviceName;
  to.searchRangeEnd = from.searchRangeEnd;
}

void StateWriter::Text(std::u16string_view text) {
  U64(text.size());
  for (char16_t c : text) U16(static_cast<std::uint16_t>(c));
}

void StateWriter::Text8(std::string_view text) {
  U64(text.size());
  for (char c : text) U8(static_cast<std::uint8_t>(c));
}

std::uint64_t StateReader::Fixed(int n) {
  if (!ok_ || bytes_.size() - at_ < static_cast<std::size_t>(n)) {
    ok_ = false;
    return 0;
  }
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(bytes_[at_ + i]) << (8 * i);
  at_ += static_cast<std::size_t>(n);
  return v;
}

std::uint64_t StateReader::Count(std::size_t minBytes) {
  const std::uint64_t n = U64();
  if (!ok_) return 0;
  if (n > (bytes_.size() - at_) / std::max<std::size_t>(minBytes, 1)) {
    ok_ = false;
    return 0;
  }
  return n;
}

std::u16string StateReader::Text() {
  const std::uint64_t n = Count(2);
  std::u16string text;
  text.reserve(static_cast<std::size_t>(n));
  for (std::uint64_t i = 0; i < n && ok_; ++i) text.push_back(static_cast<char16_t>(U16()));
  return ok_ ? text : std::u16string();
}

std::string StateReader::Text8() {
  const std::uint64_t n = Count(1);
  std::string text;
  text.reserve(static_cast<std::size_t>(n));
  for (std::uint64_t i = 0; i < n && ok_; ++i) text.push_back(static_cast<char>(U8()));
  return ok_ ? text : std::string();
}

namespace {

void EncodeRuns(StateWriter& out, std::span<const ClusterRun> runs) {
  out.U64(runs.size());
  for (const ClusterRun& r : runs) {
    out.U64(r.vcn);
    out.U64(r.lcn);
    out.U64(r.length);
  }
}

std::vector<ClusterRun> DecodeRuns(StateReader& in) {
  std::vector<ClusterRun> runs(static_cast<std::size_t>(in.Count(24)));
  for (ClusterRun& r : runs) {
    r.vcn = in.U64();
    r.lcn = in.U64();
    r.length = in.U64();
  }
  return runs;
}

// The files of a catalogue by their order.
std::vector<const CatalogueNode*> FilesByOrder(const Catalogue& catalogue) {
  std::vector<const CatalogueNode*> files;
  for (const CatalogueNode* n = catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    if (n->order != files.size()) return {};  // not a catalogue this process built
    files.push_back(n);
  }
  return files;
}

}  // namespace

void EncodeConditionFacts(StateWriter& out, const ConditionFacts& facts) {
  out.U8(facts.enabled ? 1 : 0);
  out.U64(facts.liveClaims.Clusters());
  const auto& words = facts.liveClaims.Words();
  out.U64(words.size());
  for (std::uint64_t w : words) out.U64(w);
  EncodeRuns(out, facts.mapRuns);
  out.U64(facts.mapBytes);
  const std::uint32_t files = facts.placements.Files();
  out.U32(files);
  for (std::uint32_t f = 0; f < files; ++f) {
    const auto kind = facts.placements.KindOf(f);
    out.U8(static_cast<std::uint8_t>(kind));
    if (kind == DataPlacements::Kind::Runs) EncodeRuns(out, facts.placements.RunsOf(f));
  }
  out.U64(facts.deletedFiles.size());
  for (const CatalogueNode* n : facts.deletedFiles) out.U32(n->order);
}

bool DecodeConditionFacts(StateReader& in, const Catalogue& catalogue, ConditionFacts& facts) {
  facts.Clear();
  facts.enabled = in.Bool();
  const std::uint64_t clusters = in.U64();
  std::vector<std::uint64_t> words(static_cast<std::size_t>(in.Count(8)));
  for (std::uint64_t& w : words) w = in.U64();
  if (!in.Ok() || !facts.liveClaims.Assign(clusters, std::move(words))) return false;
  facts.mapRuns = DecodeRuns(in);
  facts.mapBytes = in.U64();
  const std::vector<const CatalogueNode*> files = FilesByOrder(catalogue);
  const std::uint32_t placed = in.U32();
  if (placed > files.size()) return false;
  for (std::uint32_t f = 0; f < placed && in.Ok(); ++f) {
    switch (static_cast<DataPlacements::Kind>(in.U8())) {
      case DataPlacements::Kind::Unknown:
        break;
      case DataPlacements::Kind::InRecord:
        facts.placements.SetInRecord(f);
        break;
      case DataPlacements::Kind::Runs: {
        const std::vector<ClusterRun> runs = DecodeRuns(in);
        facts.placements.SetRuns(f, runs);
        break;
      }
      default:
        return false;
    }
  }
  const std::uint64_t deleted = in.Count(4);
  facts.deletedFiles.reserve(static_cast<std::size_t>(deleted));
  for (std::uint64_t i = 0; i < deleted && in.Ok(); ++i) {
    const std::uint32_t order = in.U32();
    if (order >= files.size()) return false;
    facts.deletedFiles.push_back(files[order]);
  }
  return in.Ok();
}

}  // namespace brevant
