// NTFS decoders over any bytes: MFT records with their attributes,
// runlists and attribute lists, index nodes, LZNT1 units and reparse data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/log.h"
#include "filesystems/ntfs/attribute_list.h"
#include "filesystems/ntfs/boot_sector.h"
#include "filesystems/ntfs/index.h"
#include "filesystems/ntfs/lznt1.h"
#include "filesystems/ntfs/record.h"
#include "filesystems/ntfs/record_description.h"
#include "filesystems/ntfs/reparse.h"
#include "filesystems/ntfs/runlist.h"

using namespace vandrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (SetLogEnabled(false), true);
  (void)quiet;
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  switch (mode % 4) {
    case 0: {
      // A record: fixup, attributes, each runlist, list and name decoded.
      static_cast<void>(ApplyFixup(bytes));
      TNtfsRecordInfo info;
      std::vector<TNtfsAttrHeader> headers;
      ParseRecordAttributes(bytes, info, headers);
      for (const TNtfsAttrHeader& h : headers) {
        if (h.NonResident) {
          if (!Fits(bytes, h.RunlistOffset, h.RunlistLength)) __builtin_trap();
          std::vector<TRunNode> runs;
          DecodeRunlist(ByteSpan(bytes).subspan(h.RunlistOffset, h.RunlistLength), h.StartVcn, 1 << 20, runs);
          for (const TRunNode& r : runs)
            if (r.Length <= 0 || (r.Lcn >= 0 && r.Lcn + r.Length > (1 << 20))) __builtin_trap();
          continue;
        }
        if (!Fits(bytes, h.ValueOffset, h.ValueLength)) __builtin_trap();
        const ByteSpan value = ByteSpan(bytes).subspan(h.ValueOffset, h.ValueLength);
        std::vector<TNtfsListEntry> list;
        ParseAttributeList(value, list);
        TNtfsFileName name;
        ParseFileName(value, name);
        ByteSpan entries;
        bool large = false;
        std::vector<TNtfsIndexEntry> index;
        if (IndexRootEntries(value, entries, large)) ParseIndexEntries(entries, index);
      }
      TNtfsRecordDescription description;
      DescribeRecord(bytes, 1 << 20, description);
      TNtfsBoot boot;
      ParseNtfsBoot(bytes, boot);
      break;
    }
    case 1: {
      // An index block.
      static_cast<void>(ApplyFixup(bytes));
      ByteSpan entries;
      std::vector<TNtfsIndexEntry> index;
      if (IndexBlockEntries(bytes, entries)) ParseIndexEntries(entries, index);
      ParseIndexEntries(bytes, index);
      break;
    }
    case 3: {
      // A junction's reparse data.
      std::string target;
      if (ParseMountPointTarget(bytes, target) && target.size() > 3 * bytes.size()) __builtin_trap();
      break;
    }
    default: {
      // A compression unit of 16 clusters of 4096 bytes.
      TNTFS_Unpack unpack(4096, 65536);
      std::vector<std::uint8_t> out(65536);
      if (unpack.DecompressUnit(bytes, out) > out.size()) __builtin_trap();
      break;
    }
  }
  return 0;
}
