// What the stores need to know about the channel tree. The channel tree
// implements it; until one is attached every path resolves to no channel.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

class ChannelSource {
 public:
  virtual ~ChannelSource() = default;
  // Id of the first channel whose path equals `path` (case-insensitive), or 0.
  virtual std::uint16_t ChannelIdByPath(std::string_view path) const = 0;
  // The path of the channel, or empty when no channel has that id.
  virtual std::string ChannelPath(std::uint16_t channelId) const = 0;
  virtual bool ChannelExists(std::uint16_t channelId) const = 0;
  // The channel's ProtMode (2 = authorised users only); 0 for no channel.
  virtual int ProtMode(std::uint16_t channelId) const = 0;
  // True when the connection is in the administrator list of the channel or
  // of one of its ancestors. (AdminMode is tested by the caller.)
  virtual bool IsChannelAdmin(std::uint16_t connectionId, std::uint16_t channelId) const = 0;
};

}  // namespace kestrune
