// ldmtool's view of a reference set (the *.ldmtool.json beside it): the
// volumes with their type, size, chunk and partitions, the partitions with
// their disk, and the disks with their GUID and data area.
#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "volumes/raid/raid_storage.h"

namespace vandrel::test {

struct LdmtoolView {
  struct Volume {
    std::string name, type, hint;
    std::int64_t size = 0, chunk = 0;
    std::vector<std::string> partitions;
  };
  struct Partition {
    std::int64_t start = 0, size = 0;
    std::string disk;
  };
  struct Disk {
    std::string guid, device;
    bool present = false;
    std::int64_t dataStart = 0;
  };
  std::vector<Volume> volumes;
  std::map<std::string, Partition> partitions;
  std::map<std::string, Disk> disks;
  std::vector<std::string> images;
};

inline LdmtoolView LoadLdmtoolView(const std::string& path) {
  LdmtoolView view;
  std::ifstream in(path);
  const nlohmann::json doc = nlohmann::json::parse(in);
  for (const auto& image : doc.at("images")) view.images.push_back(image.get<std::string>());
  for (const auto& result : doc.at("results")) {
    const std::string command = result.at("command").get<std::string>();
    const auto& out = result.at("stdout_json");
    if (command.find("show volume") != std::string::npos) {
      LdmtoolView::Volume v;
      v.name = out.at("name");
      v.type = out.at("type");
      v.hint = out.value("hint", "");
      v.size = out.at("size");
      v.chunk = out.at("chunk-size");
      for (const auto& p : out.at("partitions")) v.partitions.push_back(p.get<std::string>());
      view.volumes.push_back(v);
    } else if (command.find("show partition") != std::string::npos) {
      view.partitions[out.at("name")] = {out.at("start"), out.at("size"), out.at("disk")};
    } else if (command.find("show disk ") != std::string::npos) {
      LdmtoolView::Disk d;
      d.guid = out.at("guid");
      d.present = out.at("present");
      if (d.present) {
        d.device = out.at("device");
        d.dataStart = out.at("data-start");
      }
      view.disks[out.at("name")] = d;
    }
  }
  return view;
}

// ldmtool's type words as layout codes.
inline TRaidType LdmtoolType(const std::string& type) {
  if (type == "simple") return TRaidType::Simple;
  if (type == "spanned") return TRaidType::Span;
  if (type == "striped") return TRaidType::Stripe;
  if (type == "mirrored") return TRaidType::Mirror;
  if (type == "RAID5") return TRaidType::Raid5;
  return TRaidType::Unknown;
}

}  // namespace vandrel::test
