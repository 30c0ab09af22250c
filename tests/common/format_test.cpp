#include <gtest/gtest.h>

#include "common/endian.h"
#include "common/func.h"
#include "common/log.h"
#include "common/messages.h"
#include "common/text.h"
#include "platform/locale.h"
#include "devices/device_manager.h"
#include "common/error_codes.h"
#include "support/memory_disk.h"

namespace vandrel {
namespace {

TEST(FormatSize, UnitsAndThresholds) {
  struct Case {
    std::uint64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0.00 KiB"},
      {1024000, "1000.00 KiB"},
      {1024001 + 1023, "0.98 MiB"},
      {1048576000, "1000.00 MiB"},
      {2147483648ULL, "2.00 GiB"},
      {1073741824000ULL, "1000.00 GiB"},
      {5ULL << 50, "5120.00 TiB"},  // nothing above TiB
      {~0ULL, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(GroupDigits, GroupsOfThreeEachFollowedByBlank) {
  EXPECT_EQ(GroupDigits(0), "0 ");
  EXPECT_EQ(GroupDigits(999), "999 ");
  EXPECT_EQ(GroupDigits(1234), "1 234 ");
  EXPECT_EQ(GroupDigits(1234567), "1 234 567 ");
  EXPECT_EQ(GroupDigits(18446744073709551615ULL), "18 446 744 073 709 551 615 ");
}

TEST(SizeText, EmptyAndUnits) {
  EXPECT_EQ(TDeviceManager::SizeText(nullptr), "(empty)");
  test::MemoryDisk empty({});
  EXPECT_EQ(TDeviceManager::SizeText(&empty), "(empty)");
  test::MemoryDisk disk(std::vector<std::uint8_t>(1024000));
  EXPECT_EQ(TDeviceManager::SizeText(&disk), "1000.00 KiB");
  EXPECT_EQ(TDeviceManager::DisplayName(nullptr, false), "\\");
}

TEST(ErrorText, TableAndNumbers) {
  EXPECT_EQ(ErrorText(0), "No Errors");
  EXPECT_EQ(ErrorText(37), "File system is not supported");
  EXPECT_EQ(ErrorText(38), "Too many partitions");
  EXPECT_EQ(ErrorText(41), "");
  EXPECT_EQ(ErrorText(45), "45");
}

TEST(Message, TableAndNumbers) {
  EXPECT_EQ(Message(0), "Unknown file system: %d");
  EXPECT_EQ(Message(85), "Hard Disk Drives");
  EXPECT_EQ(Message(1), "");
  EXPECT_EQ(Message(170), "170");
}

TEST(LogEvent, LineFormatAndSenderNames) {
  std::vector<std::string> lines;
  ScopedLogSink capture([&](const std::string& line, int) { lines.push_back(line); });
  LogEvent(kSenderIo, 37, 0, "", 1);
  LogText("  plain text  ");
  SetLogSenderNames(true);
  LogEvent(kSenderPTable, 34, 0, "Magic: 0", 0);
  LogEvent(42, 0, 0, "x", 0);
  SetLogSenderNames(false);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "File system is not supported");
  EXPECT_EQ(lines[1], "plain text");
  EXPECT_EQ(lines[2], "PTable Wrong block signature  Magic: 0");
  EXPECT_EQ(lines[3], "Sender: 42   x");
}

TEST(EndianLoads, BoundsChecked) {
  const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0xFF};
  EXPECT_EQ(Le16(bytes, 0), 0x0201);
  EXPECT_EQ(Be16(bytes, 0), 0x0102);
  EXPECT_EQ(Le32(bytes, 0), 0x04030201u);
  EXPECT_EQ(Le32(bytes, 2), 0u);  // would run past the end
  EXPECT_EQ(Le64(bytes, ~0ULL - 2), 0u);
  EXPECT_EQ(LeSN(bytes, 4, 1), -1);
  EXPECT_FALSE(Fits(bytes, 4, 2));
  EXPECT_TRUE(Fits(bytes, 5, 0));
}

TEST(Text, Utf16AndCaseFolding) {
  const std::uint16_t name[] = {'A', 0x00E9, 0xD83D, 0xDE00, 0xD800};  // unpaired surrogate last
  const std::string utf8 = Utf16ToUtf8(name);
  EXPECT_EQ(utf8, "A\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x80");
  EXPECT_EQ(Utf8ToUtf16(utf8), std::u16string(std::begin(name), std::end(name)));
  EXPECT_TRUE(EqualNoCase("Straße", "STRAßE"));
  EXPECT_TRUE(EqualNoCase("ÉCOLE", "école"));
  EXPECT_TRUE(EqualNoCase("ПРИВЕТ", "привет"));
  EXPECT_FALSE(EqualNoCase("abc", "abd"));
  EXPECT_FALSE(EqualNoCase("abc", "ab"));
  EXPECT_TRUE(EqualNoCase("\xFF", "\xFF"));  // invalid bytes compare as themselves
}

}  // namespace
}  // namespace vandrel
