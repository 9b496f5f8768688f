// Catalogue and result-tree costs: appending 1,000,000 entries (time and bytes per entry),
// and building the result tree of 100,000 folders a few levels deep.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/catalogue.h"
#include "core/text.h"
#include "model/result_tree.h"

using namespace brevant;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void AppendBench(std::size_t count) {
  Catalogue c;
  std::size_t nameUnits = 0;
  auto t0 = Clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    // Values shaped like an NTFS scan of a large volume: 9-digit sectors, 64-bit FILETIMEs.
    std::u16string name = u"document_" + ToText(i) + u".txt";
    nameUnits += name.size() + 1;
    std::u16string id = ToText(100000 + i);
    c.AppendFile(name, ToText(123456789 + 2 * i), id, ToText(100000 + i / 40),
                 ToText(133476543210987654ull + i), u"0", ToText(i * 37 % 5000000), u"16", u"0",
                 u"FILE", i % 10 == 0 ? u"1" : u"NULL", static_cast<std::int32_t>(i));
  }
  auto t1 = Clock::now();
  double bytesBeyondNames =
      static_cast<double>(c.BytesUsed()) - static_cast<double>(nameUnits * sizeof(char16_t));
  std::printf("append %zu entries: %.3f s (%.0f ns/entry)\n", count, Seconds(t0, t1),
              Seconds(t0, t1) * 1e9 / static_cast<double>(count));
  std::printf("  arena used %.1f MiB, reserved %.1f MiB\n", c.BytesUsed() / 1048576.0,
              c.BytesReserved() / 1048576.0);
  std::printf("  bytes per entry beyond the name's characters: %.1f (used), %.1f (reserved)\n",
              bytesBeyondNames / static_cast<double>(count),
              (static_cast<double>(c.BytesReserved()) - nameUnits * 2.0) / static_cast<double>(count));
}

void TreeBench(std::size_t folders) {
  // Four levels: 20 top folders, 20 below each, 20 below those, the rest on the fourth level.
  Catalogue c;
  std::vector<std::size_t> parents{0};
  std::size_t made = 0, next = 1, level = 0;
  std::vector<std::size_t> current;
  while (made < folders) {
    std::vector<std::size_t> nextLevel;
    for (std::size_t p : parents) {
      std::size_t fan = level < 3 ? 20 : 12;
      for (std::size_t k = 0; k < fan && made < folders; ++k, ++made) {
        std::size_t id = ++next;
        c.AppendFolder(u"Folder " + ToText(k), u"0", ToText(id), ToText(p), u"0", u"0", u"0", u"16",
                       u"0", u"FOLDER", u"NULL", static_cast<std::int32_t>(made));
        nextLevel.push_back(id);
      }
      if (made >= folders) break;
    }
    parents.swap(nextLevel);
    ++level;
  }
  auto t0 = Clock::now();
  ui::ResultTree tree;
  tree.EnableCheckBoxes();
  tree.DeleteAllItems();
  ui::InsertTreePath(tree, u"My Computer\\");
  for (auto* n = c.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (TextToInt(n->parentId) == 0) ui::AddTopFolder(tree, n->name, static_cast<std::int32_t>(TextToInt(n->id)), n);
  ui::FolderChildIndex index(c);
  ui::AttachAllFrom(tree, index, 0, [] { return true; });
  auto t1 = Clock::now();
  std::printf("result tree of %zu folders in %zu levels: %.3f s (%zu registry records)\n", folders,
              level, Seconds(t0, t1), tree.treeFolderList.size());
  if (tree.treeFolderList.size() != folders) {
    std::fprintf(stderr, "wrong tree: %zu records for %zu folders\n", tree.treeFolderList.size(), folders);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t entries = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::size_t folders = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
  AppendBench(entries);
  TreeBench(folders);
  return 0;
}
