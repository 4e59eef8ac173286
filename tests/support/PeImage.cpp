#include "tests/support/PeImage.h"

#include <windows.h>

#include <delayimp.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/TextUtil.h"

namespace kdm_test {

namespace {

const std::uint32_t kPeSignature = 0x00004550; // "PE\0\0"
const std::uint32_t kDelayImportDirectory = 13;
// The longest library name that the shape test accepts.
const std::size_t kLongestLibraryName = 64;

bool EndsWithDll(const std::string& name)
{
    if (name.size() < 5) {
        return false;
    }
    return AsciiLower(name.substr(name.size() - 4)) == ".dll";
}

} // namespace

PeImage::PeImage(std::string bytes) : bytes(std::move(bytes))
{
    const IMAGE_DOS_HEADER dos = Read<IMAGE_DOS_HEADER>(0);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) {
        throw std::runtime_error("no MZ header");
    }
    const std::uint32_t pe = static_cast<std::uint32_t>(dos.e_lfanew);
    if (Read<std::uint32_t>(pe) != kPeSignature) {
        throw std::runtime_error("no PE signature");
    }
    const IMAGE_FILE_HEADER file = Read<IMAGE_FILE_HEADER>(pe + 4);
    const std::uint32_t optional = pe + 4 + sizeof(IMAGE_FILE_HEADER);
    const IMAGE_OPTIONAL_HEADER32 header = Read<IMAGE_OPTIONAL_HEADER32>(optional);
    if (header.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        throw std::runtime_error("not a PE32 optional header");
    }
    timeDateStamp = file.TimeDateStamp;
    fileCharacteristics = file.Characteristics;
    dllCharacteristics = header.DllCharacteristics;
    directoriesOffset = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    directoryCount = header.NumberOfRvaAndSizes;

    const std::uint32_t sectionTable = optional + file.SizeOfOptionalHeader;
    for (unsigned i = 0; i < file.NumberOfSections; ++i) {
        const IMAGE_SECTION_HEADER section =
            Read<IMAGE_SECTION_HEADER>(sectionTable + i * sizeof(IMAGE_SECTION_HEADER));
        sections.push_back({section.VirtualAddress, section.Misc.VirtualSize,
                            section.PointerToRawData, section.SizeOfRawData});
    }
}

PeImage PeImage::FromFile(const std::wstring& path)
{
    std::string bytes = ReadFileBytes(path);
    if (bytes == "<no file>") {
        throw std::runtime_error("cannot read " + ToUtf8(path));
    }
    return PeImage(std::move(bytes));
}

template <typename T> T PeImage::Read(std::uint32_t offset) const
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        throw std::runtime_error("read beyond the end of the file at " + std::to_string(offset));
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

bool PeImage::IsMapped(std::uint32_t rva) const
{
    for (const Section& section : sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
            return true;
        }
    }
    return false;
}

std::uint32_t PeImage::OffsetOf(std::uint32_t rva) const
{
    for (const Section& section : sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
            return section.rawOffset + (rva - section.virtualAddress);
        }
    }
    throw std::runtime_error("address " + std::to_string(rva) + " is in no section");
}

std::string PeImage::StringAt(std::uint32_t rva) const
{
    const std::uint32_t offset = OffsetOf(rva);
    const std::size_t end = bytes.find('\0', offset);
    if (end == std::string::npos) {
        throw std::runtime_error("unterminated name at " + std::to_string(rva));
    }
    return bytes.substr(offset, end - offset);
}

std::uint32_t PeImage::Directory(unsigned index, std::uint32_t* size) const
{
    if (index >= directoryCount) {
        return 0;
    }
    const IMAGE_DATA_DIRECTORY directory =
        Read<IMAGE_DATA_DIRECTORY>(directoriesOffset + index * sizeof(IMAGE_DATA_DIRECTORY));
    if (size != nullptr) {
        *size = directory.Size;
    }
    return directory.VirtualAddress;
}

std::uint32_t PeImage::RelocationsSize() const
{
    std::uint32_t size = 0;
    return Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC, &size) == 0 ? 0 : size;
}

void PeImage::ReadThunks(const std::string& library, std::uint32_t tableRva,
                         std::uint32_t addressRva, bool delayLoaded,
                         std::vector<PeImport>& imports) const
{
    for (std::uint32_t index = 0;; ++index) {
        const std::uint32_t thunk = Read<std::uint32_t>(OffsetOf(tableRva + 4 * index));
        if (thunk == 0) {
            return;
        }
        const std::uint32_t entry =
            delayLoaded ? Read<std::uint32_t>(OffsetOf(addressRva + 4 * index)) : 0;
        if ((thunk & IMAGE_ORDINAL_FLAG32) != 0) {
            imports.push_back({library, "#" + std::to_string(thunk & 0xFFFF), delayLoaded, entry});
        } else {
            // IMAGE_IMPORT_BY_NAME: a 16-bit hint, then the name.
            imports.push_back({library, StringAt(thunk + 2), delayLoaded, entry});
        }
    }
}

std::vector<PeImage::DelayDescriptor> PeImage::DelayDescriptors() const
{
    std::vector<DelayDescriptor> descriptors;
    std::uint32_t size = 0;
    const std::uint32_t table = Directory(kDelayImportDirectory, &size);
    if (table != 0) {
        for (std::uint32_t offset = OffsetOf(table);; offset += sizeof(ImgDelayDescr)) {
            const ImgDelayDescr descriptor = Read<ImgDelayDescr>(offset);
            if (descriptor.rvaDLLName == 0) {
                return descriptors;
            }
            descriptors.push_back({descriptor.rvaDLLName, descriptor.rvaINT, descriptor.rvaIAT});
        }
    }
    for (const Section& section : sections) {
        for (std::uint32_t at = 0; at + sizeof(ImgDelayDescr) <= section.rawSize; at += 4) {
            const ImgDelayDescr descriptor = Read<ImgDelayDescr>(section.rawOffset + at);
            if (descriptor.grAttrs != dlattrRva || !IsMapped(descriptor.rvaDLLName) ||
                !IsMapped(descriptor.rvaHmod) || !IsMapped(descriptor.rvaIAT) ||
                !IsMapped(descriptor.rvaINT)) {
                continue;
            }
            const std::string name = StringAt(descriptor.rvaDLLName);
            if (name.size() <= kLongestLibraryName && EndsWithDll(name)) {
                descriptors.push_back(
                    {descriptor.rvaDLLName, descriptor.rvaINT, descriptor.rvaIAT});
            }
        }
    }
    return descriptors;
}

std::vector<PeImport> PeImage::Imports() const
{
    std::vector<PeImport> imports;
    const std::uint32_t table = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (table != 0) {
        for (std::uint32_t offset = OffsetOf(table);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const IMAGE_IMPORT_DESCRIPTOR descriptor = Read<IMAGE_IMPORT_DESCRIPTOR>(offset);
            if (descriptor.Name == 0) {
                break;
            }
            const std::uint32_t names = descriptor.OriginalFirstThunk != 0
                                            ? descriptor.OriginalFirstThunk
                                            : descriptor.FirstThunk;
            ReadThunks(StringAt(descriptor.Name), names, 0, false, imports);
        }
    }
    for (const DelayDescriptor& descriptor : DelayDescriptors()) {
        ReadThunks(StringAt(descriptor.nameRva), descriptor.nameTableRva,
                   descriptor.addressTableRva, true, imports);
    }
    return imports;
}

std::vector<std::string> PeImage::DelayLoadedLibraries() const
{
    std::vector<std::string> libraries;
    for (const DelayDescriptor& descriptor : DelayDescriptors()) {
        libraries.push_back(StringAt(descriptor.nameRva));
    }
    return libraries;
}

} // namespace kdm_test
