// The filter tells the ids the record sweep gives from MFT record numbers by the sweep's own
// base: the two must agree, or an old volume's $MFT found by the sweep is taken for a user file
// (or a user file of a low id for metadata).
#include <gtest/gtest.h>

#include "core/text.h"
#include "model/file_filter.h"
#include "ntfs/record_sweep.h"

namespace brevant {
namespace {

TEST(SweptSystemFiles, TheFilterReadsSweptIdsAsTheSweepGivesThem) {
  RunResult r;
  r.fsName = "NTFS";
  auto file = [&](const std::u16string& name, std::int64_t id) {
    return r.catalogue.AppendFile(name, u"0", ToText(static_cast<std::uint64_t>(id)), u"5", u"0",
                                  u"0", u"1", u"16", u"0", u"FILE", u"1", 1);
  };
  // Found by the sweep: no record number, the name in the root says it.
  const CatalogueNode* oldMft = file(u"$MFT", kSweptIdBase);
  const CatalogueNode* oldPhoto = file(u"photo.jpg", kSweptIdBase + 1);
  // Below the base the id is the record number, and a high one is a user's, whatever its name.
  const CatalogueNode* userMft = file(u"$MFT", kSweptIdBase - 1);
  ui::FilterIndex index(r);
  EXPECT_TRUE(index.IsSystem(*oldMft));
  EXPECT_FALSE(index.IsSystem(*oldPhoto));
  EXPECT_FALSE(index.IsSystem(*userMft));
}

}  // namespace
}  // namespace brevant
