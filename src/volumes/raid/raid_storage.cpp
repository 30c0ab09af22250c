#include "volumes/raid/raid_storage.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "common/func.h"
#include "common/log.h"

namespace vandrel {

namespace {

constexpr std::int64_t kNoPosition = std::numeric_limits<std::int64_t>::max();
// Parity rebuild reads every other member of a row; more members than this
// are refused rather than read with an oversized source table.
constexpr std::int32_t kMaxXorMembers = 17;
constexpr std::int32_t kMaxMembers = 64;

struct TypeNames {
  const char* longName;
  const char* shortName;
};

constexpr TypeNames kTypeNames[] = {
    {"Unknown (Use all)", ""},
    {"Simple", "Simple"},
    {"JBod (Span)", "Span"},
    {"Raid 0 (Stripe)", "Stripe"},
    {"Raid 1 (Mirror)", "Mirror"},
    {"Raid 1E", "Raid 1E"},
    {"Raid 4", "Raid4"},
    {"Raid 5", "Raid5"},
    {"Raid 6", "Raid6"},
    {"Raid 0+1 (Stripe Mirroring)", "Raid 0+1"},
    {"Raid 1+0", "Raid 1+0"},
};

}  // namespace

std::string RaidTypeName(TRaidType type, bool longForm) {
  const std::uint8_t low = static_cast<std::uint8_t>(type) & 0x7F;
  if (low >= std::size(kTypeNames)) return {};
  return longForm ? kTypeNames[low].longName : kTypeNames[low].shortName;
}

std::string RaidStateName(std::uint8_t state) {
  switch (state) {
    case rsBroken: return "Broken";
    case rsRecoverable: return "Recoverable";
    case rsOk: return "Ok";
    default: return {};
  }
}

std::int32_t PresentMemberCount(const TRaidInfo& info) {
  std::int32_t present = 0;
  for (const TRaidMember& member : info.Members)
    if (member.Disk != nullptr) ++present;
  return present;
}

std::int64_t MemberBase(const TRaidMember& member) {
  if (member.Offset < 0 || member.Start < 0 || member.Offset > kNoPosition - member.Start) return kNoPosition;
  return member.Offset + member.Start;
}

std::uint8_t ComputeRaidState(const TRaidInfo& info) {
  const auto n = static_cast<std::int32_t>(info.Members.size());
  const auto absent = [&info](std::int32_t i) { return info.Members[static_cast<std::size_t>(i)].Disk == nullptr; };
  if (info.Type == TRaidType::Raid1E) {
    for (std::int32_t i = 0; i < n; ++i)
      if (absent(i) && absent((i + 1) % n)) return rsBroken;
    return PresentMemberCount(info) == n ? rsOk : rsRecoverable;
  }
  // RAID 1+0 survives as long as every mirror pair keeps one copy.
  if (info.Type == TRaidType::Raid10) {
    std::uint8_t state = rsOk;
    for (std::int32_t i = 0; i + 1 < n; i += 2) {
      if (absent(i) && absent(i + 1)) return rsBroken;
      if (absent(i) || absent(i + 1)) state = rsRecoverable;
    }
    return state;
  }
  if (info.Type == TRaidType::Raid01) {
    const std::int32_t h = n / 2;
    std::uint8_t state = rsOk;
    for (std::int32_t i = 0; i < h; ++i) {
      const std::int32_t a = info.Base == TRaidFamily::Intel ? 2 * i : i;
      const std::int32_t b = info.Base == TRaidFamily::Intel ? 2 * i + 1 : h + i;
      if (absent(a) && absent(b)) return rsBroken;
      if (absent(a) || absent(b)) state = rsRecoverable;
    }
    return state;
  }
  const std::int32_t missing = n - PresentMemberCount(info);
  if (missing == 0 && n > 0) return rsOk;
  // Parity rebuilds one missing member of RAID 4 as well as of RAID 5.
  const TRaidType type = info.Type;
  if (missing == 1 && (type == TRaidType::Mirror || type == TRaidType::Raid4 || type == TRaidType::Raid5))
    return rsRecoverable;
  return rsBroken;
}

// ----------------------------------------------------------- TAbstractRaid

TAbstractRaid::~TAbstractRaid() {
  // Nested layouts go after every reference to them is dropped.
  for (TRaidMember& member : Info.Members) member.Disk = nullptr;
  Nested.clear();
}

bool TAbstractRaid::Create(const TRaidInfo& info) {
  LogText("Create Raid params:");
  LogText(Sprintf("Name: %s, Type: %s, Base: %d, DiskCount: %d, SizeInSector: %lld, SectorSize: %d, StripeSize: %d",
                  info.Name.c_str(), RaidTypeName(info.Type, false).c_str(), static_cast<int>(info.Base),
                  info.DiskCount, static_cast<long long>(info.SizeInSector), info.SectorSize, info.StripeSize));
  for (const TRaidMember& member : info.Members)
    LogText(Sprintf(" Disk: $%llx, Start: %lld, Size: %lld",
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(member.Disk)),
                    static_cast<long long>(member.Start), static_cast<long long>(member.Size)));
  Info = info;
  if (Info.DiskCount < 0) Info.DiskCount = 0;
  Info.Members.resize(static_cast<std::size_t>(Info.DiskCount));
  if (Info.SectorSize == 0) Info.SectorSize = 512;
  const auto type = static_cast<std::uint8_t>(Info.Type) & 0x7F;
  const bool striped = type == static_cast<std::uint8_t>(TRaidType::Stripe) ||
                       (type >= static_cast<std::uint8_t>(TRaidType::Raid1E) &&
                        type <= static_cast<std::uint8_t>(TRaidType::Raid10));
  if (Info.StripeSize == 0 && !striped) Info.StripeSize = 128;
  if (Info.SectorSize < 0 || Info.SizeInSector < 0 || Info.StripeSize < 0) return false;
  SectorSize = Info.SectorSize;
  // Copies of RAID 1E sit up to twice as far in as their logical sector;
  // a size beyond any real disk keeps that arithmetic inside 64 bits.
  SectorCount = std::min(Info.SizeInSector, kNoPosition / 4);
  Size = SectorCount > kNoPosition / SectorSize ? 0 : SectorCount * SectorSize;
  return true;
}

void TAbstractRaid::LimitToMembers() {
  std::int64_t perMember = kNoPosition;
  for (std::size_t i = 0; i < Info.Members.size(); ++i) {
    TRaidMember& member = Info.Members[i];
    if (member.Disk == nullptr) continue;
    const std::int64_t base = MemberBase(member);
    if (member.Disk->SectorSize != SectorSize || base >= member.Disk->SectorCount) {
      LogText(Sprintf("Raid %s: member %d does not hold the array's data (start %lld, %lld sectors), left out",
                      Info.Name.c_str(), static_cast<int>(i), static_cast<long long>(base),
                      static_cast<long long>(member.Disk->SectorCount)));
      member.Disk = nullptr;
      continue;
    }
    perMember = std::min(perMember, member.Disk->SectorCount - base);
  }
  if (perMember == kNoPosition) return;
  const std::int64_t capacity = Capacity(perMember);
  if (capacity >= 0 && SectorCount > capacity) {
    LogText(Sprintf("Raid %s: %lld sectors claimed, the members hold %lld", Info.Name.c_str(),
                    static_cast<long long>(SectorCount), static_cast<long long>(capacity)));
    SectorCount = capacity;
    Size = SectorCount * SectorSize;
  }
}

bool TAbstractRaid::Open(bool read, bool write, bool exclusive) {
  try {
    for (TRaidMember& member : Info.Members)
      if (member.Disk != nullptr && member.Disk->Open(read, write, exclusive)) OpenedMembers.push_back(member.Disk);
  } catch (...) {
    return false;
  }
  return !OpenedMembers.empty();
}

void TAbstractRaid::Close(bool releaseReader) {
  TStorage::Close(releaseReader);
  std::vector<TStorage*> opened;
  opened.swap(OpenedMembers);
  try {
    // A member that has gone away since is no longer ours to close.
    for (TStorage* disk : opened)
      for (const TRaidMember& member : Info.Members)
        if (member.Disk == disk) {
          disk->Close(releaseReader);
          break;
        }
  } catch (...) {
  }
}

bool TAbstractRaid::UnmountStorage(TStorage* storage) {
  if (storage == nullptr) return false;
  if (storage == this) {
    LogText("raid_storage.TAbstractRaid.UnmountStorage: Storage=Self");
    return false;
  }
  for (TRaidMember& member : Info.Members)
    if (member.Disk == storage) member.Disk = nullptr;
  for (auto& nested : Nested) nested->UnmountStorage(storage);
  return true;
}

bool TAbstractRaid::ReadMember(std::int32_t index, std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  if (index < 0 || static_cast<std::size_t>(index) >= Info.Members.size()) return false;
  TRaidMember& member = Info.Members[static_cast<std::size_t>(index)];
  if (member.Disk == nullptr) return false;
  const std::int64_t base = MemberBase(member);
  if (sector < 0 || base == kNoPosition || sector > kNoPosition - base) return false;
  try {
    // A sector the member cannot read must fail here, to be rebuilt from
    // the other members or taken from another copy, never read as zeros.
    return member.Disk->ReadSectors(buffer, count, sector + base, TReadPolicy::Fail);
  } catch (...) {
    return false;
  }
}

bool TAbstractRaid::ReadInChunks(
    std::uint8_t* buffer, std::int32_t count, std::int64_t sector,
    const std::function<bool(std::uint8_t*, std::int32_t, std::int64_t, std::int64_t)>& piece) {
  return Info.DiskCount > 0 && ReadInChunks(buffer, count, sector, Info.StripeSize, piece);
}

bool TAbstractRaid::ReadInChunks(
    std::uint8_t* buffer, std::int32_t count, std::int64_t sector, std::int64_t stripe,
    const std::function<bool(std::uint8_t*, std::int32_t, std::int64_t, std::int64_t)>& piece) {
  const std::int64_t s = stripe;
  if (s <= 0 || sector < 0) return false;
  std::int64_t position = sector;
  std::int64_t remaining = count;
  std::uint8_t* out = buffer;
  while (remaining > 0) {
    const std::int64_t o = position % s;
    const auto k = static_cast<std::int32_t>(std::min(remaining, s - o));
    std::memset(out, 0, Bytes(k));
    if (!piece(out, k, position / s, o)) return false;
    position += k;
    remaining -= k;
    out += Bytes(k);
  }
  return true;
}

namespace {

// The parity placement of a RAID 4 or 5: the metadata's, else the family's
// usual one (DDF and Intel rotate parity left-asymmetric, md's default and
// the others left-symmetric; RAID 4 keeps parity on the last member).
TRaidLayout ParityPlacement(const TRaidInfo& info) {
  if (info.Type == TRaidType::Raid4)
    return info.Layout == TRaidLayout::ParityFirst ? TRaidLayout::ParityFirst : TRaidLayout::ParityLast;
  switch (info.Layout) {
    case TRaidLayout::LeftAsymmetric:
    case TRaidLayout::RightAsymmetric:
    case TRaidLayout::LeftSymmetric:
    case TRaidLayout::RightSymmetric:
      return info.Layout;
    default:
      break;
  }
  return info.Base == TRaidFamily::Ddf || info.Base == TRaidFamily::Intel ? TRaidLayout::LeftAsymmetric
                                                                          : TRaidLayout::LeftSymmetric;
}

}  // namespace

std::unique_ptr<TAbstractRaid> CreateRaidStorage(const TRaidInfo& info) {
  if (info.DiskCount <= 0 || info.Name.empty()) return nullptr;
  const auto code = static_cast<std::uint8_t>(info.Type);
  const auto unknown = [&info, code] {
    LogText(Sprintf("AbstractRaid: Unknown Raid Type=%d Base=%d DiskCount=%d", code & 0x7F, static_cast<int>(info.Base),
                    info.DiskCount));
    return nullptr;
  };
  const TRaidType type = info.Type;
  if ((code & 0x80) != 0 || type == TRaidType::Unknown || type == TRaidType::Raid6 ||
      code > static_cast<std::uint8_t>(TRaidType::Raid10))
    return unknown();
  const bool parity = type == TRaidType::Raid4 || type == TRaidType::Raid5;
  if (info.DiskCount > kMaxMembers || (parity && info.DiskCount > kMaxXorMembers)) {
    LogText(Sprintf("AbstractRaid: too many members: Type=%d DiskCount=%d", code, info.DiskCount));
    return nullptr;
  }
  std::unique_ptr<TAbstractRaid> layout;
  switch (type) {
    case TRaidType::Simple: layout = std::make_unique<TRaidStorage_Simple>(); break;
    case TRaidType::Span: layout = std::make_unique<TRaidStorage_Span>(); break;
    case TRaidType::Stripe: layout = std::make_unique<TRaidStorage_Stripe>(); break;
    case TRaidType::Mirror: layout = std::make_unique<TRaidStorage_Mirror>(); break;
    case TRaidType::Raid1E:
      if (info.Layout == TRaidLayout::Interleaved)
        layout = std::make_unique<TRaidStorage_Raid1E>();
      else
        layout = std::make_unique<TRaidStorage_Raid1E_Restart>();
      break;
    case TRaidType::Raid4:
    case TRaidType::Raid5: layout = std::make_unique<TRaidStorage_RaidXor_4_5>(ParityPlacement(info)); break;
    case TRaidType::Raid01: layout = std::make_unique<TRaidStorage_Raid01>(); break;
    case TRaidType::Raid10: layout = std::make_unique<TRaidStorage_Raid10>(); break;
    default: return unknown();
  }
  if (!layout->Create(info)) return nullptr;
  layout->LimitToMembers();
  return layout;
}

// ------------------------------------------------------------ Simple, Span

bool TRaidStorage_Simple::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  std::memset(buffer, 0, Bytes(count));
  return ReadMember(0, buffer, count, sector);
}

bool TRaidStorage_Span::Create(const TRaidInfo& info) {
  if (!TAbstractRaid::Create(info)) return false;
  const bool allZero = std::all_of(Info.Members.begin(), Info.Members.end(),
                                   [](const TRaidMember& m) { return m.VolumeStart == 0; });
  if (allZero) {
    std::int64_t next = 0;
    for (TRaidMember& member : Info.Members) {
      member.VolumeStart = next;
      // A member of unknown size hides where the following ones begin.
      if (member.Size <= 0 || next == kNoPosition || member.Size > kNoPosition - next)
        next = kNoPosition;
      else
        next += member.Size;
    }
  }
  // A member cannot contribute more than it holds.
  for (TRaidMember& member : Info.Members) {
    if (member.Disk == nullptr) continue;
    const std::int64_t base = MemberBase(member);
    const std::int64_t holds = base >= member.Disk->SectorCount ? 0 : member.Disk->SectorCount - base;
    if (member.Size > holds) {
      LogText(Sprintf("Raid %s: span member of %lld sectors holds only %lld", Info.Name.c_str(),
                      static_cast<long long>(member.Size), static_cast<long long>(holds)));
      member.Size = holds;
    }
  }
  return true;
}

bool TRaidStorage_Span::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  std::int64_t position = sector;
  std::int64_t remaining = count;
  std::uint8_t* out = buffer;
  std::memset(buffer, 0, Bytes(count));
  for (std::size_t i = 0; i < Info.Members.size() && remaining > 0; ++i) {
    const TRaidMember& member = Info.Members[i];
    const std::int64_t v = member.VolumeStart;
    const std::int64_t z = member.Size;
    if (v == kNoPosition || z <= 0 || position < v || position - v >= z) continue;
    if (member.Disk == nullptr) return false;
    const std::int64_t k = std::min(remaining, v + z - position);
    if (!ReadMember(static_cast<std::int32_t>(i), out, static_cast<std::int32_t>(k), position - v)) {
      LogText(Sprintf("SPAN: not Read i=%lld count=%lld, disk=%d", static_cast<long long>(position),
                      static_cast<long long>(remaining), static_cast<int>(i)));
      return false;
    }
    position += k;
    remaining -= k;
    out += Bytes(k);
  }
  return remaining == 0;
}

// ------------------------------------------------------------------ Stripe

std::int64_t TRaidStorage_Stripe::Capacity(std::int64_t perMember) {
  const std::int64_t s = Info.StripeSize;
  if (s <= 0) return 0;
  const std::int64_t n = Info.DiskCount;
  const std::int64_t rows = perMember / s;
  if (n > 0 && rows > kNoPosition / n / s) return -1;
  return rows * n * s;
}

bool TRaidStorage_Stripe::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  const std::int64_t s = Info.StripeSize;
  const std::int64_t n = Info.DiskCount;
  return ReadInChunks(buffer, count, sector, [&](std::uint8_t* out, std::int32_t k, std::int64_t c, std::int64_t o) {
    const auto member = static_cast<std::int32_t>(c % n);
    // An absent member's chunks fail the read: zeros handed out as its data
    // would be wrong bytes reported as good ones (and a mirror of stripes
    // would never turn to its other half).
    return Info.Members[static_cast<std::size_t>(member)].Disk != nullptr && ReadMember(member, out, k, (c / n) * s + o);
  });
}

// ------------------------------------------------------------------ Mirror

bool TRaidStorage_Mirror::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  std::memset(buffer, 0, Bytes(count));
  for (std::size_t i = 0; i < Info.Members.size(); ++i) {
    if (Info.Members[i].Disk == nullptr) continue;
    if (ReadMember(static_cast<std::int32_t>(i), buffer, count, sector)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- RAID 1E

void TRaidStorage_Raid1E::PlaceCopies(std::int64_t chunk, std::int32_t member[2], std::int64_t row[2]) {
  const std::int64_t n = Info.DiskCount;
  for (int copy = 0; copy < 2; ++copy) {
    const std::int64_t slot = 2 * chunk + copy;
    member[copy] = static_cast<std::int32_t>(slot % n);
    row[copy] = slot / n;
  }
}

std::int64_t TRaidStorage_Raid1E::Capacity(std::int64_t perMember) {
  const std::int64_t s = Info.StripeSize;
  if (s <= 0) return 0;
  const std::int64_t rows = perMember / s;
  if (rows > kNoPosition / std::max<std::int64_t>(1, Info.DiskCount) / s) return -1;
  return rows * Info.DiskCount / 2 * s;
}

void TRaidStorage_Raid1E_Restart::PlaceCopies(std::int64_t chunk, std::int32_t member[2], std::int64_t row[2]) {
  const std::int64_t n = Info.DiskCount;
  member[0] = static_cast<std::int32_t>(chunk % n);
  member[1] = static_cast<std::int32_t>((chunk + 1) % n);
  row[0] = 2 * (chunk / n);
  row[1] = row[0] + 1;
}

std::int64_t TRaidStorage_Raid1E_Restart::Capacity(std::int64_t perMember) {
  const std::int64_t s = Info.StripeSize;
  if (s <= 0) return 0;
  const std::int64_t pairs = perMember / s / 2;
  if (pairs > kNoPosition / std::max<std::int64_t>(1, Info.DiskCount) / s) return -1;
  return pairs * Info.DiskCount * s;
}

bool TRaidStorage_Raid1E::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  const std::int64_t s = Info.StripeSize;
  return ReadInChunks(buffer, count, sector, [&](std::uint8_t* out, std::int32_t k, std::int64_t c, std::int64_t o) {
    std::int32_t member[2];
    std::int64_t row[2];
    PlaceCopies(c, member, row);
    return ReadMember(member[0], out, k, row[0] * s + o) || ReadMember(member[1], out, k, row[1] * s + o);
  });
}

// ------------------------------------------------------- RAID 0+1 and 1+0

bool TRaidStorage_Raid01::Create(const TRaidInfo& info) {
  if (!TAbstractRaid::Create(info)) return false;
  const TRaidInfo parent = Info;
  const std::int32_t h = parent.DiskCount / 2;
  HalfStripe = parent.StripeSize;
  Info.DiskCount = 2;
  Info.Type = TRaidType::Mirror;
  Info.StripeSize = 0;
  std::unique_ptr<TAbstractRaid> halves[2];
  for (int half = 0; half < 2; ++half) {
    TRaidInfo record;
    record.Name = parent.Name;
    record.Vendor = parent.Vendor;
    record.SizeInSector = parent.SizeInSector;
    record.SectorSize = parent.SectorSize;
    record.StripeSize = parent.StripeSize;
    record.Type = TRaidType::Stripe;
    record.Base = parent.Base;
    record.DiskCount = h;
    for (std::int32_t i = 0; i < h; ++i) {
      const std::int32_t from = parent.Base == TRaidFamily::Intel ? 2 * i + half : half * h + i;
      TRaidMember member = parent.Members[static_cast<std::size_t>(from)];
      member.Index = static_cast<std::uint8_t>(i);
      record.Members.push_back(member);
    }
    if (h > 0) halves[half] = CreateRaidStorage(record);
  }
  Info.Members.assign(2, TRaidMember{});
  if (h > 0) {
    Info.Members[0] = parent.Members[0];
    Info.Members[1] = parent.Members[static_cast<std::size_t>(h)];
  }
  for (int i = 0; i < 2; ++i) {
    TRaidMember& member = Info.Members[static_cast<std::size_t>(i)];
    member.Index = static_cast<std::uint8_t>(i);
    member.Offset = 0;
    member.Start = 0;
    member.Size = parent.SizeInSector;
    member.Disk = nullptr;
  }
  // The second half is tried first.
  if (halves[0]) {
    Info.Members[1].Disk = halves[0].get();
    Nested.push_back(std::move(halves[0]));
  }
  if (halves[1]) {
    Info.Members[0].Disk = halves[1].get();
    Nested.push_back(std::move(halves[1]));
  }
  LimitToMembers();
  return true;
}

// Chunk by chunk: each chunk is taken from whichever half holds it, so two
// members missing from different halves still leave every chunk readable.
bool TRaidStorage_Raid01::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  if (HalfStripe <= 0) return TRaidStorage_Mirror::Read(buffer, count, sector);
  return ReadInChunks(buffer, count, sector, HalfStripe,
                      [&](std::uint8_t* out, std::int32_t k, std::int64_t c, std::int64_t o) {
                        return TRaidStorage_Mirror::Read(out, k, c * HalfStripe + o);
                      });
}

bool TRaidStorage_Raid10::Create(const TRaidInfo& info) {
  if (!TAbstractRaid::Create(info)) return false;
  const TRaidInfo parent = Info;
  const std::int32_t h = parent.DiskCount / 2;
  Info.Type = TRaidType::Stripe;
  Info.DiskCount = h;
  Info.Members.assign(static_cast<std::size_t>(h), TRaidMember{});
  for (std::int32_t c = 0; c < h; ++c) {
    TRaidInfo record;
    record.Name = parent.Name;
    record.Vendor = parent.Vendor;
    record.SectorSize = parent.SectorSize;
    record.Type = TRaidType::Mirror;
    record.Base = parent.Base;
    record.DiskCount = 2;
    record.SizeInSector = parent.SizeInSector / h;
    record.StripeSize = 0;
    for (int copy = 0; copy < 2; ++copy) {
      TRaidMember member = parent.Members[static_cast<std::size_t>(2 * c + copy)];
      member.Index = 0;
      record.Members.push_back(member);
    }
    TRaidMember& entry = Info.Members[static_cast<std::size_t>(c)];
    entry.Index = static_cast<std::uint8_t>(c);
    entry.Size = parent.Members[static_cast<std::size_t>(2 * c)].Size;
    // Without a present copy the pair stays absent, its chunks read as zeros.
    if (PresentMemberCount(record) == 0) continue;
    std::unique_ptr<TAbstractRaid> pair = CreateRaidStorage(record);
    if (!pair) continue;
    entry.Disk = pair.get();
    Nested.push_back(std::move(pair));
  }
  LimitToMembers();
  return true;
}

// ---------------------------------------------------------- Parity layouts

bool TRaidStorage_RaidXor_Abstract::Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) {
  const std::int64_t s = Info.StripeSize;
  return ReadInChunks(buffer, count, sector, [&](std::uint8_t* out, std::int32_t k, std::int64_t c, std::int64_t o) {
    std::int32_t member = 0;
    std::int32_t length = 0;
    std::int64_t memberSector = 0;
    if (!MapSector(k, c * s + o, member, length, memberSector) || length != k) return false;
    const bool present = Info.Members[static_cast<std::size_t>(member)].Disk != nullptr;
    return (present && ReadMember(member, out, k, memberSector)) || Reconstruct(member, out, k, memberSector);
  });
}

bool TRaidStorage_RaidXor_4_5::Create(const TRaidInfo& info) {
  if (!TAbstractRaid::Create(info)) return false;
  LimitToMembers();
  const std::int32_t present = PresentMemberCount(Info);
  Reconstructable = present == Info.DiskCount || present == Info.DiskCount - 1;
  return true;
}

std::int64_t TRaidStorage_RaidXor_4_5::Capacity(std::int64_t perMember) {
  const std::int64_t s = Info.StripeSize;
  if (s <= 0 || Info.DiskCount < 2) return 0;
  const std::int64_t rows = perMember / s;
  if (rows > kNoPosition / Info.DiskCount / s) return -1;
  return rows * (Info.DiskCount - 1) * s;
}

bool TRaidStorage_RaidXor_4_5::MapSector(std::int32_t wanted, std::int64_t sector, std::int32_t& member,
                                         std::int32_t& count, std::int64_t& memberSector) {
  const std::int64_t s = Info.StripeSize;
  if (s <= 0 || sector < 0) return false;
  const std::int64_t o = sector % s;
  const std::optional<TParityChunk> place = MapParityChunk(Placement, Info.DiskCount, sector / s);
  if (!place || place->DataMember < 0 || place->DataMember >= Info.DiskCount) return false;
  if (place->Row > (kNoPosition - o) / s) return false;
  member = place->DataMember;
  memberSector = place->Row * s + o;
  count = static_cast<std::int32_t>(std::min<std::int64_t>(wanted, s - o));
  return true;
}

bool TRaidStorage_RaidXor_4_5::Reconstruct(std::int32_t missing, std::uint8_t* buffer, std::int32_t count,
                                           std::int64_t sector) {
  if (!Reconstructable) return false;
  const std::lock_guard lock(ScratchLock);
  Sources.clear();
  for (std::int32_t i = 0; i < Info.DiskCount; ++i) {
    if (i == missing) continue;
    if (Info.Members[static_cast<std::size_t>(i)].Disk == nullptr) return false;
    Sources.push_back({i, sector});
  }
  if (Sources.empty()) return false;
  if (!ReadMember(Sources[0].member, buffer, count, Sources[0].sector)) return false;
  const std::size_t bytes = Bytes(count);
  if (Scratch.size() < bytes) Scratch.resize(std::max(bytes, Bytes(Info.StripeSize)));
  for (std::size_t i = 1; i < Sources.size(); ++i) {
    if (!ReadMember(Sources[i].member, Scratch.data(), count, Sources[i].sector)) return false;
    // Whole 64-bit words first (sector sizes are multiples of 8), then any rest.
    std::size_t b = 0;
    for (; b + 8 <= bytes; b += 8) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::memcpy(&x, buffer + b, 8);
      std::memcpy(&y, Scratch.data() + b, 8);
      x ^= y;
      std::memcpy(buffer + b, &x, 8);
    }
    for (; b < bytes; ++b) buffer[b] ^= Scratch[b];
  }
  return true;
}

}  // namespace vandrel
