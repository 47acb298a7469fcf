#include "image/elf_image.h"

#include <algorithm>
#include <vector>

#include "image/image_cells.h"
#include "image/image_store.h"
#include "image/memory_image.h"

namespace {

constexpr std::size_t kFileHeaderSize = 52;
constexpr std::size_t kProgramHeaderSize = 32;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr unsigned kClass32 = 1;
constexpr unsigned kLittleEndian = 1;
constexpr unsigned kExecutable = 2;
constexpr unsigned kMachineMsp430 = 105;
constexpr std::uint32_t kLoadSegment = 1;  // PT_LOAD
constexpr std::uint32_t kNoBits = 8;       // SHT_NOBITS: .bss and its like
constexpr std::uint32_t kAllocated = 0x2;  // SHF_ALLOC
// More headers than any MSP430 program has; the limit keeps a hostile file from making the
// section-in-segment search run for minutes.
constexpr unsigned kMostHeaders = 4096;

std::uint32_t le16(const std::uint8_t* at) { return at[0] | (at[1] << 8); }
std::uint32_t le32(const std::uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

struct Segment {
    std::uint32_t type, offset, vaddr, paddr, filesz, memsz;
};
struct Section {
    std::uint32_t type, flags, addr, offset, size;
};

int refuse(long where, const char* reason) {
    if (!imageLoadIsQuiet()) std::fprintf(stderr, "ELF file: %s\n", reason);
    return refuseMalformed(where);
}

class ElfReader {
public:
    explicit ElfReader(std::FILE* file) : file_(file) {
        if (std::fseek(file, 0, SEEK_END) == 0) {
            const long size = std::ftell(file);
            if (size > 0) size_ = static_cast<std::uint64_t>(size);
        }
    }
    // Reads `count` bytes at `offset`; false when they are not all in the file.
    bool read(std::uint64_t offset, std::uint8_t* into, std::size_t count) {
        if (offset > size_ || count > size_ - offset) return false;
        if (count == 0) return true;
        return std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0 &&
               std::fread(into, 1, count, file_) == count;
    }

private:
    std::FILE* file_;
    std::uint64_t size_ = 0;
};

// The loadable segment that holds the section's bytes and addresses, or null.
const Segment* segmentHolding(const std::vector<Segment>& segments, const Section& section) {
    for (const Segment& s : segments) {
        if (s.type != kLoadSegment) continue;
        const std::uint64_t fileEnd = std::uint64_t{s.offset} + s.filesz;
        const std::uint64_t memoryEnd = std::uint64_t{s.vaddr} + s.memsz;
        if (section.offset >= s.offset && section.offset + std::uint64_t{section.size} <= fileEnd &&
            section.addr >= s.vaddr && section.addr + std::uint64_t{section.size} <= memoryEnd)
            return &s;
    }
    return nullptr;
}

int loadSections(ElfReader& elf, const std::vector<Section>& sections,
                 const std::vector<Segment>& segments, std::uint16_t* image) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t index = 1; index < sections.size(); ++index) {
        const Section& section = sections[index];
        if ((section.flags & kAllocated) == 0 || section.type == kNoBits || section.size == 0)
            continue;
        const long where = static_cast<long>(index);
        const Segment* segment = segmentHolding(segments, section);
        const std::uint64_t address =
            segment != nullptr ? std::uint64_t{segment->paddr} + (section.addr - segment->vaddr)
                               : section.addr;
        if (address + section.size > std::uint64_t{imageAddressLimit()})
            return refusePastTop(where);
        bytes.resize(section.size);
        if (!elf.read(section.offset, bytes.data(), bytes.size()))
            return refuse(where, "a section's contents lie beyond the end of the file");
        if (storeImageBytes(image, address, bytes.data(), bytes.size(), where) != kImageLoaded)
            return kImageRefused;
    }
    return kImageLoaded;
}

int loadSegments(ElfReader& elf, const std::vector<Segment>& segments, std::uint64_t headersEnd,
                 std::uint16_t* image) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t index = 0; index < segments.size(); ++index) {
        const Segment& segment = segments[index];
        if (segment.type != kLoadSegment) continue;
        // The file's own headers are no part of the program, wherever a segment maps them.
        const std::uint64_t skip = segment.offset < headersEnd ? headersEnd - segment.offset : 0;
        if (skip >= segment.filesz) continue;
        const long where = static_cast<long>(index);
        const std::uint64_t address = std::uint64_t{segment.paddr} + skip;
        const std::uint64_t count = segment.filesz - skip;
        if (address + count > std::uint64_t{imageAddressLimit()})
            return refusePastTop(where);
        bytes.resize(count);
        if (!elf.read(segment.offset + skip, bytes.data(), bytes.size()))
            return refuse(where, "a segment's contents lie beyond the end of the file");
        if (storeImageBytes(image, address, bytes.data(), bytes.size(), where) != kImageLoaded)
            return kImageRefused;
    }
    return kImageLoaded;
}

}  // namespace

int loadElfImage(std::FILE* file, std::uint16_t* image) {
    ElfReader elf(file);
    std::uint8_t header[kFileHeaderSize];
    if (!elf.read(0, header, sizeof header)) return refuse(0, "shorter than its file header");
    if (header[4] != kClass32 || header[5] != kLittleEndian)
        return refuse(0, "not a 32-bit little-endian ELF file");
    if (le16(header + 18) != kMachineMsp430) return refuse(0, "not a program for the MSP430");
    if (le16(header + 16) != kExecutable) return refuse(0, "not a linked program");

    const std::uint32_t programHeaders = le32(header + 28);
    const std::uint32_t sectionHeaders = le32(header + 32);
    const std::uint32_t fileHeaderSize = le16(header + 40);
    const std::uint32_t programHeaderSize = le16(header + 42);
    const std::uint32_t programHeaderCount = le16(header + 44);
    const std::uint32_t sectionHeaderSize = le16(header + 46);
    const std::uint32_t sectionHeaderCount = le16(header + 48);
    if ((programHeaderCount != 0 && programHeaderSize < kProgramHeaderSize) ||
        (sectionHeaderCount != 0 && sectionHeaderSize < kSectionHeaderSize))
        return refuse(0, "header table entries too small");
    if (sectionHeaderCount == 0 && sectionHeaders != 0)
        return refuse(0, "more sections than an MSP430 program has");  // the extended count
    if (programHeaderCount > kMostHeaders || sectionHeaderCount > kMostHeaders)
        return refuse(0, "more headers than an MSP430 program has");

    std::vector<Segment> segments(programHeaderCount);
    for (std::uint32_t i = 0; i < programHeaderCount; ++i) {
        std::uint8_t entry[kProgramHeaderSize];
        if (!elf.read(programHeaders + std::uint64_t{i} * programHeaderSize, entry, sizeof entry))
            return refuse(0, "the program headers lie beyond the end of the file");
        segments[i] = {le32(entry),      le32(entry + 4),  le32(entry + 8),
                       le32(entry + 12), le32(entry + 16), le32(entry + 20)};
    }
    if (sectionHeaderCount == 0) {
        // The headers end after the program header table when it follows the file header, as
        // linkers write it.
        std::uint64_t headersEnd = std::max<std::uint64_t>(fileHeaderSize, kFileHeaderSize);
        if (programHeaderCount != 0 && programHeaders == headersEnd)
            headersEnd += std::uint64_t{programHeaderCount} * programHeaderSize;
        return loadSegments(elf, segments, headersEnd, image);
    }

    std::vector<Section> sections(sectionHeaderCount);
    for (std::uint32_t i = 0; i < sectionHeaderCount; ++i) {
        std::uint8_t entry[kSectionHeaderSize];
        if (!elf.read(sectionHeaders + std::uint64_t{i} * sectionHeaderSize, entry, sizeof entry))
            return refuse(0, "the section headers lie beyond the end of the file");
        sections[i] = {le32(entry + 4), le32(entry + 8), le32(entry + 12), le32(entry + 16),
                       le32(entry + 20)};
    }
    return loadSections(elf, sections, segments, image);
}
