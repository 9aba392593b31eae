// The accounts file from any contents: loaded after a rank file of two ranks
// and with four channels, then saved and loaded again. Every account the
// first load accepted comes back with the same name, UID, permissions,
// texts (but for blanks at their ends) and channel lists.

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "store/account_store.h"
#include "store/rank_store.h"
#include "store/user_account.h"
#include "store_world.h"

namespace {

using namespace kestrune;

struct World {
  World() {
    const std::string ranks =
        "[1]\nLevel=5\nAbbrev=Mod\nDescr=Moderator\n[3]\nLevel=90\nAbbrev=Op\nDescr=Operator\n";
    fuzz::WriteWholeFile(rankPath, reinterpret_cast<const std::uint8_t*>(ranks.data()),
                         ranks.size());
    rankStore.Load();
    FUZZ_CHECK(rankStore.Count() == 2);
  }
  FakeClock clock;
  std::string rankPath = fuzz::ScratchFile("accounts.rank");
  std::string path = fuzz::ScratchFile("accounts.usr");
  RankStore rankStore{clock, rankPath};
  fuzz::FourChannels channels;
};

World& TheWorld() {
  static World* world = new World();  // lives for the whole run
  return *world;
}

std::string WithoutEndBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  return text;
}

void CheckSame(AccountStore& a, AccountStore& b) {
  FUZZ_CHECK(a.Count() == b.Count());
  for (int uid = 1; uid <= AccountStore::kMaxUid; ++uid) {
    UserAccount* x = a.FindByUid(uid);
    UserAccount* y = b.FindByUid(uid);
    FUZZ_CHECK((x == nullptr) == (y == nullptr));
    if (x == nullptr) continue;
    FUZZ_CHECK(x->name == y->name);
    FUZZ_CHECK(x->isGuest == y->isGuest);
    FUZZ_CHECK(x->owner == y->owner);
    // Blanks are not escaped, so the file drops them at either end of a text.
    FUZZ_CHECK(WithoutEndBlanks(x->notes) == y->notes);
    const std::string reason = WithoutEndBlanks(x->lockedReason);
    FUZZ_CHECK(reason == y->lockedReason ||
               (reason.empty() && x->permissions.Has(PermissionBlock::kLocked) && y->lockedReason == "Unknown"));
    FUZZ_CHECK(x->chanAdmin == y->chanAdmin);
    FUZZ_CHECK(x->chanAuth == y->chanAuth);
    // Offsets 67 and 68 come only from a ServerAdmin expansion at load and
    // are not stored; every other byte is.
    const PermissionBlock::Bytes& p = x->permissions.Raw();
    const PermissionBlock::Bytes& q = y->permissions.Raw();
    for (std::size_t i = 0; i < PermissionBlock::kSize; ++i) {
      if (i == 67 || i == 68) continue;
      FUZZ_CHECK(p[i] == q[i]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  fuzz::WriteWholeFile(world.path, data, size);

  AccountStore first(world.clock, world.path, world.rankStore);
  first.SetChannels(&world.channels);
  first.SetLog(fuzz::IgnoreReport);
  if (first.Load() != 0) return 0;
  FUZZ_CHECK(first.GuestAccount() != nullptr);
  FUZZ_CHECK(first.Count() >= 1 && first.Count() <= AccountStore::kMaxUid);

  // Any change arms the save; one that names no channel changes nothing.
  first.ChannelDeleted(1000);
  FUZZ_CHECK(first.Save() == 0);
  AccountStore second(world.clock, world.path, world.rankStore);
  second.SetChannels(&world.channels);
  second.SetLog(fuzz::IgnoreReport);
  FUZZ_CHECK(second.Load() == 0);
  CheckSame(first, second);
  return 0;
}
