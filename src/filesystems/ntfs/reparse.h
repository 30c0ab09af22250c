// Reparse points and what ntfs-3g writes for links and special files:
// junction and symbolic-link targets, Interix and WSL files, $EA values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/endian.h"
#include "filesystems/file_system.h"

namespace vandrel {

// Junctions one lookup may pass, as many as Windows follows for one open.
inline constexpr int kMaxLinkHops = 63;

// Reparse buffer header: tag, length of the data after the header, reserved.
inline constexpr std::uint64_t kNtfsReparseTag = 0;
inline constexpr std::uint64_t kNtfsReparseDataLength = 4;
inline constexpr std::uint64_t kNtfsReparseData = 8;
// Mount points and symbolic links: the substitute and print names, each an
// offset and length in bytes counted from the path buffer. A symbolic link
// has 32 bits of flags before its path buffer.
inline constexpr std::uint64_t kNtfsReparseSubstituteOffset = 8;
inline constexpr std::uint64_t kNtfsReparseSubstituteLength = 10;
inline constexpr std::uint64_t kNtfsReparsePrintOffset = 12;
inline constexpr std::uint64_t kNtfsReparsePrintLength = 14;
inline constexpr std::uint64_t kNtfsMountPointPathBuffer = 16;
inline constexpr std::uint64_t kNtfsSymlinkFlags = 16;
inline constexpr std::uint64_t kNtfsSymlinkPathBuffer = 20;
// WSL links: a 32-bit version, then the UTF-8 target.
inline constexpr std::uint64_t kNtfsLxSymlinkTarget = 12;

inline constexpr std::uint32_t kNtfsReparseMountPoint = 0xA0000003;
inline constexpr std::uint32_t kNtfsReparseSymlink = 0xA000000C;
inline constexpr std::uint32_t kNtfsSymlinkRelative = 1;
// The substitute name (UTF-8) of a mount-point (junction) reparse buffer.
// False for any other tag, and when the name does not lie inside both the
// buffer and the length its header declares.
bool ParseMountPointTarget(ByteSpan reparse, std::string& substitute);
// The tag of a reparse buffer; 0 when it is too short to hold one.
inline std::uint32_t ReparseTag(ByteSpan reparse) { return Le32(reparse, kNtfsReparseTag); }
// A symbolic-link reparse point's target with '/' separators: relative as
// stored, absolute as its printed name ("C:/x").
bool ParseSymlinkTarget(ByteSpan reparse, std::string& target);
// An Interix link (what ntfs-3g makes for a symbolic link): a system file
// whose data is "IntxLNK\1" and the UTF-16 target.
inline constexpr std::array<std::uint8_t, 8> kNtfsInterixLinkMagic = {'I', 'n', 't', 'x', 'L', 'N', 'K', 1};
bool ParseInterixLink(ByteSpan data, std::string& target);
// ntfs-3g's Interix special files are system files: 0 bytes a FIFO, 1 byte
// a socket, "IntxCHR\0" or "IntxBLK\0" with a 64-bit major and minor a
// device. Unknown for any other data.
TSpecialKind ParseInterixSpecial(ByteSpan data, TSpecialInfo& info);
// What ntfs-3g writes with special_files=wsl: a link's reparse data holds a
// version and the UTF-8 target; FIFOs, sockets and devices have a tag of
// their own and keep the device numbers in the extended attribute $LXDEV.
inline constexpr std::uint32_t kNtfsReparseLxSymlink = 0xA000001D;
bool ParseLxSymlink(ByteSpan reparse, std::string& target);
TSpecialKind LxSpecialKind(std::uint32_t tag);
// The value of the extended attribute `name` in the bytes of an $EA
// attribute; false when absent or when an entry leaves the buffer.
bool FindEaValue(ByteSpan ea, std::string_view name, ByteSpan& value);

// A directory whose reparse point may make it a junction.
inline bool MayBeJunction(const TFileEntry& e) { return e.IsDirectory() && (e.Attributes & kAttrReparsePoint) != 0; }

}  // namespace vandrel
