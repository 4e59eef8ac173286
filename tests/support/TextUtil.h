// Text conversions and error texts shared by the test bench.
#ifndef KDM_TESTS_SUPPORT_TEXTUTIL_H
#define KDM_TESTS_SUPPORT_TEXTUTIL_H

#include <cstdint>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kdm_test {

std::string ToUtf8(const std::wstring& text);
// The text with A to Z made lower case (names of libraries and functions).
std::string AsciiLower(std::string text);
std::wstring FromUtf8(const std::string& text);

// "<code> (<system message>)", for failure messages of tests.
std::string Win32ErrorText(DWORD error);

// Deterministic body content: the byte at offset i of every generated body. The pattern does
// not repeat with a period of 256 or of any power of two below 2^24, so a shifted, repeated or
// truncated block is detected.
unsigned char PatternByte(std::uint64_t offset);
std::string PatternBytes(std::uint64_t offset, std::size_t count);
// Index of the first byte of `data` (which starts at `offset` of the pattern) that differs from
// the pattern, or std::string::npos when all match.
std::size_t FirstPatternMismatch(const std::string& data, std::uint64_t offset = 0);

// Every byte of a file, or "<no file>" (which no content of the tests equals) when it cannot be
// opened.
std::string ReadFileBytes(const std::wstring& path);
// Makes `bytes` the whole content of a file, created or replaced; false when that fails.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// SHA-1 of bytes, as 40 upper-case hexadecimal digits (the form of the download hash code).
// Throws std::runtime_error when CryptoAPI fails.
std::string Sha1HexUpper(const std::string& bytes);
// SHA-1 of the first `size` bytes of the pattern, computed block-wise.
std::string PatternSha1HexUpper(std::uint64_t size);

} // namespace kdm_test

#endif
