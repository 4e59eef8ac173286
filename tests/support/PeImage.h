// Reads the headers and import tables of a built PE32 binary from its file, without loading it.
#ifndef KDM_TESTS_SUPPORT_PEIMAGE_H
#define KDM_TESTS_SUPPORT_PEIMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace kdm_test {

struct PeImport {
    std::string library;  // as the binary names it, e.g. "KERNEL32.dll"
    std::string function; // the name, or "#<ordinal>" for an import by ordinal
    bool delayLoaded;
    // Delay-loaded: the initial value of its address table entry, which must point at the stub
    // that loads the library on the first call (0 would be a call of address 0).
    std::uint32_t initialEntry;
};

class PeImage {
public:
    // Throws std::runtime_error naming what is malformed or out of bounds.
    explicit PeImage(std::string bytes);
    static PeImage FromFile(const std::wstring& path);

    std::uint32_t TimeDateStamp() const { return timeDateStamp; }
    std::uint16_t FileCharacteristics() const { return fileCharacteristics; }
    std::uint16_t DllCharacteristics() const { return dllCharacteristics; }
    // The size of the base relocation directory (0 when the binary has none).
    std::uint32_t RelocationsSize() const;

    // The imports of the import directory, then the delay-loaded ones. The delay-load
    // descriptors come from their data directory where the linker filled it in (Visual C++);
    // GNU ld leaves it empty, so they are then found by their shape: records with the RVA
    // attribute whose library name, module handle, address table and name table lie in the image.
    std::vector<PeImport> Imports() const;
    std::vector<std::string> DelayLoadedLibraries() const;

    const std::string& Bytes() const { return bytes; }

private:
    struct Section {
        std::uint32_t virtualAddress;
        std::uint32_t virtualSize;
        std::uint32_t rawOffset;
        std::uint32_t rawSize;
    };
    struct DelayDescriptor {
        std::uint32_t nameRva;
        std::uint32_t nameTableRva;
        std::uint32_t addressTableRva;
    };

    template <typename T> T Read(std::uint32_t offset) const;
    bool IsMapped(std::uint32_t rva) const;
    std::uint32_t OffsetOf(std::uint32_t rva) const;
    std::string StringAt(std::uint32_t rva) const;
    // Reads a name table; with an address table (delay-loaded), also each entry's initial value.
    void ReadThunks(const std::string& library, std::uint32_t tableRva, std::uint32_t addressRva,
                    bool delayLoaded, std::vector<PeImport>& imports) const;
    std::vector<DelayDescriptor> DelayDescriptors() const;
    std::uint32_t Directory(unsigned index, std::uint32_t* size = nullptr) const;

    std::string bytes;
    std::uint32_t timeDateStamp = 0;
    std::uint16_t fileCharacteristics = 0;
    std::uint16_t dllCharacteristics = 0;
    std::uint32_t directoriesOffset = 0;
    std::uint32_t directoryCount = 0;
    std::vector<Section> sections;
};

} // namespace kdm_test

#endif
