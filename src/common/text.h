// UTF-8 text helpers: conversion of on-disk UTF-16 names and the code
// points that name comparisons walk (platform/locale.h compares).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vandrel {

// UTF-16LE code units to UTF-8. Unpaired surrogates are encoded as their
// own three-byte sequences, so distinct names on disk stay distinct.
std::string Utf16ToUtf8(std::span<const std::uint16_t> units);
// The same from raw little-endian bytes (odd trailing byte ignored).
std::string Utf16LeBytesToUtf8(std::span<const std::uint8_t> bytes);
// UTF-8 back to UTF-16 code units; names that came from disk get their
// units back exactly, unpaired surrogates included.
std::u16string Utf8ToUtf16(std::string_view text);

// Next code point of `text` at `pos`, advancing it; invalid bytes come back
// as themselves (0x80..0xFF) so that comparisons stay total.
char32_t NextCodePoint(std::string_view text, std::size_t& pos);

// Code points of a single-byte code page (Latin-1 here) as UTF-8.
std::string Latin1ToUtf8(std::string_view text);

}  // namespace vandrel
