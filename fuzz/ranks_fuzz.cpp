// The rank file from any contents, then, when ranks were read, saved and
// loaded again: the same ranks with the same levels and texts come back
// (texts cut at their limit included).

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "store/rank_store.h"
#include "store_world.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FakeClock clock;
  static const std::string path = fuzz::ScratchFile("ranks.rank");
  fuzz::WriteWholeFile(path, data, size);

  RankStore first(clock, path);
  first.Load();
  FUZZ_CHECK(first.Count() >= 0 && first.Count() <= RankStore::kMaxRanks);
  const Rank* any = nullptr;
  for (int id = 1; id <= RankStore::kMaxRanks && any == nullptr; ++id) any = first.RankById(id);
  if (any == nullptr) return 0;

  // The save writes only after a change: an edit that sets the same values.
  FUZZ_CHECK(first.AcquireRankEditor(1, "fuzz") == RankStore::kDone);
  const Rank same = *any;
  if (first.ModifyRank(1, same.id, same.level, same.abbrev, same.descr) != RankStore::kDone) {
    return 0;  // texts the editor would refuse; nothing to save
  }
  FUZZ_CHECK(first.SavePending());
  FUZZ_CHECK(first.Save() == 0);

  RankStore second(clock, path);
  second.Load();
  FUZZ_CHECK(second.Count() == first.Count());
  for (int id = 1; id <= RankStore::kMaxRanks; ++id) {
    const Rank* x = first.RankById(id);
    const Rank* y = second.RankById(id);
    FUZZ_CHECK((x == nullptr) == (y == nullptr));
    if (x == nullptr) continue;
    FUZZ_CHECK(x->id == y->id && x->level == y->level);
    FUZZ_CHECK(x->abbrev == y->abbrev && x->descr == y->descr);
  }
  return 0;
}
