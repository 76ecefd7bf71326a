// Writes the two stand-in firmware images, Orlo_MCORE.s19 and OrloXilinx.bit, into the folder given
// on the command line. The output depends on nothing but this file, so running it again reproduces
// the committed images byte for byte. Run by hand only; the build embeds whatever images are in
// firmware/, which is where a maker's release replaces these.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Sizes of the images the unit's loader and the download sequence are laid out for.
constexpr std::size_t kMcoreFileBytes = 67988;
constexpr std::size_t kBitFileBytes = 336754;
constexpr std::size_t kBitSignatureOffset = 74;

// xorshift32: a fixed seed gives the same "program" on every run and every platform.
class Noise {
  public:
    explicit Noise(std::uint32_t seed) : state_(seed) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    std::uint32_t state_;
};

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(value >> shift & 0xFF);
}

// ---- M-CORE program as Motorola S-records ----

struct Section {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
};

std::string Hex(std::uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(digits, '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
    return text;
}

// One record: type, byte count (address + data + checksum), address, data, and the checksum, the
// ones' complement of the low byte of the sum of count, address and data bytes.
std::string Record(char type, std::uint32_t address, int addressBytes, const std::uint8_t* data,
                   std::size_t length) {
    const std::uint32_t count = addressBytes + length + 1;
    std::uint32_t sum = count;
    std::string line = std::string("S") + type + Hex(count, 2) + Hex(address, 2 * addressBytes);
    for (int shift = 8 * (addressBytes - 1); shift >= 0; shift -= 8) sum += address >> shift & 0xFF;
    for (std::size_t i = 0; i < length; ++i) {
        sum += data[i];
        line += Hex(data[i], 2);
    }
    return line + Hex(~sum & 0xFF, 2) + "\r\n";
}

std::string SRecords(const std::string& moduleName, const std::vector<Section>& sections,
                     std::uint32_t entry) {
    constexpr std::size_t kBytesPerRecord = 32;
    std::string text = Record('0', 0, 2, reinterpret_cast<const std::uint8_t*>(moduleName.data()),
                              moduleName.size());
    for (const Section& section : sections) {
        for (std::size_t at = 0; at < section.bytes.size(); at += kBytesPerRecord) {
            const std::size_t length = std::min(kBytesPerRecord, section.bytes.size() - at);
            text += Record('3', section.address + at, 4, section.bytes.data() + at, length);
        }
    }
    return text + Record('7', entry, 4, nullptr, 0);
}

// 16-bit big-endian instruction-like halfwords: a handful of opcode groups with register and
// immediate fields, and a return every so often, so the text reads like compiled code.
std::vector<std::uint8_t> Code(Noise& noise, std::size_t bytes) {
    static const std::uint16_t kOpcodeGroups[] = {0x1200, 0x2000, 0x2400, 0x3A00, 0x6000,
                                                  0x7000, 0x8000, 0x9000, 0xE000, 0xF000};
    std::vector<std::uint8_t> code;
    while (code.size() < bytes) {
        const std::uint32_t r = noise.Next();
        std::uint16_t word = kOpcodeGroups[r % std::size(kOpcodeGroups)] | (r >> 8 & 0x01FF);
        if ((r >> 24) % 23 == 0) word = 0x00CF;  // subroutine return
        PutBigEndian(code, word, 2);
    }
    code.resize(bytes);
    return code;
}

std::vector<std::uint8_t> Vectors(Noise& noise, std::uint32_t codeStart, std::size_t codeBytes) {
    std::vector<std::uint8_t> table;
    for (int i = 0; i < 32; ++i)
        PutBigEndian(table, codeStart + (noise.Next() % codeBytes & ~1u), 4);
    return table;
}

std::vector<std::uint8_t> Constants(Noise& noise, std::size_t bytes) {
    const std::string banner = std::string("Orlo stand-in M-CORE image 0.6") + '\0' +
                               "Copyright (c) Orlo contributors" + '\0';
    std::vector<std::uint8_t> data(banner.begin(), banner.end());
    while (data.size() < bytes) {
        const std::uint32_t r = noise.Next();
        PutBigEndian(data, (r & 3) == 0 ? 0 : r & 0x00FFFFFF, 4);  // tables with unused slots
    }
    data.resize(bytes);
    return data;
}

std::string McoreImage() {
    constexpr std::uint32_t kCodeStart = 0x00000400;
    constexpr std::size_t kCodeBytes = 0x5C00;
    constexpr std::uint32_t kConstStart = 0x00007000;
    Noise noise(0x4F524C4F);
    const std::vector<std::uint8_t> code = Code(noise, kCodeBytes);
    const std::vector<std::uint8_t> vectors = Vectors(noise, kCodeStart, kCodeBytes);
    // The constant section's length is chosen so that the file comes out at exactly its size; the
    // generator fails below if no length does.
    const Noise constantsSeed = noise;
    for (std::size_t constBytes = 1; constBytes < 8192; ++constBytes) {
        Noise constantsNoise = constantsSeed;
        const std::string text = SRecords("ORLO_MCORE",
                                          {{0, vectors},
                                           {kCodeStart, code},
                                           {kConstStart, Constants(constantsNoise, constBytes)}},
                                          kCodeStart);
        if (text.size() == kMcoreFileBytes) return text;
        if (text.size() > kMcoreFileBytes) break;
    }
    return {};
}

// ---- FPGA configuration bitstream ----

// Packet headers of the configuration stream: type 1 addresses a register with a short word count,
// type 2 carries a long word count for the register of the type-1 header before it.
constexpr std::uint32_t Type1Write(std::uint32_t reg, std::uint32_t words) {
    return 0x30000000 | reg << 13 | words;
}
constexpr std::uint32_t Type2Write(std::uint32_t words) {
    return 0x50000000 | words;
}
constexpr std::uint32_t kNoop = 0x20000000;
enum Register : std::uint32_t {
    kCrc = 0,
    kFar = 1,
    kFdri = 2,
    kCmd = 4,
    kCtl = 5,
    kMask = 6,
    kCor = 9,
    kIdcode = 14
};
enum Command : std::uint32_t { kWcfg = 1, kLfrm = 3, kStart = 5, kRcrc = 7, kDesync = 13 };

// CRC-32 (reflected, polynomial 0xEDB88320) over the words written since the CRC reset, standing
// in for the configuration logic's own check value.
std::uint32_t Crc32(const std::vector<std::uint32_t>& words, std::size_t from) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = from; i < words.size(); ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            crc ^= words[i] >> shift & 0xFF;
            for (int bit = 0; bit < 8; ++bit) crc = crc >> 1 ^ (crc & 1 ? 0xEDB88320 : 0);
        }
    }
    return ~crc;
}

std::vector<std::uint8_t> BitImage() {
    const std::string fields[4] = {"orlo_top.ncd", "ov300bg352", "2026/03/14", "10:21:37"};
    std::vector<std::uint8_t> file = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                      0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
    for (int i = 0; i < 4; ++i) {
        file.push_back('a' + i);
        PutBigEndian(file, fields[i].size() + 1, 2);
        file.insert(file.end(), fields[i].begin(), fields[i].end());
        file.push_back(0);
    }
    file.push_back('e');
    const std::size_t configBytes = kBitFileBytes - kBitSignatureOffset;
    PutBigEndian(file, configBytes, 4);
    if (file.size() != kBitSignatureOffset) return {};

    std::vector<std::uint32_t> words = {0xFFFFFFFF, 0xAA995566, Type1Write(kCmd, 1), kRcrc};
    const std::size_t crcFrom = words.size();
    words.insert(words.end(),
                 {kNoop, kNoop, Type1Write(kCor, 1), 0x00403FE5, Type1Write(kIdcode, 1), 0x0A4C6093,
                  Type1Write(kMask, 1), 0x00000000, Type1Write(kCmd, 1), kWcfg, Type1Write(kFar, 1),
                  0x00000000, Type1Write(kFdri, 0)});
    constexpr std::size_t kTrailerWords = 22;
    const std::size_t frameDataWords = configBytes / 4 - words.size() - 1 - kTrailerWords;
    words.push_back(Type2Write(frameDataWords));

    // Frames of 97 words: sparse logic and routing bits, an unused column now and then, and the
    // pad frame of zeros that ends every frame-data write.
    constexpr std::size_t kFrameWords = 97;
    Noise noise(0x0B17F11E);
    for (std::size_t i = 0; i < frameDataWords; ++i) {
        const std::size_t frame = i / kFrameWords;
        const bool padFrame = i >= frameDataWords - kFrameWords;
        const bool unusedColumn = frame % 29 == 17;
        const std::uint32_t a = noise.Next(), b = noise.Next();
        words.push_back(padFrame || unusedColumn ? 0 : a & b & noise.Next());
    }
    words.insert(words.end(),
                 {Type1Write(kCrc, 1), Crc32(words, crcFrom), Type1Write(kCmd, 1), kLfrm});
    words.insert(words.end(), {kNoop, kNoop, kNoop, kNoop, Type1Write(kCmd, 1), kStart,
                               Type1Write(kCtl, 1), 0x00000000});
    words.insert(words.end(),
                 {Type1Write(kCrc, 1), Crc32(words, crcFrom), Type1Write(kCmd, 1), kDesync});
    words.insert(words.end(), {kNoop, kNoop, kNoop, kNoop, kNoop, kNoop});
    for (std::uint32_t word : words) PutBigEndian(file, word, 4);
    return file.size() == kBitFileBytes ? file : std::vector<std::uint8_t>{};
}

bool Write(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), size);
    return out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string mcore = McoreImage();
    const std::vector<std::uint8_t> bit = BitImage();
    if (mcore.empty() || bit.empty()) {
        std::fprintf(stderr, "%s: the image layout does not come out at the required sizes\n",
                     argv[0]);
        return 1;
    }
    if (!Write(folder + "/Orlo_MCORE.s19", mcore.data(), mcore.size()) ||
        !Write(folder + "/OrloXilinx.bit", bit.data(), bit.size())) {
        std::fprintf(stderr, "%s: cannot write into %s\n", argv[0], folder.c_str());
        return 1;
    }
    return 0;
}
