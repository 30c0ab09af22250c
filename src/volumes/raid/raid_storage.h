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
//       TRaidStorage_RaidXor_4_5   RAID 4 and 5, placed by a TRaidLayout
//                                  (parity_layout.h)
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
#include "volumes/raid/parity_layout.h"

namespace vandrel {

// Kind of array (TRaidInfo::Type); the number is the code the names table
// is indexed by.
enum class TRaidType : std::uint8_t {
  Unknown = 0, Simple = 1, Span = 2, Stripe = 3, Mirror = 4, Raid1E = 5,
  Raid4 = 6, Raid5 = 7, Raid6 = 8, Raid01 = 9, Raid10 = 10,
};

// Who wrote the metadata (TRaidInfo::Base).
enum class TRaidFamily : std::uint8_t {
  Unknown = 0, Ddf = 1, Intel = 2, Nvidia = 3, Via = 4, Ldm = 5, Linux = 6,
};

// Damage states.
enum TRaidState : std::uint8_t { rsBroken = 1, rsRecoverable = 2, rsOk = 3 };

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
  TRaidType Type = TRaidType::Unknown;
  TRaidFamily Base = TRaidFamily::Unknown;
  std::int32_t DiskCount = 0;
  std::int64_t SizeInSector = 0;
  std::int32_t SectorSize = 0;
  std::int32_t StripeSize = 0;
  std::array<std::uint8_t, 32> Id{};
  std::vector<TRaidMember> Members;
  // Parity or copy placement from the metadata (ByFamily when it has none).
  TRaidLayout Layout = TRaidLayout::ByFamily;
};

using TRaidInfoArray = std::vector<TRaidInfo>;

// Long form: "Raid 0 (Stripe)"; short form: "Stripe". Low 7 bits used.
std::string RaidTypeName(TRaidType type, bool longForm);
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

// RAID 4 and RAID 5: one member of every row holds the XOR of the others,
// placed as the layout says.
class TRaidStorage_RaidXor_4_5 : public TRaidStorage_RaidXor_Abstract {
 public:
  explicit TRaidStorage_RaidXor_4_5(TRaidLayout placement) : Placement(placement) {}
  bool Create(const TRaidInfo& info) override;
  bool Reconstruct(std::int32_t missing, std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool MapSector(std::int32_t wanted, std::int64_t sector, std::int32_t& member, std::int32_t& count,
                 std::int64_t& memberSector) override;

  bool Reconstructable = false;
  // A parity placement (never ByFamily or Interleaved).
  const TRaidLayout Placement;

 protected:
  std::int64_t Capacity(std::int64_t perMember) override;
};

}  // namespace vandrel
