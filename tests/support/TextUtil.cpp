#include "tests/support/TextUtil.h"

#include <wincrypt.h>

#include <stdexcept>
#include <vector>

namespace kdm_test {

std::string AsciiLower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return text;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

std::string Win32ErrorText(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring message;
    if (length != 0 && buffer != nullptr) {
        message.assign(buffer, length);
        while (!message.empty() &&
               (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
            message.pop_back();
        }
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    std::string result = std::to_string(error);
    if (!message.empty()) {
        result += " (" + ToUtf8(message) + ")";
    }
    return result;
}

unsigned char PatternByte(std::uint64_t offset)
{
    // Mixes every byte of the offset so that no small shift maps the pattern onto itself.
    const std::uint32_t low = static_cast<std::uint32_t>(offset);
    const std::uint32_t mixed = low * 2654435761u;
    return static_cast<unsigned char>((mixed >> 24) ^ (low >> 16) ^
                                      static_cast<std::uint32_t>(offset >> 32));
}

std::string PatternBytes(std::uint64_t offset, std::size_t count)
{
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(PatternByte(offset + i));
    }
    return bytes;
}

std::size_t FirstPatternMismatch(const std::string& data, std::uint64_t offset)
{
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (static_cast<unsigned char>(data[i]) != PatternByte(offset + i)) {
            return i;
        }
    }
    return std::string::npos;
}

namespace {

class Sha1Hash {
public:
    Sha1Hash()
    {
        if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT)) {
            throw std::runtime_error("CryptAcquireContextW failed: " +
                                     Win32ErrorText(GetLastError()));
        }
        if (!CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash)) {
            const DWORD error = GetLastError();
            CryptReleaseContext(provider, 0);
            throw std::runtime_error("CryptCreateHash failed: " + Win32ErrorText(error));
        }
    }
    ~Sha1Hash()
    {
        CryptDestroyHash(hash);
        CryptReleaseContext(provider, 0);
    }
    Sha1Hash(const Sha1Hash&) = delete;
    Sha1Hash& operator=(const Sha1Hash&) = delete;

    void Add(const std::string& bytes)
    {
        if (!bytes.empty() && !CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                                             static_cast<DWORD>(bytes.size()), 0)) {
            throw std::runtime_error("CryptHashData failed: " + Win32ErrorText(GetLastError()));
        }
    }

    std::string HexUpper()
    {
        BYTE digest[20] = {};
        DWORD size = sizeof(digest);
        if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
            throw std::runtime_error("CryptGetHashParam failed: " + Win32ErrorText(GetLastError()));
        }
        static const char kDigits[] = "0123456789ABCDEF";
        std::string text;
        for (DWORD i = 0; i < size; ++i) {
            text += kDigits[digest[i] >> 4];
            text += kDigits[digest[i] & 0x0F];
        }
        return text;
    }

private:
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
};

} // namespace

std::string Sha1HexUpper(const std::string& bytes)
{
    Sha1Hash hash;
    hash.Add(bytes);
    return hash.HexUpper();
}

std::string PatternSha1HexUpper(std::uint64_t size)
{
    Sha1Hash hash;
    const std::uint64_t block = 1 << 16;
    for (std::uint64_t offset = 0; offset < size; offset += block) {
        const std::uint64_t count = size - offset < block ? size - offset : block;
        hash.Add(PatternBytes(offset, static_cast<std::size_t>(count)));
    }
    return hash.HexUpper();
}

std::string ReadFileBytes(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<no file>";
    }
    std::string bytes;
    std::vector<char> block(65536);
    DWORD read = 0;
    while (ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &read, nullptr) &&
           read != 0) {
        bytes.append(block.data(), read);
    }
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool complete =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    return CloseHandle(file) && complete;
}

} // namespace kdm_test
