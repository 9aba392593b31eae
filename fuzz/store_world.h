// What the store targets share: a channel source of four channels and a sink
// for the stores' reports.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "store/channel_source.h"
#include "store/ini_file.h"

namespace kestrune::fuzz {

// Lobby (1), Lobby/Quiet (2, ProtMode 2), Games (3, ProtMode 1), Games/Chess (4).
struct FourChannels : ChannelSource {
  struct Node {
    std::string path;
    int protMode;
  };
  std::map<std::uint16_t, Node> nodes{
      {1, {"Lobby", 0}}, {2, {"Lobby/Quiet", 2}}, {3, {"Games", 1}}, {4, {"Games/Chess", 0}}};

  std::uint16_t ChannelIdByPath(std::string_view path) const override {
    for (const auto& [id, node] : nodes) {
      if (EqualsIgnoreCase(node.path, path)) return id;
    }
    return 0;
  }
  std::string ChannelPath(std::uint16_t id) const override {
    auto it = nodes.find(id);
    return it == nodes.end() ? std::string() : it->second.path;
  }
  bool ChannelExists(std::uint16_t id) const override { return nodes.count(id) != 0; }
  int ProtMode(std::uint16_t id) const override {
    auto it = nodes.find(id);
    return it == nodes.end() ? 0 : it->second.protMode;
  }
  bool IsChannelAdmin(std::uint16_t, std::uint16_t) const override { return false; }
};

// Reports of the stores go nowhere; only their results are checked.
inline void IgnoreReport(std::string_view) {}

}  // namespace kestrune::fuzz
