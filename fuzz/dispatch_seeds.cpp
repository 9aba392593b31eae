// Writes the seed corpus of the dispatcher target: one file per scene of
// well-formed requests, with the ids a fresh World gives its clients and
// channels, so the fuzzer starts from messages that reach deep into every
// handler.
//   build-fuzz/dispatch_seeds fuzz/corpus/dispatch_fuzz
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "client/admin_requests.h"
#include "client/channel_requests.h"
#include "client/editor_requests.h"
#include "client/motd_requests.h"
#include "client/talk_requests.h"
#include "dispatch_world.h"

namespace kestrune::fuzz {
namespace {

constexpr std::uint8_t kSam = 0;
constexpr std::uint8_t kAnn = 1;
constexpr std::uint8_t kGuest = 2;
constexpr std::uint8_t kStranger = 3;
constexpr std::uint8_t kClock = 4;
constexpr std::uint8_t kReconnect = 8;

struct Scene {
  std::string name;
  std::vector<std::uint8_t> input;

  void Add(std::uint8_t control, const std::unique_ptr<Message>& message,
           std::uint8_t clockStep = 0) {
    AppendStep(input, control, *message, clockStep);
  }
};

ChannelRequest Enter(std::uint16_t client, std::uint16_t channel,
                     const std::string& password = "") {
  ChannelRequest request;
  request.clientId = client;
  request.action = 3;
  request.channel = channel;
  request.withTexts = false;
  if (!password.empty()) {
    request.digest = BytesDigest(password);
    request.flags = 0x100;
  }
  return request;
}

VoicePacket Voice(std::uint16_t action, std::uint16_t sender, std::uint16_t targetType,
                  std::vector<std::uint16_t> ids = {}) {
  VoicePacket packet;
  packet.action = action;
  packet.sender = sender;
  packet.codec = 2;
  packet.format = 1;
  packet.targetType = targetType;
  if (action == 1) {
    packet.mark = 1;
    packet.data = std::string(40, 'v');
  }
  if (!ids.empty()) {
    packet.types.assign(ids.size(), targetType);
    packet.ids = std::move(ids);
  }
  return packet;
}

std::vector<Scene> Scenes(World& world) {
  const std::uint16_t sam = world.ClientId(kSam);
  const std::uint16_t ann = world.ClientId(kAnn);
  const std::uint16_t guest = world.ClientId(kGuest);
  const std::uint16_t hall = world.ChannelId("Hall");
  const std::uint16_t quiet = world.ChannelId("Hall/Quiet");
  const std::uint16_t vault = world.ChannelId("Vault");
  const std::uint16_t club = world.ChannelId("Club");
  const std::uint16_t lounge = world.ChannelId("Lounge");
  std::vector<Scene> scenes;

  Scene talk{"talk", {}};
  talk.Add(kSam, BuildChannelRequest(Enter(sam, hall)));
  talk.Add(kAnn, BuildChannelRequest(Enter(ann, hall)));
  talk.Add(kSam, BuildVoice(Voice(0, sam, 1)));
  talk.Add(kSam, BuildVoice(Voice(1, sam, 1)));
  talk.Add(kSam, BuildVoice(Voice(1, sam, 2, {ann})));
  talk.Add(kSam | kClock, BuildVoice(Voice(2, sam, 1)), 20);
  talk.Add(kAnn, BuildChat(0));
  talk.Add(kAnn, BuildChat(2, "hello everyone"));
  talk.Add(kAnn, BuildBind(0, "text to speech"));
  talk.Add(kAnn, BuildPage(sam, 1));
  talk.Add(kAnn, BuildOwnTexts(ann, "a comment", "http://x", "integration"));
  scenes.push_back(std::move(talk));

  Scene floor{"floor", {}};
  floor.Add(kGuest, BuildChannelRequest(Enter(guest, lounge)));
  floor.Add(kAnn, BuildChannelRequest(Enter(ann, lounge)));
  floor.Add(kGuest, BuildVoice(Voice(0, guest, 1)));
  floor.Add(kAnn, BuildVoice(Voice(0, ann, 1)));
  floor.Add(kGuest | kClock, BuildVoice(Voice(1, guest, 1)), 200);
  floor.Add(kAnn, BuildChannelRequest(Enter(ann, quiet)));
  floor.Add(kGuest, BuildSetting(0, 1, 1));
  scenes.push_back(std::move(floor));

  Scene passwords{"passwords", {}};
  passwords.Add(kAnn, BuildChannelRequest(Enter(ann, vault, "wrong")));
  passwords.Add(kAnn, BuildChannelRequest(Enter(ann, vault, "key")));
  passwords.Add(kGuest, BuildChannelAuthRequest(vault, BytesDigest("key")));
  passwords.Add(kGuest, BuildChannelRequest(Enter(guest, club)));
  passwords.Add(kStranger, BuildLoginRequest(LoginOf(1)));
  scenes.push_back(std::move(passwords));

  Scene admin{"admin", {}};
  admin.Add(kSam, BuildAdminLogin(BytesDigest("admin")));
  admin.Add(kSam, BuildUserAdmin(1, guest, "go away"));
  admin.Add(kSam, BuildMoveUser(ann, vault));
  admin.Add(kSam, BuildPhantom(PhantomInfo{0, 0, sam, 0, club}));
  admin.Add(kSam, BuildChat(2, "/rcon status"));
  admin.Add(kSam, BuildChat(2, "/rcon list"));
  admin.Add(kSam | kClock, BuildUserAdmin(4, ann), 100);
  admin.Add(kGuest | kReconnect, BuildChat(2, "back again"));
  scenes.push_back(std::move(admin));

  Scene accounts{"accounts", {}};
  accounts.Add(kSam, BuildAdminLogin(BytesDigest("admin")));
  accounts.Add(kSam, BuildAccountList());
  AccountData added;
  added.name = "Newcomer";
  added.block[2] = 1;
  accounts.Add(kSam, BuildAccountEdit(1, added));
  added.SetUid(3);
  added.notes = "changed";
  accounts.Add(kSam, BuildAccountEdit(3, added));
  accounts.Add(kSam, BuildAccountBlockRequest(6, 50, 1));
  accounts.Add(kSam, BuildAccountBlockRequest(2, 2));
  accounts.Add(kSam, BuildAccountClose());
  accounts.Add(kSam | kClock, BuildRankEditorRequest(1), 250);
  accounts.Add(kSam, BuildRankEdit(3, 2, 9, "Mod", "Moderators"));
  accounts.Add(kSam, BuildRankEdit(4, 1, 0));
  accounts.Add(kSam, BuildRankEditorRequest(2));
  scenes.push_back(std::move(accounts));

  Scene editors{"editors", {}};
  editors.Add(kSam, BuildAdminLogin(BytesDigest("admin")));
  editors.Add(kSam, BuildPropertyRequest(0, 2));
  editors.Add(kSam, BuildPropertyRequest(1, 17, std::string("a new comment")));
  editors.Add(kSam, BuildPropertyRequest(3, 0));
  editors.Add(kSam, BuildBanRequest(BanRequest{0, 0, 0, 0, "", "", ""}));
  editors.Add(kSam, BuildBanRequest(BanRequest{2, 0, 24, 0x0A000000, "Net", "Sam", "testing"}));
  editors.Add(kSam, BuildBanRequest(BanRequest{1, 0, 24, 0x0A000000, "Net", "", ""}));
  editors.Add(kSam, BuildBanRequest(BanRequest{5, club, 32, 0x7F000003, "Visitor", "", "no"}));
  editors.Add(kSam, BuildMotdUpload(0, 1, 0, "Welcome to the server"));
  editors.Add(kAnn, BuildComplaintSubmit(guest, "rude"));
  scenes.push_back(std::move(editors));

  Scene channels{"channels", {}};
  ChannelRequest create;
  create.clientId = sam;
  create.action = 1;
  create.parent = hall;
  create.name = "Side";
  create.comment = "made by the fuzzer";
  channels.Add(kSam, BuildChannelRequest(create));
  ChannelRequest edit = Enter(sam, quiet);
  edit.action = 5;
  edit.withTexts = true;
  edit.name = "Quiet";
  edit.properties[0] = 0;
  channels.Add(kSam, BuildChannelRequest(edit));
  ChannelRequest lobby = Enter(ann, hall);
  lobby.action = 9;
  lobby.clientId = ann;
  channels.Add(kSam, BuildChannelRequest(lobby));
  ChannelRequest remove = Enter(sam, hall);
  remove.action = 2;
  channels.Add(kSam, BuildChannelRequest(remove));
  channels.Add(kAnn | kClock, BuildPingAnswer(0, 5), 255);
  scenes.push_back(std::move(channels));
  return scenes;
}

}  // namespace
}  // namespace kestrune::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dispatch_seeds <corpus folder>\n");
    return 1;
  }
  std::vector<kestrune::fuzz::Scene> scenes;
  {
    kestrune::fuzz::World world;
    scenes = kestrune::fuzz::Scenes(world);
  }
  for (const auto& scene : scenes) {
    const std::string path = std::string(argv[1]) + "/" + scene.name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      std::perror(path.c_str());
      return 1;
    }
    std::fwrite(scene.input.data(), 1, scene.input.size(), file);
    std::fclose(file);
    // Every seed must run clean before the fuzzer sees it.
    kestrune::fuzz::World world;
    world.Run(scene.input.data(), scene.input.size());
  }
  return 0;
}
