// RAID layouts: virtual storages that present an array of member storages
// as one sector-addressable storage. A layout is built from a TRaidInfo (the
// metadata detectors and the LDM manager fill it in), maps every logical
// sector to a member and a sector on it, and only ever reads.
//
//   TAbstractRaid
//     TRaidStorage_Simple, TRaidStorage_Span, TRaidStorage_Stripe,
//     TRaidStorage_Mirror, TRaidStorage_Raid1E, TRaidStorage_Raid1E_Restart
//     TRaidStorage_Raid01 (a Mirror of two Stripes)
//     TRaidStorage_Raid10 (a Stripe of Mirror pairs)
//     TRaidStorage_RaidXor_Abstract
//       TRaidStorage_RaidXor_4_5
//         TRaidStorage_Raid4                 parity on the last member
//         TRaidStorage_Raid4_Parity0         parity on member 0
//         TRaidStorage_Raid5                 left-asymmetric
//         TRaidStorage_Raid5_Restart         left-symmetric
//         TRaidStorage_Raid5_Restart_Parity0 right-asymmetric
//         TRaidStorage_Raid5_RightSymmetric  right-symmetric
//
// Use CreateRaidStorage to build a layout; it owns a copy of the record and
// any nested layouts, never the member storages.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/bus_manager.h"

namespace vandrel {

// Layout type codes (TRaidInfo::Type).
enum TRaidType : std::uint8_t {
  rtUnknown = 0, rtSimple = 1, rtSpan = 2, rtStripe = 3, rtMirror = 4, rtRaid1E = 5,
  rtRaid4 = 6, rtRaid5 = 7, rtRaid6 = 8, rtRaid01 = 9, rtRaid10 = 10,
};

// Metadata family codes (TRaidInfo::Base).
enum TRaidBase : std::uint8_t {
  rbDdf = 1, rbIntel = 2, rbNvidia = 3, rbVia = 4, rbLdm = 5, rbLinux = 6,
};

// Damage states.
enum TRaidState : std::uint8_t { rsBroken = 1, rsRecoverable = 2, rsOk = 3 };

// Where parity and data go when the metadata says so; rlByBase keeps the
// choice the family code makes. rlInterleaved selects the RAID 1E layout
// whose copies follow each other across the members (md RAID 10 "near 2").
enum TRaidLayout : std::uint8_t {
  rlByBase = 0, rlLeftAsymmetric = 1, rlRightAsymmetric = 2, rlLeftSymmetric = 3, rlRightSymmetric = 4,
  rlInterleaved = 5,
};

struct TRaidMember {
  TStorage* Disk = nullptr;   // none: the member is absent
  std::int64_t Offset = 0;    // added to every position on the member
  std::int64_t Start = 0;     // first data sector (added as well)
  std::int64_t VolumeStart = 0;  // logical sector where this member begins (Span)
  std::int64_t Size = 0;      // sectors of the member that belong to the array
  std::uint8_t Index = 0;
  std::array<std::uint8_t, 64> Ident{};  // serial number or metadata descriptor
};

struct TRaidInfo {
  std::string Name;
  std::string Vendor;
  std::uint8_t Type = 0;
  std::uint8_t Base = 0;
  std::int32_t DiskCount = 0;
  std::int64_t SizeInSector = 0;
  std::int32_t SectorSize = 0;
  std::int32_t StripeSize = 0;
  std::array<std::uint8_t, 32> Id{};
  std::vector<TRaidMember> Members;
  // Parity or copy placement from the metadata (rlByBase when it has none).
  std::uint8_t Layout = rlByBase;
};

using TRaidInfoArray = std::vector<TRaidInfo>;

// Long form: "Raid 0 (Stripe)"; short form: "Stripe". Low 7 bits used.
std::string RaidTypeName(std::uint8_t code, bool longForm);
// "Broken", "Recoverable", "Ok", else empty.
std::string RaidStateName(std::uint8_t state);
// The damage state of an array from its member table.
std::uint8_t ComputeRaidState(const TRaidInfo& info);
// Members with a storage.
std::int32_t PresentMemberCount(const TRaidInfo& info);
// A member's Offset + Start (the sector of the member where the array's data begins).
std::int64_t MemberBase(const TRaidMember& member);

class TAbstractRaid : public TStorage {
 public:
  TAbstractRaid() : TStorage(nullptr) {}
  ~TAbstractRaid() override;

  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override = 0;
  bool Open(bool read, bool write, bool exclusive) override;
  void Close(bool releaseReader) override;
  std::string GetName(bool /*shortName*/) override { return Info.Name; }
  bool UnmountStorage(TStorage* storage) override;
  // Copies the record and sets the geometry; false when it cannot be read
  // as this layout.
  virtual bool Create(const TRaidInfo& info);

  const TRaidInfo& Information() const { return Info; }
  // Leaves out members whose data area lies past their end and cuts
  // SectorCount to what the present members hold (run after Create).
  void LimitToMembers();

 protected:
  // Reads `count` sectors of member `index` at member sector `sector`
  // (the member's base added); false for an absent member.
  bool ReadMember(std::int32_t index, std::uint8_t* buffer, std::int32_t count, std::int64_t sector);
  // Serves a read of a striped layout chunk piece by chunk piece: `piece`
  // gets the output, the piece length, the chunk number and the sector
  // within the chunk. False when the stripe size is unusable or a piece fails.
  bool ReadInChunks(std::uint8_t* buffer, std::int32_t count, std::int64_t sector,
                    const std::function<bool(std::uint8_t*, std::int32_t, std::int64_t, std::int64_t)>& piece);
  // The same over chunks of `stripe` sectors (a nested layout's chunk size).
  bool ReadInChunks(std::uint8_t* buffer, std::int32_t count, std::int64_t sector, std::int64_t stripe,
                    const std::function<bool(std::uint8_t*, std::int32_t, std::int64_t, std::int64_t)>& piece);
  // Logical sectors the members can hold, given the smallest data area of
  // a present member (`perMember` sectors); -1 when unknown.
  virtual std::int64_t Capacity(std::int64_t perMember) { return perMember; }
  std::size_t Bytes(std::int64_t sectors) const {
    return static_cast<std::size_t>(sectors) * static_cast<std::size_t>(SectorSize);
  }

  // Layouts keep no state between the pieces of a read (the parity rebuild
  // guards its own scratch), so reads of one array run side by side.
  bool ParallelReads() const override { return true; }

  TRaidInfo Info;
  // Members that are layouts themselves (RAID 0+1, 1+0).
  std::vector<std::unique_ptr<TAbstractRaid>> Nested;
  // The members this layout opened, which it alone closes again.
  std::vector<TStorage*> OpenedMembers;
};

// Builds the layout class the record asks for; none for an empty name, no
// members or a type without a layout.
std::unique_ptr<TAbstractRaid> CreateRaidStorage(const TRaidInfo& info);

class TRaidStorage_Simple : public TAbstractRaid {
 public:
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
};

class TRaidStorage_Span : public TAbstractRaid {
 public:
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool Create(const TRaidInfo& info) override;

 protected:
  std::int64_t Capacity(std::int64_t /*perMember*/) override { return -1; }
};

class TRaidStorage_Stripe : public TAbstractRaid {
 public:
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;

 protected:
  std::int64_t Capacity(std::int64_t perMember) override;
};

class TRaidStorage_Mirror : public TAbstractRaid {
 public:
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
};

class TRaidStorage_Raid1E : public TAbstractRaid {
 public:
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;

 protected:
  // Member and row of both copies of chunk `chunk`.
  virtual void PlaceCopies(std::int64_t chunk, std::int32_t member[2], std::int64_t row[2]);
  std::int64_t Capacity(std::int64_t perMember) override;
};

class TRaidStorage_Raid1E_Restart : public TRaidStorage_Raid1E {
 protected:
  void PlaceCopies(std::int64_t chunk, std::int32_t member[2], std::int64_t row[2]) override;
  std::int64_t Capacity(std::int64_t perMember) override;
};

class TRaidStorage_Raid01 : public TRaidStorage_Mirror {
 public:
  bool Create(const TRaidInfo& info) override;
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;

 private:
  std::int64_t HalfStripe = 0;  // the halves' chunk size, in sectors
};

class TRaidStorage_Raid10 : public TRaidStorage_Stripe {
 public:
  bool Create(const TRaidInfo& info) override;
};

class TRaidStorage_RaidXor_Abstract : public TAbstractRaid {
 public:
  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  // Rebuilds `count` sectors of member `missing` at member sector `sector`
  // from the other members.
  virtual bool Reconstruct(std::int32_t missing, std::uint8_t* buffer, std::int32_t count, std::int64_t sector) = 0;
  // Member, piece length and member sector of logical sector `sector`.
  virtual bool MapSector(std::int32_t wanted, std::int64_t sector, std::int32_t& member, std::int32_t& count,
                         std::int64_t& memberSector) = 0;

 protected:
  // Taken by a rebuild while it uses the scratch buffer and the sources.
  std::mutex ScratchLock;
  std::vector<std::uint8_t> Scratch;
  struct Source {
    std::int32_t member = 0;
    std::int64_t sector = 0;
  };
  std::vector<Source> Sources;
};

class TRaidStorage_RaidXor_4_5 : public TRaidStorage_RaidXor_Abstract {
 public:
  bool Create(const TRaidInfo& info) override;
  bool Reconstruct(std::int32_t missing, std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool MapSector(std::int32_t wanted, std::int64_t sector, std::int32_t& member, std::int32_t& count,
                 std::int64_t& memberSector) override;
  // Parity member and data index (before the parity member is skipped).
  virtual void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                          std::int32_t& data) = 0;

  bool Reconstructable = false;

 protected:
  std::int64_t Capacity(std::int64_t perMember) override;
};

class TRaidStorage_Raid4 : public TRaidStorage_RaidXor_4_5 {
 public:
  void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                  std::int32_t& data) override;
};

class TRaidStorage_Raid4_Parity0 : public TRaidStorage_RaidXor_4_5 {
 public:
  void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                  std::int32_t& data) override;
};

class TRaidStorage_Raid5 : public TRaidStorage_RaidXor_4_5 {
 public:
  void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                  std::int32_t& data) override;
};

class TRaidStorage_Raid5_Restart : public TRaidStorage_RaidXor_4_5 {
 public:
  void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                  std::int32_t& data) override;
};

class TRaidStorage_Raid5_Restart_Parity0 : public TRaidStorage_RaidXor_4_5 {
 public:
  void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                  std::int32_t& data) override;
};

// Parity moves from member 0 upwards, data continues after the parity member.
class TRaidStorage_Raid5_RightSymmetric : public TRaidStorage_RaidXor_4_5 {
 public:
  void PlaceChunk(std::int64_t chunk, std::int64_t row, std::int32_t members, std::int32_t& parity,
                  std::int32_t& data) override;
};

}  // namespace vandrel
