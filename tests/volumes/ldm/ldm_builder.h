// Hand-made dynamic-disk databases for the cases no tool writes (damage,
// odd fragment orders). Big-endian throughout, as on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vandrel::test {

// The fields of one record, appended in order.
class LdmFields {
 public:
  LdmFields& VarInt(std::uint64_t value) {
    std::vector<std::uint8_t> digits;
    for (; value != 0; value >>= 8) digits.insert(digits.begin(), static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(digits.size()));
    bytes.insert(bytes.end(), digits.begin(), digits.end());
    return *this;
  }
  LdmFields& VarString(const std::string& text) {
    bytes.push_back(static_cast<std::uint8_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  LdmFields& Fixed(std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  LdmFields& Zeros(std::size_t count) {
    bytes.insert(bytes.end(), count, 0);
    return *this;
  }
  std::vector<std::uint8_t> bytes;
};

inline void PutBe(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

// One record as its 128-byte slots (several when it needs fragments).
inline std::vector<std::vector<std::uint8_t>> VblkSlots(std::uint32_t sequence, std::uint32_t group,
                                                        std::uint8_t type, std::uint8_t flags,
                                                        const LdmFields& fields) {
  std::vector<std::uint8_t> record(24);
  PutBe(record, 20, fields.bytes.size(), 4);
  record[18] = flags;
  record[19] = type;
  record.insert(record.end(), fields.bytes.begin(), fields.bytes.end());
  const std::size_t count = record.size() <= 128 ? 1 : 1 + (record.size() - 128 + 111) / 112;
  record.resize(128 + (count - 1) * 112, 0);
  std::vector<std::vector<std::uint8_t>> slots;
  for (std::size_t k = 0; k < count; ++k) {
    std::vector<std::uint8_t> slot(128, 0);
    if (k == 0) {
      std::copy(record.begin(), record.begin() + 128, slot.begin());
    } else {
      std::copy(record.begin() + 16 + 112 * k, record.begin() + 16 + 112 * (k + 1), slot.begin() + 16);
    }
    slot[0] = 'V', slot[1] = 'B', slot[2] = 'L', slot[3] = 'K';
    PutBe(slot, 4, sequence + k, 4);
    PutBe(slot, 8, group, 4);
    PutBe(slot, 12, k, 2);
    PutBe(slot, 14, count, 2);
    slots.push_back(std::move(slot));
  }
  return slots;
}

inline LdmFields VolumeFields(std::uint64_t id, const std::string& name, std::uint64_t components,
                              std::uint64_t size, const std::string& hint) {
  LdmFields f;
  f.VarInt(id).VarString(name).VarString("gen").Zeros(1).Zeros(14).Fixed(3, 1).Zeros(1).Fixed(1, 1).Zeros(3);
  f.Fixed(0x11, 1).VarInt(components).Fixed(0, 8).Fixed(0, 8).VarInt(size).Zeros(4).Fixed(7, 1).Zeros(16);
  f.VarString(hint);
  return f;
}

inline LdmFields ComponentFields(std::uint64_t id, const std::string& name, std::uint8_t type,
                                 std::uint64_t children, std::uint64_t parent, std::uint64_t stripe,
                                 std::uint64_t columns) {
  LdmFields f;
  f.VarInt(id).VarString(name).VarString("ACTIVE").Fixed(type, 1).Zeros(4).VarInt(children);
  f.Zeros(16).VarInt(parent).Zeros(1).VarInt(stripe).VarInt(columns);
  return f;
}

inline LdmFields PartitionFields(std::uint64_t id, const std::string& name, std::uint64_t start,
                                 std::uint64_t volumeOffset, std::uint64_t size, std::uint64_t component,
                                 std::uint64_t disk, std::uint64_t index) {
  LdmFields f;
  f.VarInt(id).VarString(name).Zeros(4).Zeros(8).Fixed(start, 8).Fixed(volumeOffset, 8).VarInt(size);
  f.VarInt(component).VarInt(disk).VarInt(index);
  return f;
}

inline LdmFields DiskFields(std::uint64_t id, const std::string& name, const std::string& diskId,
                            const std::string& altName = {}) {
  LdmFields f;
  f.VarInt(id).VarString(name).VarString(diskId).VarString(altName).Zeros(4).Zeros(8);
  return f;
}

// A 1 MiB database area (2048 sectors) whose last sector is PRIVHEAD,
// with TOCBLOCK at sector 1, VMDB at sector 17 and the slots from sector 18.
struct LdmArea {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1048576, 0);
  std::size_t slotCount = 0;

  static constexpr std::size_t kVmdb = 17;

  void PrivHead(const std::string& diskId, const std::string& group, std::uint64_t dataStart,
                std::uint64_t configStart) {
    const std::size_t at = bytes.size() - 512;
    std::copy_n("PRIVHEAD", 8, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(diskId.begin(), diskId.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 0x30));
    std::copy(group.begin(), group.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 0xF0));
    PutBe(bytes, at + 0x11B, dataStart, 8);
    PutBe(bytes, at + 0x12B, configStart, 8);
  }
  void Toc(std::size_t sector = 1, std::uint64_t vmdbStart = kVmdb) {
    std::copy_n("TOCBLOCK", 8, bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    PutBe(bytes, sector * 512 + 0x2E, vmdbStart, 8);
  }
  void Vmdb(std::uint32_t lastSequence, std::uint32_t firstOffset = 512) {
    std::copy_n("VMDB", 4, bytes.begin() + kVmdb * 512);
    PutBe(bytes, kVmdb * 512 + 4, lastSequence, 4);
    PutBe(bytes, kVmdb * 512 + 8, 128, 4);
    PutBe(bytes, kVmdb * 512 + 0x0C, firstOffset, 4);
  }
  void Slot(const std::vector<std::uint8_t>& slot) {
    std::copy(slot.begin(), slot.end(), bytes.begin() + static_cast<std::ptrdiff_t>((kVmdb + 1) * 512 + 128 * slotCount));
    ++slotCount;
  }
};

}  // namespace vandrel::test
