#include "cli/unreadable_report.h"

namespace brevant::cli {
namespace {

std::string Records(std::uint64_t n) {
  return std::to_string(n) + " MFT record" + (n == 1 ? "" : "s");
}

}  // namespace

std::string UnreadableJson(const UnreadableIndex& unreadable) {
  std::string out = "\"unreadableRecords\": " + std::to_string(unreadable.records) +
                    ", \"unreadableStretches\": " + std::to_string(unreadable.stretches) +
                    ", \"unreadable\": [";
  bool first = true;
  for (const UnreadableRecords& r : unreadable.named) {
    out += first ? "{" : ", {";
    first = false;
    out += "\"firstRecord\": " + std::to_string(r.firstRecord) +
           ", \"records\": " + std::to_string(r.count);
    if (r.firstSector != 0) out += ", \"sector\": " + std::to_string(r.firstSector);
    // The cause texts are plain ASCII without quotes: nothing to escape.
    out += ", \"cause\": \"" + std::string(UnreadableCauseText(r.cause)) + "\"}";
  }
  out += "]";
  return out;
}

std::string UnreadableSummary(std::uint64_t records) {
  if (records == 0) return {};
  return ", " + Records(records) + " unreadable";
}

void ReportUnreadable(const UnreadableIndex& unreadable, std::string_view consequence,
                      std::FILE* err) {
  if (unreadable.Empty()) return;
  for (const UnreadableRecords& r : unreadable.named) {
    std::string line = std::string("brevant: unreadable: MFT record") + (r.count > 1 ? "s " : " ") +
                       std::to_string(r.firstRecord);
    if (r.count > 1) line += " to " + std::to_string(r.firstRecord + r.count - 1);
    if (r.firstSector != 0) line += " (from sector " + std::to_string(r.firstSector) + ")";
    line += ": ";
    line += UnreadableCauseText(r.cause);
    std::fprintf(err, "%s\n", line.c_str());
  }
  if (unreadable.stretches > unreadable.named.size())
    std::fprintf(err, "brevant: unreadable: %llu more stretches of MFT records\n",
                 static_cast<unsigned long long>(unreadable.stretches - unreadable.named.size()));
  std::fprintf(err, "brevant: incomplete: %s could not be read; %.*s\n",
               Records(unreadable.records).c_str(), static_cast<int>(consequence.size()),
               consequence.data());
}

}  // namespace brevant::cli
